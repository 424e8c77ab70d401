// What every inflater offers, seen only by the files of this folder: the rest
// of the module inflates through fasta/gzip.hpp and never learns which
// library does the work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fasta/gzip.hpp"

namespace veltra::fasta::gzip {

// The read errors of damaged input, the same whichever inflater met it.
[[noreturn]] void truncated();  // the input ends inside a member
[[noreturn]] void corrupt();    // a member that no inflater could read as it is
[[noreturn]] void trailing();   // bytes after a member that open no other one

// Fails unless these first bytes of what follows a member (at most four are
// looked at; fewer only where the input ends) open another member that every
// inflater reads alike. Zero padding is the caller's to tell apart first.
void check_member_start(std::span<const std::uint8_t> first);

// Inflates whole members, one per call, reusing its state from call to call.
class MemberDecoder {
public:
    virtual ~MemberDecoder() = default;
    // The member into exactly `isize` bytes at `dst`. It must end exactly
    // where `member` ends, at that size and with a matching checksum;
    // otherwise corrupt().
    virtual void inflate(std::span<const std::uint8_t> member, std::uint32_t isize, std::uint8_t* dst) = 0;
};

// Where one step of front to back inflation reads and writes; the step moves
// both on past what it took and made.
struct Cursor {
    const std::uint8_t* in;
    std::size_t in_len;
    std::uint8_t* out;
    std::size_t out_len;
};

// Inflates members front to back from input that comes in pieces.
class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;
    // Readies it for a member whose header starts with the next input.
    virtual void start_member() = 0;
    // Inflates as far as the input and the room allow; true once the member's
    // trailer has been read and its checksum and length found right. Taking
    // nothing and making nothing means that it needs more input.
    virtual bool step(Cursor& cursor) = 0;
};

// One library's inflation: a name for reports, and the decoders it can make
// (null for what it cannot do). Each may fail with AllocFailure.
struct Inflater {
    const char* name;
    std::unique_ptr<MemberDecoder> (*members)();
    std::unique_ptr<StreamDecoder> (*stream)();
};

// Defined in their own files; the faster two only where the build found
// their libraries.
extern const Inflater zlib;
extern const Inflater libdeflate;
extern const Inflater isal;

// The inflater for each job: picked once per process, fastest first, among
// those the build has; zlib while tests have the faster ones turned off.
const Inflater& member_inflater() noexcept;
const Inflater& stream_inflater() noexcept;

}  // namespace veltra::fasta::gzip
