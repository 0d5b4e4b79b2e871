// --workers: a pass split across threads writes every byte of the block, and
// nothing outside it, whatever the block's size and alignment.
#include "headless/runs/parallel_fill.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "load/access_load.h"

namespace {
constexpr std::uint64_t kPage = 4096;

struct SizeCase {
    const char* what;
    std::uint64_t offset;  // from a page boundary
    std::uint64_t bytes;
};
constexpr SizeCase kSizes[] = {
    {"empty", 0, 0},
    {"one byte", 0, 1},
    {"under a page, off a page boundary", 100, 3000},
    {"one page", 0, kPage},
    {"across a page boundary", 4000, 200},
    {"seven pages and a bit", 0, 7 * kPage + 5},
    {"uneven, off a page boundary", 123, 10 * kPage + 4001},
    {"many pages", 17, 300 * kPage + 1},
};
constexpr unsigned kWorkers[] = {0, 1, 2, 3, 7};

TEST(ParallelFill, PartsCoverTheBlockOnceOnPageBoundaries) {
    for (const SizeCase& c : kSizes) {
        for (const unsigned workers : kWorkers) {
            const std::uintptr_t address = 64 * kPage + c.offset;
            const std::vector<std::uintptr_t> ends = fillPartEnds(address, c.bytes, workers);
            ASSERT_EQ(ends.size(), workers == 0 ? 1u : workers) << c.what << ", " << workers;
            std::uintptr_t from = address;
            std::uint64_t largest = 0;
            for (std::size_t k = 0; k < ends.size(); ++k) {
                ASSERT_GE(ends[k], from) << c.what << ", " << workers << ": part " << k << " runs backwards";
                if (k + 1 < ends.size() && ends[k] != address + c.bytes) {
                    EXPECT_EQ(ends[k] % kPage, 0u) << c.what << ", " << workers << ": part " << k;
                }
                largest = std::max<std::uint64_t>(largest, ends[k] - from);
                from = ends[k];
            }
            EXPECT_EQ(ends.back(), address + c.bytes) << c.what << ", " << workers;
            // Near-equal: no part more than a page over an even share.
            const unsigned n = workers == 0 ? 1 : workers;
            EXPECT_LE(largest, (c.bytes + n - 1) / n + kPage) << c.what << ", " << workers;
        }
    }
}

TEST(ParallelFill, WritesEveryByteOfTheBlockAndNoOther) {
    for (const SizeCase& c : kSizes) {
        for (const unsigned workers : kWorkers) {
            // Guard pages either side; the block placed at its offset from a
            // page boundary of the address space.
            std::vector<unsigned char> memory(c.bytes + 4 * kPage, 0xAA);
            const auto base = reinterpret_cast<std::uintptr_t>(memory.data());
            const std::uintptr_t aligned = (base + kPage - 1) / kPage * kPage + kPage;
            unsigned char* const start = memory.data() + (aligned - base) + c.offset % kPage;
            fillInParts(start, c.bytes, 0x5C, workers);
            for (std::size_t i = 0; i < memory.size(); ++i) {
                const bool inside = memory.data() + i >= start && memory.data() + i < start + c.bytes;
                ASSERT_EQ(memory[i], inside ? 0x5C : 0xAA)
                    << c.what << ", " << workers << " workers: byte " << i - (start - memory.data());
            }
        }
    }
}

TEST(ParallelFill, AccessLoadPassWithAnotherFillKeepsTheGuardAndTheCycle) {
    std::vector<unsigned char> bytes(5 * kPage + 7, 0);
    LoadBlock load;
    load.block = bytes.data();
    load.size = bytes.size();
    load.allocated = 1;
    AccessLoad access;
    access.fillByte = 64;
    const auto split = [](unsigned char* p, std::uint64_t n, unsigned char v) { fillInParts(p, n, v, 3); };
    ASSERT_TRUE(accessLoadIfHeld(load, access, split));
    EXPECT_EQ(std::vector<unsigned char>(bytes.size(), 64), bytes);
    EXPECT_EQ(access.fillByte, 1) << "64 wraps to 1";
    EXPECT_EQ(load.busy, 0);

    int calls = 0;
    const auto counted = [&calls](unsigned char*, std::uint64_t, unsigned char) { ++calls; };
    load.busy = 1;  // a pass already running
    EXPECT_FALSE(accessLoadIfHeld(load, access, counted));
    load.busy = 0;
    load.allocated = 0;  // released
    EXPECT_FALSE(accessLoadIfHeld(load, access, counted));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(access.fillByte, 1) << "no pass, no advance";
}
}  // namespace
