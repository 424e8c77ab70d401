// parse_in_pieces: the file cut into pieces of about three quarters of a read
// window; the worker that takes a piece counts it and then writes it while
// its bytes are still in the window.
//
// A piece owns the records whose '>' lies in it, as a chunk does, and is
// counted and written by the two passes of chunk.hpp. Pieces are taken in
// file order; where a piece's results go is known once every piece before it
// has been counted, which its worker waits for after counting its own, while
// the others count and write theirs. The results' sizes are only known at
// the end, so the result buffers grow as the pieces come. A buffer may move
// when it grows: it grows only while no piece is being written, and no piece
// starts being written while it grows.
//
// Once a piece has failed, no piece after it is taken: those before it were
// taken already and go on, so that an earlier failure, which then decides,
// is still found. A piece whose place is not known because an earlier piece
// failed is not written. Pieces after a failed one that were under way finish
// and report their own bad headers, as chunks do.
#include "fasta/pieces.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <vector>

#include "fasta/chunk.hpp"
#include "panic.hpp"
#include "pool.hpp"
#include "sys.hpp"

namespace veltra::fasta {

std::uint64_t pieces_from = default_pieces_from;

namespace {

struct Count {
    std::size_t tokens = 0;
    std::size_t entries = 0;
};

std::size_t sum(std::size_t a, std::size_t b) noexcept {
    std::size_t s;
    return __builtin_add_overflow(a, b, &s) ? SIZE_MAX : s;
}

class Pieces {
public:
    Pieces(const Source& source, std::size_t workers, const kernel::Tables& tables,
           const kernel::Kernel& kernel)
        : source_(source),
          tables_(tables),
          kernel_(kernel),
          piece_(std::max<std::size_t>(read_window / 4 * 3, 1)),
          count_(static_cast<std::size_t>((source.size + piece_ - 1) / piece_)),
          id_budget_(handed_ids_bytes / sizeof(std::uint64_t) / workers),
          counts_(count_),
          known_(count_),
          bases_(count_) {}

    void run_worker() {
        Reader reader(source_);
        std::unique_lock lock(mutex_);
        while (next_ < count_ && failed_at_ == SIZE_MAX) {
            const std::size_t k = next_++;
            lock.unlock();
            ChunkPlan plan;
            std::exception_ptr failure =
                failure_of([&] { plan = scan_chunk(reader, start(k), start(k + 1), kernel_, id_budget_); });
            lock.lock();
            if (failure) {
                failed(k, failure);
                continue;
            }
            counted(k, plan);
            wake_.wait(lock, [&] { return based_ > k || failed_at_ < k; });
            if (failed_at_ < k || !make_room(lock, k))
                continue;
            const ChunkOutput region = place(k);
            lock.unlock();
            failure = failure_of([&] { fill_chunk(reader, plan, region, tables_, kernel_); });
            lock.lock();
            --writers_;
            if (failure)
                failed(k, failure);
            wake_.notify_all();
        }
    }

    // Once every worker is done.
    Parsed finish() {
        if (failure_)
            std::rethrow_exception(failure_);
        const Count total = count_ == 0 ? Count{} : end_of(count_ - 1);
        if (out_.offsets.capacity() == 0)
            out_.offsets.push_back(0);
        out_.tokens.set_size(total.tokens);
        out_.offsets.set_size(total.entries + 1);
        out_.ids.set_size(total.entries);
        out_.tokens.shrink_to_fit();
        out_.offsets.shrink_to_fit();
        out_.ids.shrink_to_fit();
        return std::move(out_);
    }

private:
    std::uint64_t start(std::size_t k) const noexcept {
        return std::min<std::uint64_t>(std::uint64_t{k} * piece_, source_.size);
    }

    // Saturated: a file that changes while it is parsed may make pieces
    // count the same bytes twice, and a place beyond every buffer then fails
    // to find room instead of wrapping around.
    Count end_of(std::size_t k) const {
        return {sum(bases_[k].tokens, counts_[k].tokens), sum(bases_[k].entries, counts_[k].entries)};
    }

    // The rest are called with the lock held.

    void failed(std::size_t k, std::exception_ptr failure) {
        if (k < failed_at_) {
            failed_at_ = k;
            failure_ = std::move(failure);
        }
        wake_.notify_all();
    }

    void counted(std::size_t k, const ChunkPlan& plan) {
        counts_[k] = {plan.tokens, plan.entries};
        known_[k] = true;
        // A failed piece is never counted, so the places stop before it.
        while (based_ < count_ && known_[based_]) {
            if (based_ + 1 < count_)
                bases_[based_ + 1] = end_of(based_);
            ++based_;
        }
        wake_.notify_all();
    }

