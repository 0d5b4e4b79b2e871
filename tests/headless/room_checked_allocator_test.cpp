// The room asked before the allocator: which blocks reach the system, and
// what the user is told about those that do not.
#include "headless/memory/room_checked_allocator.h"

#include <gtest/gtest.h>

#include "load/load_block.h"
#include "tests/unit/fake_allocator.h"

namespace {
constexpr std::uint64_t kMiB = 1024 * 1024;

MemoryRoom roomOf(std::uint64_t available, LimitSource source = LimitSource::Host) {
    MemoryRoom room;
    room.known = true;
    room.available = available;
    room.availableSource = source;
    return room;
}

MemoryRoom unreadable() {
    MemoryRoom room;
    room.error = "cannot read /sys/fs/cgroup/memory.max: Permission denied";
    return room;
}

TEST(RoomCheckedAllocator, RefusesResidentBlocksThatDoNotFitBeforeTheSystemIsAsked) {
    const struct {
        const char* what;
        int mode;
        bool normalResident;
        std::uint64_t bytes;
        MemoryRoom room;
        bool granted;
        std::string explanation;  // what the user is told, "" for nothing
    } cases[] = {
        {"physical, fits", 1, false, 100 * kMiB, roomOf(200 * kMiB), true, ""},
        {"physical, too large", 1, false, 1024 * kMiB, roomOf(412 * kMiB, LimitSource::Cgroup), false,
         "torvane-run: 1024.0MiB does not fit the memory room of 412.0MiB (cgroup)"},
        {"physical, fits but not with its page tables", 1, false, 512 * kMiB, roomOf(512 * kMiB + 4096), false,
         "torvane-run: 512.0MiB does not fit the memory room of 512.0MiB"},
        {"physical, room unknown: fails closed", 1, false, 1 * kMiB, unreadable(), false,
         "torvane-run: the memory room cannot be read (cannot read /sys/fs/cgroup/memory.max: Permission denied), "
         "so no block is made resident"},
        {"normal, only committed: the room is not asked", 0, false, 1024 * kMiB, unreadable(), true, ""},
        {"normal with the access load, too large", 0, true, 1024 * kMiB, roomOf(100 * kMiB, LimitSource::Job),
         false, "torvane-run: 1024.0MiB does not fit the memory room of 100.0MiB (job)"},
        {"normal with the access load, fits", 0, true, 64 * kMiB, roomOf(100 * kMiB), true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAllocator inner;
        inner.grantUpTo = UINT64_MAX;
        std::vector<std::string> told;
        int roomReads = 0;
        RoomCheckedAllocator allocator(
            inner, [&] { ++roomReads; return c.room; }, [&](const char*, const std::string& text) { told.push_back(text); },
            c.normalResident);
        LoadBlock load;
        const bool granted = allocateBlock(load, allocator, c.mode, c.bytes, PageTouch::Leave) == 0;
        EXPECT_EQ(granted, c.granted);
        EXPECT_EQ(told, c.explanation.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.explanation});
        // A refused block never reaches the system's allocator.
        bool asked = false;
        for (const std::string& call : inner.calls) asked |= call.rfind("malloc", 0) == 0 || call.rfind("heapAlloc", 0) == 0;
        EXPECT_EQ(asked, c.granted);
        EXPECT_TRUE(inner.liveHeaps.empty() || granted);
        if (granted) releaseBlock(load, allocator, c.mode);
    }
}

TEST(RoomCheckedAllocator, SaysWhyWhenTheSystemFails) {
    const struct {
        const char* what;
        bool populateFails;
        std::uint64_t commitLimit;
        std::string explanation;
    } cases[] = {
        {"pages not made resident", true, UINT64_MAX,
         "torvane-run: the system could not make 8.0MiB resident; the block is given back"},
        {"commit limit unreadable", false, 0, "torvane-run: the system's commit limit cannot be read, so no block is taken"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeAllocator inner;
        inner.populateFails = c.populateFails;
        inner.limit = c.commitLimit;
        std::vector<std::string> told;
        RoomCheckedAllocator allocator(
            inner, [] { return roomOf(1024 * kMiB); }, [&](const char*, const std::string& text) { told.push_back(text); }, false);
        LoadBlock load;
        EXPECT_EQ(allocateBlock(load, allocator, 1, 8 * kMiB, PageTouch::WriteAll), 1);
        EXPECT_EQ(told, std::vector<std::string>{c.explanation});
        EXPECT_TRUE(inner.liveHeaps.empty());
        EXPECT_TRUE(inner.liveBlocks.empty());
    }
}

}  // namespace
