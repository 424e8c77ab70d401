// Chunk parser throughput on a synthetic protein FASTA file with 60-column
// lines, the shape of the files the pipeline reads.
//
//   bench_parse_chunk MEGABYTES [ROUNDS]   parse an in-memory image
//   bench_parse_chunk --warm MEGABYTES ... the same, with freed memory kept by
//                                          malloc, so that page faults on fresh
//                                          output memory do not count
//   bench_parse_chunk --write PATH MB      write the synthetic file
//   bench_parse_chunk --file PATH          read PATH and parse it on 2 threads,
//                                          timing the read as well
#include <malloc.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fasta.hpp"

using namespace veltra;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::uint8_t> synthetic_image(std::size_t bytes) {
    static constexpr char residues[] = "ACDEFGHIKLMNPQRSTVWY";
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<int> residue(0, 19);
    std::uniform_int_distribution<int> record_len(50, 2000);
    std::vector<std::uint8_t> out;
    out.reserve(bytes + 4096);
    std::uint64_t id = 0;
    while (out.size() < bytes) {
        out.push_back('>');
        const std::string number = std::to_string(id++);
        out.insert(out.end(), number.begin(), number.end());
        out.push_back('\n');
        int left = record_len(rng);
        while (left > 0) {
            const int n = left < 60 ? left : 60;
            for (int i = 0; i < n; ++i)
                out.push_back(static_cast<std::uint8_t>(residues[residue(rng)]));
            out.push_back('\n');
            left -= n;
        }
    }
    return out;
}

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Timing {
    double wall;        // seconds for all chunks
    double per_thread;  // GB/s of one thread on its own range, by CPU time
    std::size_t tokens;
};

// Parses the image as `chunks` equal ranges on as many threads. The per-thread
// rate uses each thread's CPU time, so that other processes on a shared
// machine disturb it less than the wall time.
Timing parse_threads(std::span<const std::uint8_t> image, std::size_t chunks) {
    const fasta::TokenTable table = fasta::build_token_table(false);
    std::vector<fasta::ChunkResult> results(chunks);
    std::vector<double> cpu(chunks);
    const std::size_t chunk_len = (image.size() + chunks - 1) / chunks;
    auto parse = [&](std::size_t i) {
        const double t0 = thread_cpu_seconds();
        const std::size_t start = i * chunk_len;
        const std::size_t end = std::min(image.size(), start + chunk_len);
        results[i] = fasta::parse_chunk(image, start, end, table);
        cpu[i] = thread_cpu_seconds() - t0;
    };
    const auto t0 = Clock::now();
    // One chunk stays on the main thread, whose malloc arena --warm tunes.
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < chunks; ++i)
        threads.emplace_back(parse, i);
    parse(0);
    for (auto& t : threads)
        t.join();
    Timing timing{seconds_since(t0), 0, 0};
    double cpu_total = 0;
    for (std::size_t i = 0; i < chunks; ++i) {
        timing.tokens += results[i].tokens.size();
        cpu_total += cpu[i];
    }
    timing.per_thread = static_cast<double>(image.size()) / cpu_total / 1e9;
    return timing;
}

void report(const char* what, std::size_t bytes, double wall, double per_thread) {
    std::printf("%-24s %8.1f MB  wall %6.3f s = %5.2f GB/s", what, static_cast<double>(bytes) / 1e6, wall,
                static_cast<double>(bytes) / wall / 1e9);
    if (per_thread > 0)
        std::printf("  per thread (CPU time) %5.2f GB/s", per_thread);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--write") == 0) {
        const auto image = synthetic_image(std::strtoull(argv[3], nullptr, 10) << 20);
        FILE* f = std::fopen(argv[2], "wb");
        if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size() ||
            std::fclose(f) != 0) {
            std::perror(argv[2]);
            return 1;
        }
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--file") == 0) {
        const auto t0 = Clock::now();
        FILE* f = std::fopen(argv[2], "rb");
        if (f == nullptr) {
            std::perror(argv[2]);
            return 1;
        }
        std::fseek(f, 0, SEEK_END);
        const auto size = static_cast<std::size_t>(std::ftell(f));
        std::fseek(f, 0, SEEK_SET);
        // Not zeroed first, like the module's own whole-file read.
        const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]);
        const std::span<const std::uint8_t> image(bytes.get(), size);
        if (std::fread(bytes.get(), 1, size, f) != size) {
            std::perror(argv[2]);
            return 1;
        }
        std::fclose(f);
        const double read = seconds_since(t0);
        const Timing parse = parse_threads(image, 2);
        report("read", image.size(), read, 0);
        report("parse, 2 threads", image.size(), parse.wall, parse.per_thread);
        report("read + parse, 2 threads", image.size(), read + parse.wall, 0);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--warm") == 0) {
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, -1);
        --argc;
        ++argv;
    }
    const std::size_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const auto image = synthetic_image(megabytes << 20);
    std::printf("best of %d rounds\n", rounds);
    for (std::size_t threads : {1, 2}) {
        Timing best{1e30, 0, 0};
        for (int round = 0; round < rounds; ++round) {
            const Timing t = parse_threads(image, threads);
            best.wall = std::min(best.wall, t.wall);
            best.per_thread = std::max(best.per_thread, t.per_thread);
        }
        report(threads == 1 ? "parse, 1 thread" : "parse, 2 threads", image.size(), best.wall,
               best.per_thread);
    }
    return 0;
}
