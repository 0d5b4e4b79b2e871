#include "load/access_load.h"

#include <gtest/gtest.h>

#include <vector>

#include "fake_allocator.h"

namespace {

TEST(AccessLoad, FillCycleRunsOneToSixtyFourAndWrapsAcrossBlocks) {
    FakeAllocator fake;
    LoadBlock load;
    AccessLoad access;
    ASSERT_EQ(allocateBlock(load, fake, 0, 4096, PageTouch::WriteAll), 0);
    for (int pass = 1; pass <= 130; ++pass) {
        const int expected = (pass - 1) % 64 + 1;
        ASSERT_TRUE(accessLoadIfHeld(load, access));
        ASSERT_EQ(load.block[0], expected) << "pass " << pass;
        ASSERT_EQ(load.block[4095], expected) << "pass " << pass;
        if (pass == 70) {  // a new block continues the cycle where it stood
            releaseBlock(load, fake, 0);
            ASSERT_EQ(allocateBlock(load, fake, 0, 4096, PageTouch::WriteAll), 0);
        }
    }
    EXPECT_EQ(access.fillByte, 3) << "130 passes leave the next value at 3";
    EXPECT_EQ(load.busy, 0);
}

TEST(AccessLoad, GuardFailsWithoutAPassOrAnAdvance) {
    struct Case { const char* what; int allocated; bool block; int busy; };
    const Case cases[] = {
        {"nothing allocated (physical mode or released)", 0, true, 0},
        {"no block", 1, false, 0},
        {"a pass already running", 1, true, 1},
    };
    for (const Case& c : cases) {
        unsigned char bytes[16] = {};
        LoadBlock load;
        load.block = c.block ? bytes : nullptr;
        load.size = sizeof bytes;
        load.allocated = c.allocated;
        load.busy = c.busy;
        AccessLoad access;
        access.fillByte = 7;
        EXPECT_FALSE(accessLoadIfHeld(load, access)) << c.what;
        EXPECT_EQ(access.fillByte, 7) << c.what;
        EXPECT_EQ(bytes[0], 0) << c.what;
    }
}

TEST(AccessLoad, ZeroByteBlockAdvancesTheCycle) {
    FakeAllocator fake;
    LoadBlock load;
    AccessLoad access;
    ASSERT_EQ(allocateBlock(load, fake, 0, 0, PageTouch::WriteAll), 0);
    EXPECT_TRUE(accessLoadIfHeld(load, access));
    EXPECT_EQ(access.fillByte, 2);
}

TEST(AccessLoad, PhysicalBlockIsNeverWritten) {
    FakeAllocator fake;
    LoadBlock load;
    AccessLoad access;
    ASSERT_EQ(allocateBlock(load, fake, 1, 4096, PageTouch::WriteAll), 0);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(accessLoadIfHeld(load, access));
    EXPECT_EQ(access.fillByte, 1);
    EXPECT_EQ(load.block[100], 0);
}

TEST(AccessLoad, PassWritesOnlyTheDescribedSize) {
    std::vector<unsigned char> bytes(64, 0xEE);
    LoadBlock load;
    load.block = bytes.data();
    load.size = 32;
    load.allocated = 1;
    AccessLoad access;
    access.fillByte = 64;
    accessLoadPass(load, access, load.block);
    EXPECT_EQ(bytes[31], 64);
    EXPECT_EQ(bytes[32], 0xEE);
    EXPECT_EQ(access.fillByte, 1);
}

}  // namespace
