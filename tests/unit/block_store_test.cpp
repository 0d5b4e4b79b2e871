// The access load's store routine: every way and every size class writes
// exactly its block, at any alignment, and nothing beside it. Checked, not
// timed (the bench times it).
#include "load/block_store.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "load/access_load.h"

namespace {

const std::uint64_t kPage = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));

// Pages with an inaccessible page either side: a store before the first or
// after the last faults. The pages between start out holding kUntouched.
class GuardedPages {
public:
    explicit GuardedPages(std::uint64_t pages) : pages_(pages) {
        const std::uint64_t total = (pages + 2) * kPage;
        void* p = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<unsigned char*>(p);
        if (mprotect(data(), pages * kPage, PROT_READ | PROT_WRITE) != 0) return;
        std::memset(data(), kUntouched, pages * kPage);
        usable_ = true;
    }
    ~GuardedPages() {
        if (base_) munmap(base_, (pages_ + 2) * kPage);
    }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    bool usable() const { return usable_; }
    unsigned char* data() const { return base_ + kPage; }
    std::uint64_t bytes() const { return pages_ * kPage; }

    // The first offset (from data()) that does not hold what it should: the
    // value inside [from, from + length), kUntouched elsewhere; -1 if none.
    long long firstWrong(std::uint64_t from, std::uint64_t length, unsigned char value) const {
        for (std::uint64_t i = 0; i < bytes(); ++i) {
            const bool inside = i >= from && i < from + length;
            if (data()[i] != (inside ? value : kUntouched)) return static_cast<long long>(i);
        }
        return -1;
    }

    static constexpr unsigned char kUntouched = 0xAA;

private:
    std::uint64_t pages_;
    unsigned char* base_ = nullptr;
    bool usable_ = false;
};

constexpr StoreWay kWays[] = {StoreWay::Memset, StoreWay::RepStosb, StoreWay::Stream};

const char* nameOf(StoreWay way) {
    switch (way) {
    case StoreWay::Memset: return "memset";
    case StoreWay::RepStosb: return "rep stosb";
    case StoreWay::Stream: return "stream";
    }
    return "?";
}

constexpr std::uint64_t kOffsets[] = {0, 1, 63, 4095};  // from a page boundary
// Lengths: none, one byte, odd ones either side of the stream's 16-byte head
// and 64-byte rounds, whole pages, and whole pages and a bit.
constexpr std::uint64_t kLengths[] = {0, 1, 15, 17, 63, 65, 129, 4096, 3 * 4096, 2 * 4096 + 77};

TEST(BlockStore, EveryWayWritesExactlyItsBlockAtAnyAlignment) {
    for (const StoreWay way : kWays) {
        for (const std::uint64_t offset : kOffsets) {
            for (const std::uint64_t length : kLengths) {
                GuardedPages pages(5);
                ASSERT_TRUE(pages.usable());
                const unsigned char value = static_cast<unsigned char>(offset + length + 1);
                storeWith(way, pages.data() + offset, length, value);
                EXPECT_EQ(pages.firstWrong(offset, length, value), -1)
                    << nameOf(way) << ", " << offset << " bytes off a page, " << length << " bytes";
            }
        }
    }
}

TEST(BlockStore, EveryWayStopsAtTheLastByteBeforeAGuardPage) {
    // The block's last byte is the last byte before the trailing guard page:
    // one store past it faults.
    for (const StoreWay way : kWays) {
        for (const std::uint64_t length : kLengths) {
            GuardedPages pages(5);
            ASSERT_TRUE(pages.usable());
            const std::uint64_t from = pages.bytes() - length;
            storeWith(way, pages.data() + from, length, 0x3C);
            EXPECT_EQ(pages.firstWrong(from, length, 0x3C), -1) << nameOf(way) << ", " << length << " bytes";
        }
    }
}

