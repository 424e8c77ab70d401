// Hammers the worker pool from several outside threads at once: deep and
// nested joins, unordered maps, concatenations and indexed collects, with
// failures injected at random places. Built with ThreadSanitizer by run.sh;
// exits non-zero on any wrong result.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "data/join.hpp"
#include "pool.hpp"

namespace {

using namespace veltra;

constexpr std::size_t outside_threads = 4;
constexpr int rounds = 120;
constexpr std::size_t none = static_cast<std::size_t>(-1);

// A failure that is not a Panic, so that it writes no report: the pool must
// carry any exception.
struct Injected {
    std::size_t index;
};

std::atomic<bool> failed{false};
std::mutex report_mutex;

void fail(const std::string& what) {
    std::lock_guard lock(report_mutex);
    failed.store(true);
    std::fprintf(stderr, "pool_stress: %s\n", what.c_str());
}

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond))                                                                 \
            fail(std::string(__FILE__ ":") + std::to_string(__LINE__) + ": " #cond); \
    } while (0)

std::atomic<long> live_tracked{0};
struct Tracked {
    std::string text;
    explicit Tracked(std::string t) : text(std::move(t)) { live_tracked.fetch_add(1); }
    Tracked(Tracked&& other) noexcept : text(std::move(other.text)) { live_tracked.fetch_add(1); }
    ~Tracked() { live_tracked.fetch_sub(1); }
};

std::size_t expected_workers = 0;

