// parse_compressed: blocks of decompressed bytes, made on any worker, parsed
// in stream order by one worker at a time.
//
// Every worker taking part runs the same loop and takes whichever job is
// free: parse the next block in order, or make the next block. BGZF blocks
// are made in parallel (only finding their members is done one worker at a
// time); other gzip is inflated front to back, so one worker at a time makes
// those blocks while another parses. A worker waits only while another one
// holds the job it would take, so the parse moves on whatever the worker
// count and however the pool schedules the loops. The number of blocks made
// but not yet parsed is bounded, which bounds the memory beside the results.
#include "fasta/pipeline.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

#include "fasta/gzip.hpp"
#include "fasta/stream.hpp"
#include "pool.hpp"

namespace veltra::fasta {

namespace {

// Decompressed bytes per block, about: small enough that a block is still in
// cache when it is parsed, large enough that handing it over costs little.
constexpr std::size_t block_bytes = 1 << 20;
// Compressed bytes read at once to find BGZF members; more than the largest
// member, so every read holds at least one whole member.
constexpr std::size_t member_window = 512 * 1024;
// Blocks made or being made but not yet parsed, at most, whatever the worker
// count: a block being made holds its members and its bytes, so this bounds
// the memory beside the results by 24 MiB. Parallel inflation outruns the
// one parse long before this many blocks are made at once.
constexpr std::size_t most_blocks_ahead = 16;

struct Block {
    Buffer<std::uint8_t> bytes;
    std::exception_ptr failure;
    bool ready = false;
    // Every member it holds bytes of has passed its checksum. BGZF blocks
    // always have; a block inflated front to back may end inside a member.
    bool checked = true;
};

// The BGZF members a worker found while it held the input, to inflate once
// it has let go of it: their bytes, their lengths and their decompressed size.
struct Claim {
    std::uint64_t pos = 0;  // of the first member in the file
    Buffer<std::uint8_t> compressed;
    std::vector<std::uint32_t> sizes;
    std::size_t isize = 0;
};

// Every failure of a job is caught (failure_of), so that the job's flag is
// always given back; a waiting worker would wait for ever.
class Pipeline {
public:
    Pipeline(const Source& source, std::size_t workers, StreamParser& parser, bool bgzf)
        : source_(source),
          parser_(parser),
          ahead_(std::min(2 * workers + 2, most_blocks_ahead)),
          bgzf_(bgzf) {}

    void run_worker() {
        std::unique_lock lock(mutex_);
        std::optional<gzip::MemberInflater> inflater;
        while (!failure_) {
            if (!parsing_ && !blocks_.empty() && blocks_.front().ready) {
                parse_front(lock);
                continue;
            }
            if (input_ended_ && blocks_.empty()) {
                // The last block is always checked or failed; this is only
                // for safety.
                if (refused_ && !failure_)
                    failure_ = failure_of([&] { parser_.fail(); });
                return;
            }
            if (!input_busy_ && !input_ended_ && blocks_.size() < ahead_) {
                make_block(lock, inflater);
                continue;
            }
            wake_.wait(lock);
        }
    }