TEST(BlockStore, EachSizeClassWritesExactlyItsBlock) {
    // Thresholds small enough that blocks of a few pages reach every class.
    const StorePlan plan{64, 4096};
    struct Case {
        std::uint64_t offset, length;
        StoreWay expected;
    };
    const Case cases[] = {
        {0, 1, StoreWay::Memset},       {1, 63, StoreWay::Memset},    {63, 64, StoreWay::RepStosb},
        {4095, 4095, StoreWay::RepStosb}, {1, 4096, StoreWay::Stream}, {63, 3 * 4096 + 5, StoreWay::Stream},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(storeWayFor(plan, c.length), c.expected) << c.length << " bytes";
        GuardedPages pages(6);
        ASSERT_TRUE(pages.usable());
        storePart(plan, pages.data() + c.offset, c.length, 0x5A, c.length);
        EXPECT_EQ(pages.firstWrong(c.offset, c.length, 0x5A), -1) << nameOf(c.expected) << ", " << c.length;
    }
}

TEST(BlockStore, APartIsStoredInItsWholeBlocksClass) {
    const StorePlan plan{64, 4096};
    EXPECT_EQ(storeWayFor(plan, 10 * 4096), StoreWay::Stream);
    // A 100-byte part of a 40 KiB block: the block's class, the part's bytes.
    GuardedPages pages(2);
    ASSERT_TRUE(pages.usable());
    storePart(plan, pages.data() + 7, 100, 0x11, 10 * 4096);
    EXPECT_EQ(pages.firstWrong(7, 100, 0x11), -1);
}

TEST(BlockStore, PlanFollowsTheProcessorsFeatures) {
    constexpr std::uint64_t kMiB = 1 << 20;
    struct Case {
        const char* what;
        StoreFeatures features;
        StoreWay at1KiB, at1MiB, at1GiB;
    };
    const Case cases[] = {
        {"fast strings: rep stosb from 2 KiB, never streaming", {true, 32 * kMiB}, StoreWay::Memset,
         StoreWay::RepStosb, StoreWay::RepStosb},
        {"no fast strings, 32 MiB cache: streaming from 128 MiB", {false, 32 * kMiB}, StoreWay::Memset,
         StoreWay::Memset, StoreWay::Stream},
        {"no fast strings, cache unknown: memset throughout", {false, 0}, StoreWay::Memset, StoreWay::Memset,
         StoreWay::Memset},
    };
    for (const Case& c : cases) {
        const StorePlan plan = planStores(c.features);
        EXPECT_EQ(storeWayFor(plan, 1024), c.at1KiB) << c.what;
        EXPECT_EQ(storeWayFor(plan, kMiB), c.at1MiB) << c.what;
        EXPECT_EQ(storeWayFor(plan, 1024 * kMiB), c.at1GiB) << c.what;
    }
    const StorePlan noStream = planStores({false, 32 * kMiB});
    EXPECT_EQ(storeWayFor(noStream, 128 * kMiB - 1), StoreWay::Memset);
    EXPECT_EQ(storeWayFor(noStream, 128 * kMiB), StoreWay::Stream);
}

TEST(BlockStore, ProbeReadsTheFastStringFlagTheKernelReports) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {
    }
    if (line.empty()) GTEST_SKIP() << "no flags line in /proc/cpuinfo";
    const bool erms = (line + " ").find(" erms ") != std::string::npos;
    EXPECT_EQ(probeStoreFeatures().fastStrings, erms);
    EXPECT_GT(probeStoreFeatures().lastLevelCacheBytes, 0u) << "CPUID names no cache";
}

TEST(BlockStore, FillBlockGivesTheWholeBlockTheValueInThisProcessorsClasses) {
    // The window's pass over blocks either side of this machine's thresholds.
    const StorePlan& plan = processStorePlan();
    for (const std::uint64_t length : {std::uint64_t{1}, std::uint64_t{2047}, std::uint64_t{2048},
                                       std::uint64_t{16 * 4096 + 3}}) {
        GuardedPages pages(18);
        ASSERT_TRUE(pages.usable());
        fillBlock(pages.data() + 1, length, 64);
        EXPECT_EQ(pages.firstWrong(1, length, 64), -1)
            << length << " bytes, " << nameOf(storeWayFor(plan, length));
    }
}

}  // namespace