    // Room for piece k, whose place is known; then it counts as being
    // written. False when growing failed.
    bool make_room(std::unique_lock<std::mutex>& lock, std::size_t k) {
        while (true) {
            wake_.wait(lock, [&] { return !growing_; });
            const Count need = end_of(k);
            if (out_.offsets.capacity() != 0 && need.tokens <= out_.tokens.capacity() &&
                need.entries < out_.offsets.capacity() && need.entries <= out_.ids.capacity())
                break;
            growing_ = true;
            wake_.wait(lock, [&] { return writers_ == 0; });
            std::exception_ptr failure = failure_of([&] { grow(k, need); });
            growing_ = false;
            wake_.notify_all();
            if (failure) {
                failed(k, failure);
                return false;
            }
        }
        ++writers_;
        return true;
    }

    // Enough room for everything up to the end of piece k, and as much more
    // as the rest of the file is likely to need if it is like what came so
    // far, so that buffers seldom grow more than once. A buffer that has the
    // room stays as it is, and the tokens never take more room than the
    // file has bytes.
    void grow(std::size_t k, Count need) {
        const double rest =
            static_cast<double>(source_.size - start(k + 1)) / static_cast<double>(start(k + 1));
        const auto likely = [&](std::size_t n, std::size_t slack) {
            const double more = static_cast<double>(n) * rest * 1.03 + static_cast<double>(slack);
            return sum(n, more < 0x1p63 ? static_cast<std::size_t>(more) : SIZE_MAX);
        };
        const Count room{likely(need.tokens, piece_), likely(need.entries, piece_ / 64 + 16)};
        const auto bytes = static_cast<std::size_t>(std::min<std::uint64_t>(source_.size, SIZE_MAX));
        // What may hold results: the places of every piece before k.
        const Count kept = bases_[k];
        grow_to(out_.tokens, kept.tokens, need.tokens, room.tokens, bytes, ahead_[0]);
        grow_to(out_.offsets, sum(kept.entries, 1), sum(need.entries, 1), sum(room.entries, 1), SIZE_MAX,
                ahead_[1]);
        grow_to(out_.ids, kept.entries, need.entries, room.entries, SIZE_MAX, ahead_[2]);
        out_.offsets[0] = 0;
    }

    // Room for `need`, or rather for `room`, but not for more than `most`
    // unless `need` is more.
    template <class T>
    void grow_to(Buffer<T>& buffer, std::size_t kept, std::size_t need, std::size_t room, std::size_t most,
                 sys::WriteAhead& ahead) {
        if (need <= buffer.capacity())
            return;
        const std::size_t cap =
            std::max(need, std::min(std::max(room, buffer.capacity() + buffer.capacity() / 4), most));
        buffer.set_size(std::min(kept, buffer.capacity()));
        buffer.reserve_exact(cap - buffer.size());
        const std::size_t bytes = buffer.capacity() * sizeof(T);
        ahead.move_to(buffer.data(), bytes, bytes >= memory::mapped_from ? &huge_ : nullptr);
    }

    ChunkOutput place(std::size_t k) {
        const Count at = bases_[k];
        return {out_.tokens.data() + at.tokens, out_.offsets.data() + 1 + at.entries,
                out_.ids.data() + at.entries, static_cast<std::int64_t>(at.tokens), ahead_};
    }

    const Source& source_;
    const kernel::Tables& tables_;
    const kernel::Kernel& kernel_;
    const std::size_t piece_;
    const std::size_t count_;
    const std::size_t id_budget_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::size_t next_ = 0;       // the next piece to take
    std::vector<Count> counts_;  // of the counted pieces
    std::vector<bool> known_;    // which pieces are counted
    std::vector<Count> bases_;   // the places of pieces [0, based_)
    std::size_t based_ = 0;
    std::size_t failed_at_ = SIZE_MAX;  // the first failed piece
    std::exception_ptr failure_;
    std::size_t writers_ = 0;  // pieces being written
    bool growing_ = false;

    Parsed out_;
    sys::HugePages huge_;
    sys::WriteAhead ahead_[3];
};

}  // namespace

Parsed parse_in_pieces(const Source& source, std::size_t workers, const kernel::Tables& tables,
                       const kernel::Kernel& kernel) {
    Pieces pieces(source, workers, tables, kernel);
    pool::ordered_map(workers, [&](std::size_t) { pieces.run_worker(); });
    return pieces.finish();
}

}  // namespace veltra::fasta
