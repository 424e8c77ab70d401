// Members inflated front to back, one after the other to the end of the
// input: what is not BGZF, and whatever follows the first member that is not.
#include <algorithm>
#include <cstring>
#include <string>

#include "buffer.hpp"
#include "fasta/gzip/inflater.hpp"

namespace veltra::fasta::gzip {

namespace {

// Compressed bytes read at once.
constexpr std::size_t input_window = 256 * 1024;

}  // namespace

struct Stream::State {
    State(const Source& source, std::uint64_t pos)
        : source(source), pos(pos), decoder(stream_inflater().stream()) {}

    // Keeps the bytes not yet taken and reads more after them; false when
    // nothing more came.
    bool refill() {
        if (in_len != 0 && in != input.data())
            std::memmove(input.data(), in, in_len);
        in = input.data();
        const std::size_t got = source.read(pos, input.data() + in_len, input.size() - in_len);
        pos += got;
        in_len += got;
        return got != 0;
    }

    // Past zero padding to the end of the input, which must hold nothing else.
    void skip_padding() {
        do {
            if (std::find_if(in, in + in_len, [](std::uint8_t b) { return b != 0; }) != in + in_len)
                trailing();
            in_len = 0;
        } while (refill());
    }

    const Source& source;
    std::uint64_t pos;  // of the next byte to read
    Buffer<std::uint8_t> input = Buffer<std::uint8_t>::uninitialized(input_window);
    const std::uint8_t* in = input.data();  // the bytes read but not yet taken
    std::size_t in_len = 0;
    std::unique_ptr<StreamDecoder> decoder;
    std::uint64_t member_pos = 0;  // where the member under way, or the next one, starts
    bool in_member = false;
    bool ended = false;
};

Stream::Stream(const Source& source, std::uint64_t pos) : state_(std::make_unique<State>(source, pos)) {}
Stream::~Stream() = default;

bool Stream::checked() const noexcept {
    return !state_->in_member;
}

std::size_t Stream::read(std::uint8_t* dst, std::size_t n) try {
    State& s = *state_;
    Cursor c{nullptr, 0, dst, n};
    while (c.out_len != 0 && !s.ended) {
        if (!s.in_member) {
            // Between members: another member, zero padding to the end, or
            // nothing more.
            s.member_pos = s.pos - s.in_len;
            if (s.in_len < 4)
                s.refill();
            if (s.in_len == 0) {
                s.ended = true;
                break;
            }
            if (s.in[0] == 0) {
                s.skip_padding();
                s.ended = true;
                break;
            }
            check_member_start({s.in, std::min<std::size_t>(s.in_len, 4)});
            s.decoder->start_member();
            s.in_member = true;
        }
        if (s.in_len == 0 && !s.refill())
            truncated();
        c.in = s.in;
        c.in_len = s.in_len;
        const std::size_t room_before = c.out_len;
        const bool member_ended = s.decoder->step(c);
        const bool took = c.in_len != s.in_len;
        s.in = c.in;
        s.in_len = c.in_len;
        if (member_ended) {
            s.in_member = false;
        } else if (!took && c.out_len == room_before) {
            // Nothing taken, nothing made: it wants more input than it has.
            if (s.in_len == s.input.size())
                corrupt();
            if (!s.refill())
                truncated();
        }
    }
    return n - c.out_len;
} catch (Panic& failure) {
    const std::string at = std::to_string(state_->member_pos);
    failure.add_note(state_->in_member ? "in the gzip member at compressed byte offset " + at
                                       : "after the last whole gzip member, at compressed byte offset " + at);
    throw;
}

}  // namespace veltra::fasta::gzip