// Sum of [lo, hi) over a balanced tree of joins.
std::size_t tree(std::size_t lo, std::size_t hi, std::size_t fail_at, std::atomic<std::size_t>& ran) {
    if (hi - lo == 1) {
        if (lo == fail_at)
            throw Injected{lo};
        ran.fetch_add(1, std::memory_order_relaxed);
        return lo;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    auto [left, right] = pool::join([&](bool) { return tree(lo, mid, fail_at, ran); },
                                    [&](bool) { return tree(mid, hi, fail_at, ran); });
    return left + right;
}

// A long chain of forks, recursing on alternating sides so that thieves take
// deep halves as well as shallow ones.
std::size_t chain(std::size_t depth) {
    if (depth == 0)
        return 0;
    auto down = [&](bool) { return chain(depth - 1); };
    auto here = [&](bool) {
        CHECK(pool::current_num_threads() == expected_workers);
        return depth;
    };
    if (depth % 2 == 0) {
        auto [a, b] = pool::join(down, here);
        return a + b;
    }
    auto [a, b] = pool::join(here, down);
    return a + b;
}

void check_trees(std::mt19937_64& rng) {
    const std::size_t leaves = 1 + rng() % 3000;
    const std::size_t fail_at = rng() % 4 == 0 ? rng() % leaves : none;
    std::atomic<std::size_t> ran{0};
    try {
        const std::size_t sum = tree(0, leaves, fail_at, ran);
        CHECK(fail_at == none);
        CHECK(sum == leaves * (leaves - 1) / 2);
        CHECK(ran.load() == leaves);
    } catch (const Injected& e) {
        CHECK(e.index == fail_at);
        // Both halves of every fork finish before the failure comes out.
        CHECK(ran.load() == leaves - 1);
    }
    const std::size_t depth = 1 + rng() % 300;
    CHECK(chain(depth) == depth * (depth + 1) / 2);
}

void check_bridge_maps(std::mt19937_64& rng) {
    const std::size_t count = rng() % 400;
    const std::size_t fail_at = count > 0 && rng() % 4 == 0 ? rng() % count : none;
    std::vector<std::atomic<int>> runs(count);
    try {
        std::vector<std::size_t> out = pool::parallel_bridge_map(count, [&](std::size_t i) {
            if (i == fail_at)
                throw Injected{i};
            runs[i].fetch_add(1);
            // Nested parallel work inside a map's leaf.
            if (i % 16 == 0) {
                std::atomic<std::size_t> ran{0};
                CHECK(tree(0, i + 1, none, ran) == i * (i + 1) / 2);
            }
            return i;
        });
        CHECK(fail_at == none);
        std::vector<std::size_t> sorted = out;
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::size_t> expected(count);
        std::iota(expected.begin(), expected.end(), 0);
        CHECK(sorted == expected);
    } catch (const Injected& e) {
        CHECK(e.index == fail_at);
    }
    for (std::size_t i = 0; i < count; ++i)
        CHECK(runs[i].load() == (i == fail_at ? 0 : 1));
}

void check_concat(std::mt19937_64& rng) {
    std::vector<std::uint8_t> source(1 << 16);
    for (auto& b : source)
        b = static_cast<std::uint8_t>(rng());
    const std::size_t m = rng() % 200;
    std::vector<data::Slice<std::uint8_t>> bytes;
    std::vector<data::Slice<std::uint64_t>> words;
    std::vector<std::uint8_t> expected_bytes;
    std::vector<std::uint8_t> expected_words;
    for (std::size_t i = 0; i < m; ++i) {
        // Arbitrary offsets: the 8-byte slices are unaligned most of the time.
        const std::size_t len = rng() % 4 == 0 ? 0 : rng() % 100;
        const std::size_t at = rng() % (source.size() - 8 * len);
        bytes.push_back({source.data() + at, len});
        words.push_back({source.data() + at, len});
        expected_bytes.insert(expected_bytes.end(), source.begin() + at, source.begin() + at + len);
        expected_words.insert(expected_words.end(), source.begin() + at, source.begin() + at + 8 * len);
    }
    auto joined = data::parallel_concat<std::uint8_t>(bytes);
    CHECK(joined.buffer.size() == expected_bytes.size());
    CHECK(joined.buffer.capacity() == expected_bytes.size());
    CHECK(expected_bytes.empty() ||
          std::memcmp(joined.buffer.data(), expected_bytes.data(), expected_bytes.size()) == 0);
    auto joined_words = data::parallel_concat<std::uint64_t>(words);
    CHECK(joined_words.buffer.size() * 8 == expected_words.size());
    CHECK(expected_words.empty() ||
          std::memcmp(joined_words.buffer.data(), expected_words.data(), expected_words.size()) == 0);
    std::size_t start = 0;
    for (std::size_t i = 0; i < m; ++i) {
        CHECK(joined.starts[i] == start && joined_words.starts[i] == start);
        start += bytes[i].len;
    }
}

void check_collect(std::mt19937_64& rng) {
    const std::size_t p = rng() % 500;
    const std::size_t q = rng() % 500;
    std::vector<std::size_t> a(p);
    std::vector<std::size_t> b(q);
    std::iota(a.begin(), a.end(), 0);
    std::iota(b.begin(), b.end(), 1000);
    const std::size_t len = std::min(p, q);
    const std::size_t fail_at = len > 0 && rng() % 4 == 0 ? rng() % len : none;
    try {
        memory::Vector<Tracked> out =
            data::parallel_indexed_collect<Tracked>(a, b, [&](std::size_t x, std::size_t y) {
                if (x == fail_at)
                    throw Injected{x};
                return Tracked(std::to_string(x) + ":" + std::to_string(y));
            });
        CHECK(fail_at == none);
        CHECK(out.size() == len);
        for (std::size_t i = 0; i < out.size(); ++i)
            CHECK(out[i].text == std::to_string(i) + ":" + std::to_string(i + 1000));
    } catch (const Injected& e) {
        CHECK(e.index == fail_at);
    }
}

// One panic (with its report) and one allocation failure per outside thread.
void check_rare_failures() {
    try {
        pool::parallel_bridge_map(8, [](std::size_t i) {
            if (i == 3)
                panic("stress: injected panic");
            return i;
        });
        fail("panic was not carried");
    } catch (const Panic& p) {
        CHECK(p.message == "stress: injected panic");
    }
    try {
        pool::join([](bool) { return 0; },
                   [](bool) { return Buffer<std::uint8_t>::with_capacity(std::size_t{1} << 62).capacity(); });
        fail("allocation failure was not carried");
    } catch (const AllocFailure& a) {
        CHECK(a.bytes == std::size_t{1} << 62);
    }
}

void outside_thread(unsigned seed) {
    std::mt19937_64 rng(seed);
    check_rare_failures();
    for (int round = 0; round < rounds && !failed.load(); ++round) {
        check_trees(rng);
        check_bridge_maps(rng);
        check_concat(rng);
        check_collect(rng);
    }
}

}  // namespace

int main() {
    const char* workers = std::getenv("RAYON_NUM_THREADS");
    expected_workers = workers != nullptr ? std::strtoul(workers, nullptr, 10) : 0;
    if (expected_workers == 0) {
        std::fprintf(stderr, "pool_stress: set RAYON_NUM_THREADS\n");
        return 2;
    }
    CHECK(pool::current_num_threads() == expected_workers);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < outside_threads; ++t)
        threads.emplace_back(outside_thread, 1000 + t);
    for (auto& t : threads)
        t.join();
    CHECK(live_tracked.load() == 0);
    if (failed.load())
        return 1;
    std::printf("pool_stress: ok\n");
    return 0;
}
