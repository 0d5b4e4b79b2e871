// --content random written over a resident block, against the access load's
// fill pass over the same block (fillInParts, one thread): the generator
// should run near store bandwidth. Prints BENCH <figure> <case> <series>
// <value> <unit> records for tools/bench.sh.
#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "headless/memory/page_content.h"
#include "headless/runs/parallel_fill.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;
constexpr const char* kFigure = "content.random";

void record(const char* what, const char* series, double value) {
    std::printf("BENCH\t%s\t%s\t%s\t%.9g\tGB/s\n", kFigure, what, series, value);
    std::fflush(stdout);
}

template <typename Pass>
double gigabytesPerSecond(std::uint64_t bytes, Pass pass) {
    const auto start = std::chrono::steady_clock::now();
    pass();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(bytes) / seconds / 1e9;
}
}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 8;
    const PageContent random = *parseContent("random");
    for (const std::uint64_t megabytes : {256ull, 1024ull}) {
        const std::uint64_t bytes = megabytes * kMiB;
        void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (mapped == MAP_FAILED) {
            std::printf("NOTE\t%s\t%lluMiB: the block could not be mapped\n", kFigure,
                        static_cast<unsigned long long>(megabytes));
            continue;
        }
        auto* block = static_cast<unsigned char*>(mapped);
        char what[32];
        std::snprintf(what, sizeof what, "%lluMiB", static_cast<unsigned long long>(megabytes));
        // A first pass of each, untimed: the first writes after the mapping
        // still fault (measured 0.8 GB/s against 8 after).
        fillInParts(block, bytes, 1, 1);
        writeContent(block, bytes, random, 1);
        // Side by side, who goes first changing each round.
        for (int round = 0; round < rounds; ++round) {
            const auto fill = [&] { fillInParts(block, bytes, static_cast<unsigned char>(round + 1), 1); };
            const auto content = [&] { writeContent(block, bytes, random, static_cast<std::uint64_t>(round)); };
            if (round % 2) {
                record(what, "fill", gigabytesPerSecond(bytes, fill));
                record(what, "product", gigabytesPerSecond(bytes, content));
            } else {
                record(what, "product", gigabytesPerSecond(bytes, content));
                record(what, "fill", gigabytesPerSecond(bytes, fill));
            }
        }
        munmap(mapped, bytes);
    }
    return 0;
}
