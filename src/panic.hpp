// Internal failures: the Python-free half of the module's error handling.
//
// A broken invariant writes one report to standard error on the thread that
// found it and then unwinds as a `Panic` to the nearest call guard (errors.hpp),
// crossing from pool workers to the calling thread on the way (pool.hpp). Code
// in this header never touches Python, so the FASTA core, the pool and the
// process services can be built and fuzzed without an interpreter.
#pragma once

#include <cxxabi.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace veltra {

// What a user is told beside a failure's message (in Python, the notes of the
// exception): `text`, followed, when there are `shown` bytes, by those bytes
// as Python's repr shows them (as text where they are UTF-8, else as bytes).
struct Note {
    std::string text;
    std::optional<std::string> shown;
};

// A broken invariant in flight. The report has already been written when one
// of these exists, so catching it only has to translate the message.
struct Panic {
    std::string message;
    std::source_location where;
    // Outermost first: a frame that knows what was being done when the
    // failure passed through it puts that in front of what the frames below
    // it said. Never part of the report or the message.
    std::vector<Note> notes{};

    // Puts a note in front of the others. A note that finds no memory is left
    // out, since it must not take the place of the failure it explains.
    void add_note(std::string_view text, std::optional<std::string_view> shown = std::nullopt) noexcept;
};

// A native buffer that could not be allocated. The call guard raises it as
// `MemoryError` instead of taking the process down.
struct AllocFailure {
    std::size_t bytes;
};

// Memory that the system would not give for something other than a buffer,
// such as a worker's stack: raised as `MemoryError(message)`.
struct MemoryShortage {
    std::string message;
};

// For a function with a handler `catch (const abi::__forced_unwind&)`: a
// forced unwind has no C++ object behind it, so the runtime binds that
// reference to null, which the undefined-behaviour sanitizer's null check
// reports. The idiom is the runtime's own; the check is off there (GCC can
// only turn off all of that sanitizer for a function).
#if defined(__clang__)
#define VELTRA_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define VELTRA_PASSES_FORCED_UNWIND __attribute__((no_sanitize_undefined))
#endif

namespace detail {

#if defined(_LIBCPPABI_VERSION)
// Defined by libc++abi, which does not declare it.
extern "C" void* __cxa_get_globals();
inline void* exception_globals() noexcept {
    return __cxa_get_globals();
}
// Ends the calling thread with a forced unwind of its own, from inside the
// handler that took the one under way.
[[noreturn]] void end_thread_anew();
#else
inline void* exception_globals() noexcept {
    return abi::__cxa_get_globals();
}
#endif

}  // namespace detail

// Runs `body` and returns what it threw, or null. A forced unwind is no
// failure: with it pthread_exit ends a thread (the finalising interpreter
// ends a daemon thread inside a call so), and it has to pass through every
// frame. libstdc++ names it, so it is rethrown. libc++abi takes it for a
// foreign exception and rethrows one by raising it anew, which finds no
// handler and ends the process; there the thread's end starts over instead.
template <class F>
VELTRA_PASSES_FORCED_UNWIND std::exception_ptr failure_of(F&& body) {
    try {
        std::forward<F>(body)();
#if !defined(_LIBCPPABI_VERSION)
    } catch (const abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
#if defined(_LIBCPPABI_VERSION)
        if (abi::__cxa_current_exception_type() == nullptr)
            detail::end_thread_anew();
#endif
        return std::current_exception();
    }
    return nullptr;
}

// Allocates this thread's C++ exception state if it does not exist yet. It is
// allocated on a thread's first throw otherwise, and the process dies if
// that finds no memory, as it may when the throw reports a failed allocation.
inline void prepare_thread_for_exceptions() noexcept {
    void* globals = detail::exception_globals();
    // Kept: the call is declared without side effects.
    asm volatile("" : : "r"(globals) : "memory");
}