    void rethrow_failure() {
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    // Called and returns with the lock held.
    void parse_front(std::unique_lock<std::mutex>& lock) {
        parsing_ = true;
        Block& block = blocks_.front();
        lock.unlock();
        std::exception_ptr failure = block.failure;
        if (!failure && !refused_)
            failure = failure_of([&] { refused_ = !parser_.feed(block.bytes.span()); });
        // Bytes of a member that fails its checksum later are garbage, and a
        // header the parse refused among them says nothing about the file:
        // until the member has been checked the inflation goes on, and a
        // damaged member then decides.
        if (!failure && refused_ && block.checked)
            failure = failure_of([&] { parser_.fail(); });
        block.bytes = Buffer<std::uint8_t>();
        lock.lock();
        blocks_.pop_front();
        parsing_ = false;
        if (failure)
            failure_ = failure;
        wake_.notify_all();
    }

    void make_block(std::unique_lock<std::mutex>& lock, std::optional<gzip::MemberInflater>& inflater) {
        Block& block = blocks_.emplace_back();  // before the input is taken, in case it throws
        input_busy_ = true;
        lock.unlock();
        Claim claim;
        bool ended = false;
        block.failure = failure_of([&] {
            if (bgzf_)
                claim = find_members(ended);
            if (claim.sizes.empty() && !ended) {
                bgzf_ = false;  // from here on, front to back
                block.bytes = inflate_stream(ended, block.checked);
            }
        });
        ended = ended || block.failure;
        lock.lock();
        input_busy_ = false;
        input_ended_ = input_ended_ || ended;
        wake_.notify_all();
        if (!claim.sizes.empty()) {
            // Other workers find the next members meanwhile.
            lock.unlock();
            block.failure = failure_of([&] {
                if (!inflater)
                    inflater.emplace();
                block.bytes = Buffer<std::uint8_t>::uninitialized(claim.isize);
                inflater->inflate(claim.compressed.span(), claim.sizes, block.bytes.data(), claim.pos);
            });
            lock.lock();
            if (block.failure)
                input_ended_ = true;
        }
        block.ready = true;
        wake_.notify_all();
    }

    // The next whole BGZF members, up to about a block's worth. At the first
    // member that is not BGZF, or is cut short, the rest of the file goes to
    // the front to back inflation, which either reads it or says what is
    // wrong with it.
    Claim find_members(bool& ended) {
        Claim claim;
        claim.pos = next_pos_;
        claim.compressed = Buffer<std::uint8_t>::uninitialized(member_window);
        const std::size_t got = source_.read(next_pos_, claim.compressed.data(), member_window);
        const bool at_end = got < member_window;
        std::size_t off = 0;
        while (off < got) {
            const std::span<const std::uint8_t> rest = claim.compressed.span().subspan(off, got - off);
            const std::uint32_t size =
                gzip::bgzf_size(rest.first(std::min(rest.size(), gzip::bgzf_header_bytes)));
            if (!at_end && (rest.size() < gzip::bgzf_header_bytes || size > rest.size()))
                break;  // the next read starts with it
            const std::uint32_t isize =
                size != 0 && size <= rest.size() ? gzip::member_isize(rest.first(size)) : 0;
            if (size == 0 || size > rest.size() || isize > gzip::bgzf_max_isize) {
                bgzf_ = false;
                break;
            }
            if (!claim.sizes.empty() && claim.isize + isize > block_bytes)
                break;
            claim.sizes.push_back(size);
            claim.isize += isize;
            off += size;
        }
        next_pos_ += off;
        if (bgzf_ && off == got && at_end)
            ended = true;
        return claim;
    }

    Buffer<std::uint8_t> inflate_stream(bool& ended, bool& checked) {
        if (!stream_)
            stream_.emplace(source_, next_pos_);
        Buffer<std::uint8_t> bytes = Buffer<std::uint8_t>::uninitialized(block_bytes);
        const std::size_t n = stream_->read(bytes.data(), block_bytes);
        bytes.set_size(n);
        ended = n < block_bytes;
        checked = stream_->checked();
        return bytes;
    }

    const Source& source_;
    StreamParser& parser_;
    const std::size_t ahead_;

    std::mutex mutex_;
    std::condition_variable wake_;
    // Made or being made, in stream order; the front is parsed next. A
    // deque, so that a block being filled stays where it is while others are
    // added and parsed.
    std::deque<Block> blocks_;
    bool parsing_ = false;
    bool input_busy_ = false;  // a worker finds members or inflates front to back
    bool input_ended_ = false;
    std::exception_ptr failure_;
    bool refused_ = false;  // the parse met a bad header; owned by the parsing worker

    // Owned by the worker that holds the input.
    bool bgzf_;
    std::uint64_t next_pos_ = 0;
    std::optional<gzip::Stream> stream_;
};

}  // namespace

Parsed parse_compressed(const Source& source, std::size_t workers, const kernel::Tables& tables,
                        const kernel::Kernel& kernel) {
    std::uint8_t header[gzip::bgzf_header_bytes];
    const std::size_t got = source.read(0, header, sizeof header);
    const bool bgzf = gzip::bgzf_size({header, got}) != 0;
    // Front to back inflation keeps one worker inflating and at most one
    // parsing; more would only wait. So would workers beyond the blocks that
    // may be made at once, and each would keep an inflater.
    const std::size_t taking_part = std::min<std::size_t>(workers, bgzf ? most_blocks_ahead : 2);
    StreamParser parser(tables, kernel);
    Pipeline pipeline(source, taking_part, parser, bgzf);
    pool::ordered_map(taking_part, [&](std::size_t) { pipeline.run_worker(); });
    pipeline.rethrow_failure();
    return parser.finish();
}

}  // namespace veltra::fasta
