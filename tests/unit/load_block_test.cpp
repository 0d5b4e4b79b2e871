#include "load/load_block.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "fake_allocator.h"

namespace {

constexpr int kNormal = 0;
constexpr int kPhysical = 1;

TEST(Sizes, MegabytesAndKilobytesAreFormedIn64Bits) {
    struct Case { std::int64_t count; std::uint64_t megabytes, kilobytes; };
    const Case cases[] = {
        {0, 0, 0},
        {1, 1048576, 1024},
        {16, 16777216, 16384},
        {4096, 4294967296ull, 4194304},          // 0 in 32-bit arithmetic
        {2147483647, 2147483647ull << 20, 2147483647ull << 10},
        {-1, UINT64_MAX, UINT64_MAX},            // negative: no size at all
        {INT64_MAX, UINT64_MAX, UINT64_MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(megabytesToBytes(c.count), c.megabytes) << c.count;
        EXPECT_EQ(kilobytesToBytes(c.count), c.kilobytes) << c.count;
    }
}

TEST(AllocateBlock, NormalModeSetsSizeAndAllocatedAndTouchesNothing) {
    FakeAllocator fake;
    LoadBlock load;
    ASSERT_EQ(allocateBlock(load, fake, kNormal, 4096, PageTouch::WriteAll), 0);
    EXPECT_NE(load.block, nullptr);
    EXPECT_EQ(load.size, 4096u);
    EXPECT_EQ(load.allocated, 1);
    EXPECT_EQ(load.heap, nullptr);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"malloc 4096"}));
    releaseBlock(load, fake, kNormal);
    EXPECT_EQ(load.allocated, 0);
    EXPECT_TRUE(fake.liveBlocks.empty());
}

TEST(AllocateBlock, PhysicalModeTakesAHeapPerBlockAndNeverSetsAllocated) {
    FakeAllocator fake;
    LoadBlock load;
    ASSERT_EQ(allocateBlock(load, fake, kPhysical, 8192, PageTouch::WriteAll), 0);
    EXPECT_NE(load.block, nullptr);
    EXPECT_NE(load.heap, nullptr);
    EXPECT_EQ(load.size, 0u);
    EXPECT_EQ(load.allocated, 0);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"createHeap", "heapAlloc 8192", "resident 8192"}));
    releaseBlock(load, fake, kPhysical);
    EXPECT_TRUE(fake.liveHeaps.empty());
    EXPECT_TRUE(fake.liveBlocks.empty());
}

TEST(AllocateBlock, AllocationTestStepsLeavePhysicalPagesAlone) {
    FakeAllocator fake;
    LoadBlock load;
    ASSERT_EQ(allocateBlock(load, fake, kPhysical, 1 << 20, PageTouch::Leave), 0);
    EXPECT_EQ(fake.residentBytes, 0u);
}

TEST(AllocateBlock, ZeroBytesIsAValidBlockInBothModes) {
    for (int mode : {kNormal, kPhysical}) {
        FakeAllocator fake;
        LoadBlock load;
        EXPECT_EQ(allocateBlock(load, fake, mode, 0, PageTouch::WriteAll), 0) << mode;
        EXPECT_NE(load.block, nullptr) << mode;
        EXPECT_EQ(load.allocated, mode == kNormal ? 1 : 0) << mode;
        releaseBlock(load, fake, mode);
    }
}

TEST(AllocateBlock, FailuresLeaveNoBlockAndNothingBehind) {
    struct Case { const char* what; int mode; std::uint64_t bytes; std::uint64_t limit; bool heapsFail;
                  std::vector<std::string> calls; bool populateFails = false; };
    const Case cases[] = {
        {"normal, refused by the allocator", kNormal, 2ull << 30, 1ull << 40, false, {"malloc 2147483648"}},
        {"normal, above the commit limit: not even asked", kNormal, 5000, 4096, false, {}},
        {"normal, negative count", kNormal, UINT64_MAX, UINT64_MAX, false, {}},
        {"physical, heap refused", kPhysical, 4096, 1ull << 40, true, {"createHeap"}},
        {"physical, block refused: its heap is destroyed", kPhysical, 2ull << 30, 1ull << 40, false,
         {"createHeap", "heapAlloc 2147483648", "destroyHeap"}},
        {"physical, above the commit limit", kPhysical, 5000, 4096, false, {}},
        {"physical, pages refused while made resident: the block goes back", kPhysical, 4096, 1ull << 40, false,
         {"createHeap", "heapAlloc 4096", "resident 4096", "destroyHeap"}, true},
    };
    for (const Case& c : cases) {
        FakeAllocator fake;
        fake.limit = c.limit;
        fake.heapsFail = c.heapsFail;
        fake.populateFails = c.populateFails;
        LoadBlock load;
        load.allocated = 1;  // a failure clears it whatever it was
        EXPECT_EQ(allocateBlock(load, fake, c.mode, c.bytes, PageTouch::WriteAll), 1) << c.what;
        EXPECT_EQ(load.block, nullptr) << c.what;
        EXPECT_EQ(load.allocated, 0) << c.what;
        EXPECT_EQ(load.heap, nullptr) << c.what;
        EXPECT_EQ(fake.calls, c.calls) << c.what;
        EXPECT_TRUE(fake.liveHeaps.empty()) << c.what;
        EXPECT_TRUE(fake.liveBlocks.empty()) << c.what;
    }
}

TEST(AllocateBlock, ASecondAllocationReplacesTheFirstWithoutReleasingIt) {
    for (int mode : {kNormal, kPhysical}) {
        FakeAllocator fake;
        LoadBlock load;
        ASSERT_EQ(allocateBlock(load, fake, mode, 100, PageTouch::WriteAll), 0);
        unsigned char* first = load.block;
        void* firstHeap = load.heap;
        ASSERT_EQ(allocateBlock(load, fake, mode, 200, PageTouch::WriteAll), 0);
        EXPECT_NE(load.block, first);
        EXPECT_EQ(fake.liveBlocks.size(), 2u) << "the first block stays held";
        releaseBlock(load, fake, mode);
        EXPECT_EQ(fake.liveBlocks.count(first), 1u) << "only the second goes back";
        if (mode == kPhysical) {
            EXPECT_EQ(fake.liveHeaps.count(firstHeap), 1u);
        }
    }
}

TEST(ReleaseBlock, ReleasingTwiceNeverFreesTwice) {
    for (int mode : {kNormal, kPhysical}) {
        FakeAllocator fake;
        LoadBlock load;
        ASSERT_EQ(allocateBlock(load, fake, mode, 64, PageTouch::WriteAll), 0);
        releaseBlock(load, fake, mode);
        releaseBlock(load, fake, mode);  // fake's free(nullptr) / no heap: harmless
        EXPECT_EQ(load.block, nullptr);
        EXPECT_TRUE(fake.liveBlocks.empty());
    }
}

}  // namespace
