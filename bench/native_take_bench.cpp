// Taking a physical-mode block natively, as torvane-run does on Linux (the
// product's allocateBlock over headless/system/linux/block_allocator.cpp), against the
// fastest way Linux offers to make as much fresh memory resident. Prints
// BENCH <figure> <case> <series> <value> <unit> and NOTE <figure> <text>
// records for tools/bench.sh.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "load/load_state.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C libraries lack the name
#endif

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr const char* kFigure = "take.native";

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void record(const char* what, const char* series, double value, const char* unit) {
    std::printf("BENCH\t%s\t%s\t%s\t%.9g\t%s\n", kFigure, what, series, value, unit);
    std::fflush(stdout);
}

void note(const char* text) {
    std::printf("NOTE\t%s\t%s\n", kFigure, text);
    std::fflush(stdout);
}

// Whether every page is resident. A way that leaves pages to be faulted in
// later would look fast without doing the work.
enum class Residency { Resident, NotResident, Unknown };
Residency residency(const unsigned char* block, std::uint64_t bytes) {
    const std::size_t pages = (bytes + pageSize() - 1) / pageSize();
    std::vector<unsigned char> present(pages);
    if (mincore(const_cast<unsigned char*>(block), bytes, present.data()) != 0) return Residency::Unknown;
    for (unsigned char p : present)
        if (!(p & 1)) return Residency::NotResident;
    return Residency::Resident;
}

bool allZero(const unsigned char* block, std::uint64_t bytes) {
    for (std::uint64_t i = 0; i < bytes; i += pageSize())
        if (block[i] != 0) return false;
    return block[bytes - 1] == 0;
}

unsigned char* mapFresh(std::uint64_t bytes, int extraFlags) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
}

// Unmaps a block whose making resident failed, keeping errno for the note.
unsigned char* giveUp(unsigned char* block, std::uint64_t bytes) {
    const int error = errno;
    munmap(block, bytes);
    errno = error;
    return nullptr;
}

// One way of making fresh memory resident, timed from the mapping on; the
// unmapping is not timed, as the product's release is not.
struct TakeMethod {
    const char* name;
    unsigned char* (*take)(std::uint64_t bytes);
};

const TakeMethod kTakeMethods[] = {
    {"mmap+MAP_POPULATE", [](std::uint64_t bytes) { return mapFresh(bytes, MAP_POPULATE); }},
    {"mmap+MADV_POPULATE_WRITE",
     [](std::uint64_t bytes) {
         unsigned char* block = mapFresh(bytes, 0);
         if (block && madvise(block, bytes, MADV_POPULATE_WRITE) != 0) return giveUp(block, bytes);
         return block;
     }},
    {"mmap+mlock",
     [](std::uint64_t bytes) {
         unsigned char* block = mapFresh(bytes, 0);
         if (block && mlock(block, bytes) != 0) return giveUp(block, bytes);
         if (block) munlock(block, bytes);
         return block;
     }},
    {"mmap+touch",
     [](std::uint64_t bytes) {
         unsigned char* block = mapFresh(bytes, 0);
         if (!block) return block;
         writeEveryPage(block, bytes, pageSize());
         return block;
     }},
};
constexpr int kEntrants = 1 + static_cast<int>(std::size(kTakeMethods));

// The product's take: a physical-mode block, every page written. Seconds, or
// a negative figure when it was refused or left pages out.
double productTake(std::uint64_t bytes) {
    LoadBlock load;
    const auto start = std::chrono::steady_clock::now();
    const int failed = allocateBlock(load, platformAllocator(), 1, bytes, PageTouch::WriteAll);
    const double seconds = secondsSince(start);
    if (failed) {
        note("the product's physical-mode block was not granted");
        return -1;
    }
    bool good = true;
    if (residency(load.block, bytes) != Residency::Resident) {
        note("the product's block is not all resident");
        good = false;
    }
    if (!allZero(load.block, bytes)) {
        note("the product's block is not all zero");
        good = false;
    }
    releaseBlock(load, platformAllocator(), 1);
    return good ? seconds : -1;
}

// Seconds for one baseline, or a negative figure (with a note) when it is not
// one here: refused, or leaving pages out.
double methodTake(const TakeMethod& method, std::uint64_t bytes) {
    const auto start = std::chrono::steady_clock::now();
    unsigned char* block = method.take(bytes);
    const double seconds = secondsSince(start);
    char text[200];
    if (!block) {
        std::snprintf(text, sizeof text, "%s: not available here (%s)", method.name, std::strerror(errno));
        note(text);
        return -1;
    }
    const Residency r = residency(block, bytes);
    munmap(block, bytes);
    if (r != Residency::Resident) {
        std::snprintf(text, sizeof text, "%s: leaves pages %s; not a baseline", method.name,
                      r == Residency::Unknown ? "of unknown residency" : "not resident");
        note(text);
        return -1;
    }
    return seconds;
}

void physicalTake(std::uint64_t megabytes, int repetitions) {
    char what[32];
    std::snprintf(what, sizeof what, "%lluMiB", static_cast<unsigned long long>(megabytes));
    const std::uint64_t bytes = megabytes * kMiB;
    const double gigabytes = static_cast<double>(bytes) / 1e9;
    // Rates are held back until the end, so that a way dropped in a later
    // repetition leaves no figures from the earlier ones in the table.
    std::vector<std::vector<double>> rates(kEntrants);
    std::vector<bool> usable(kEntrants, true);
    for (int rep = 0; rep < repetitions; ++rep) {
        // Who goes first turns with each repetition, against drifts in the
        // machine's load and the cost of a process's first large mapping.
        for (int turn = 0; turn < kEntrants; ++turn) {
            const int entrant = (rep + turn) % kEntrants;
            if (!usable[entrant]) continue;
            const double seconds = entrant == 0 ? productTake(bytes) : methodTake(kTakeMethods[entrant - 1], bytes);
            if (seconds < 0) {
                usable[entrant] = false;
                continue;
            }
            rates[entrant].push_back(gigabytes / seconds);
        }
    }
    for (int e = 0; e < kEntrants; ++e) {
        if (!usable[e]) continue;
        for (double rate : rates[e]) record(what, e == 0 ? "product" : kTakeMethods[e - 1].name, rate, "GB/s");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
    physicalTake(256, repetitions);
    physicalTake(1024, repetitions);
    return 0;
}