// Writes "thread '<unnamed>' panicked at {file}:{line}:{column}:\n{message}\n"
// to standard error in one write.
void write_panic_report(std::string_view message, const std::source_location& where);

// Reports and throws. Every internal failure of the module goes through here.
[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());
[[noreturn]] void panic(std::string message, std::vector<Note> notes,
                        std::source_location where = std::source_location::current());

// While one exists, panics of this thread write no report: for a second look
// at the input on the road of a failure already reported, whose own failure
// is dropped rather than shown.
class SilentPanics {
public:
    SilentPanics() noexcept;
    ~SilentPanics();
    SilentPanics(const SilentPanics&) = delete;
    SilentPanics& operator=(const SilentPanics&) = delete;
};

// Whether this thread's panics are reported now.
bool panics_reported() noexcept;

// Throws without a report: for a failure that was already reported elsewhere,
// such as a panic coming back from Python code.
[[noreturn]] void resume_panic(std::string message);

// `message` is the full text, e.g. "assertion failed: mapping.len() == 5", so
// that the messages users see are spelled out where they are checked.
inline void ensure(bool condition, const char* message,
                   std::source_location where = std::source_location::current()) {
    if (!condition) [[unlikely]]
        panic(message, where);
}

// The standard texts of internal failures that several files raise.
namespace msg {
inline constexpr std::string_view unwrap_err = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr std::string_view unwrap_none = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view capacity_overflow = "capacity overflow";
}  // namespace msg

[[noreturn]] void panic_index_out_of_bounds(std::size_t len, std::size_t index,
                                            std::source_location where = std::source_location::current());

// Expected failures travel as values. `E` is `PyErr` for everything that
// faces Python and `OsError` for the process services.
template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    bool ok() const noexcept { return state_.index() == 0; }

    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    E& error() & { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

// `Result<void, E>`: success carries nothing.
struct Unit {};

// UTF-8 validation with the position of the first fault: `valid_up_to` bytes
// are valid; `error_len` is the length of the invalid sequence that follows,
// or 0 when the input ends inside an incomplete sequence.
struct Utf8Check {
    bool valid;
    std::size_t valid_up_to;
    std::size_t error_len;
};
Utf8Check check_utf8(std::string_view bytes) noexcept;

// `check_utf8` over text that arrives in pieces, in constant memory: a
// sequence may be cut between two pieces.
class Utf8Stream {
public:
    // Takes the next bytes; false once the text is known to be invalid, after
    // which nothing more is looked at.
    bool feed(std::string_view bytes) noexcept;
    // The verdict on the text fed so far, taken as ending here.
    Utf8Check end() const noexcept;

private:
    bool fail(std::size_t len) noexcept;

    std::size_t valid_ = 0;  // bytes of whole valid sequences
    std::uint8_t lead_ = 0;  // first byte of the sequence under way
    std::uint8_t seen_ = 0;  // its bytes so far; 0 between sequences
    std::uint8_t error_len_ = 0;
    bool failed_ = false;
};

// Replaces every maximal invalid subsequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Unsigned decimal with an optional single leading '+', within 64 bits: the
// syntax shared by FASTA headers, worker-count variables and cgroup files.
enum class ParseIntError { Empty, InvalidDigit, PosOverflow };
std::string_view to_string(ParseIntError kind) noexcept;
Result<std::uint64_t, ParseIntError> parse_u64(std::string_view text) noexcept;

// `parse_u64` over text that arrives in pieces, in constant memory. The first
// fault decides, so "99…9x" overflows and "1x" is an invalid digit.
class DecimalStream {
public:
    void feed(std::string_view text) noexcept;
    Result<std::uint64_t, ParseIntError> end() const noexcept;

private:
    std::uint64_t value_ = 0;
    bool any_ = false;        // a byte was fed
    bool only_plus_ = false;  // and it was a lone leading '+' so far
    bool failed_ = false;
    ParseIntError error_ = ParseIntError::Empty;
};

}  // namespace veltra
