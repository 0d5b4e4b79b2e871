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
#include <vector>

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

constexpr StoreWay kWays[] = {StoreWay::Memset, StoreWay::RepStosb, StoreWay::Stream, StoreWay::Vector};

const char* nameOf(StoreWay way) { return storeWayName(way); }

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
        storeBlock(plan, pages.data() + c.offset, c.length, 0x5A);
        EXPECT_EQ(pages.firstWrong(c.offset, c.length, 0x5A), -1) << nameOf(c.expected) << ", " << c.length;
    }
}

TEST(BlockStore, APassIsStoredInItsWholeBlocksClass) {
    // The way a pass gives every part of a 40 KiB block: the block's class,
    // whatever the part's length.
    const StorePlan plan{64, 4096};
    GuardedPages pages(10);
    ASSERT_TRUE(pages.usable());
    EXPECT_EQ(beginStorePass(plan, pages.data(), 10 * 4096).way, StoreWay::Stream);
    EXPECT_EQ(beginStorePass(plan, pages.data(), 100).way, StoreWay::RepStosb);
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

// ---- the timed passes of blocks past the caches -----------------------------

// Thresholds small enough that parts of a few pages are timed.
constexpr StorePlan kTimedPlan{64, UINT64_MAX, 4096};
constexpr std::size_t kWaysTimed = std::size(kCalibratedWays);
constexpr int kTimedPasses = 16;  // four of each way

// A clock for the timed passes, which read it at their start and end. A
// pass in the way kCalibratedWays[i] takes took[i] ns: 10 for the way at
// `fastIndex`, 12 for the others (`slowOnce`: the fast way's first timed
// pass 1000); no time at all when `still`. Passes go through `timedPass`,
// which tells the clock the pass's way.
struct FakeClock {
    static inline std::uint64_t reads = 0;
    static inline std::uint64_t took[kWaysTimed] = {};
    static inline std::size_t fastIndex = 0;
    static inline StoreWay way = StoreWay::Memset;
    static inline bool still = false, slowOnce = false;
    static inline int fastEnds = 0;
    static std::uint64_t now() {
        const std::uint64_t read = reads++;
        if (still) return 5;
        if (read % 2 == 0) return read / 2 * 10000;
        std::size_t index = 0;
        while (kCalibratedWays[index] != way) ++index;
        std::uint64_t ns = took[index];
        if (index == fastIndex && fastEnds++ == 0 && slowOnce) ns = 1000;
        return read / 2 * 10000 + ns;
    }
    static void use(std::size_t fast, bool stillClock = false, bool slowFirst = false) {
        reads = 0;
        fastEnds = 0;
        fastIndex = fast;
        for (std::size_t w = 0; w < kWaysTimed; ++w) took[w] = w == fast ? 10 : 12;
        still = stillClock;
        slowOnce = slowFirst;
        setStoreClockForTesting(&FakeClock::now);
    }
};

// One pass as storeBlock makes it, the clock told its way.
StorePass timedPass(unsigned char* block, std::uint64_t bytes, unsigned char value) {
    const StorePass pass = beginStorePass(kTimedPlan, block, bytes);
    FakeClock::way = pass.way;
    storeWith(pass.way, block, bytes, value);
    endStorePass(block, bytes, pass);
    return pass;
}

TEST(BlockStore, TheScheduleTimesEveryWayFourTimesEachAfterAPassOfItsOwn) {
    int timed[kWaysTimed] = {};
    for (int step = 0; step < kCalibrationStepCount; ++step) {
        const CalibrationStep now = calibrationStep(step);
        if (!now.timed) continue;
        ASSERT_GT(step, 0);
        EXPECT_EQ(calibrationStep(step - 1).way, now.way) << "step " << step << " follows another way";
        for (std::size_t w = 0; w < kWaysTimed; ++w) timed[w] += kCalibratedWays[w] == now.way;
    }
    for (std::size_t w = 0; w < kWaysTimed; ++w) EXPECT_EQ(timed[w], 4) << nameOf(kCalibratedWays[w]);
    EXPECT_EQ(timedStepNumber(kTimedPasses - 1), kCalibrationStepCount - 1);
    EXPECT_EQ(timedStepNumber(kTimedPasses), -1);
}

TEST(BlockStore, EveryPassOfATimedPartWritesExactlyThePart) {
    // The first pass, the timed passes and the chosen way's passes, at any
    // alignment, from the threshold up.
    const std::uint64_t lengths[] = {4096, 4097, 3 * 4096 + 5, 5 * 4096};
    for (std::size_t fast = 0; fast < kWaysTimed; ++fast) {
        for (const std::uint64_t offset : kOffsets) {
            for (const std::uint64_t length : lengths) {
                FakeClock::use(fast);
                GuardedPages pages(7);
                ASSERT_TRUE(pages.usable());
                for (int pass = 1; pass <= kCalibrationStepCount + 3; ++pass) {
                    const auto value = static_cast<unsigned char>(pass);
                    timedPass(pages.data() + offset, length, value);
                    EXPECT_EQ(pages.firstWrong(offset, length, value), -1)
                        << "pass " << pass << ", " << offset << " bytes off a page, " << length
                        << " bytes, fastest " << nameOf(kCalibratedWays[fast]);
                }
            }
        }
    }
    setStoreClockForTesting(nullptr);
}

TEST(BlockStore, PassesAfterTheFirstTimeEveryWayAndLaterPassesKeepTheFastest) {
    for (const bool slowFirst : {false, true}) {
        for (std::size_t fast = 0; fast < kWaysTimed; ++fast) {
            FakeClock::use(fast, false, slowFirst);
            GuardedPages pages(4);
            ASSERT_TRUE(pages.usable());
            unsigned char* const part = pages.data() + 64;
            const std::uint64_t length = 3 * 4096;
            const std::string what = std::string("fastest ") + nameOf(kCalibratedWays[fast]) +
                                     (slowFirst ? ", its first timed pass disturbed" : "");
            StoreWay way = StoreWay::Memset;
            EXPECT_EQ(timedPass(part, length, 1).timing, -1) << what << ": the first pass was timed";
            EXPECT_EQ(FakeClock::reads, 0u) << "the first pass read the clock";
            for (int step = 0; step < kCalibrationStepCount; ++step) {
                EXPECT_FALSE(calibratedWay(part, length, way)) << what << ": chosen before step " << step;
                timedPass(part, length, 2);
            }
            ASSERT_TRUE(calibratedWay(part, length, way)) << what;
            EXPECT_EQ(way, kCalibratedWays[fast]) << what;
            EXPECT_EQ(FakeClock::reads, 2u * kTimedPasses) << "each timed pass reads the clock twice";
            const StorePass after = timedPass(part, length, 3);
            EXPECT_EQ(after.way, kCalibratedWays[fast]) << what;
            EXPECT_EQ(after.timing, kWatchedPass) << what << ": a pass in the chosen way is not watched";
            // Another block at the same place is timed on its own.
            EXPECT_FALSE(calibratedWay(part, length - 64, way));
        }
    }
    setStoreClockForTesting(nullptr);
}

// One pass of a block stored in `parts` parts, timed whole as the workers
// time it.
StorePass passInParts(unsigned char* block, std::uint64_t bytes, unsigned parts, unsigned char value) {
    const StorePass pass = beginStorePass(kTimedPlan, block, bytes, parts);
    FakeClock::way = pass.way;
    storeWith(pass.way, block, bytes, value);
    endStorePass(block, bytes, pass);
    return pass;
}

TEST(BlockStore, OneBlockStoredByOneThreadAndByTwoIsTimedForEach) {
    // The same memory, one thread fastest in one way and two in another:
    // each keeps its own choice, and the second is timed from its first pass.
    GuardedPages pages(3);
    ASSERT_TRUE(pages.usable());
    unsigned char* const block = pages.data();
    const std::uint64_t length = 2 * 4096;
    struct Case {
        unsigned parts;
        std::size_t fast;
    };
    const Case cases[] = {{1, 0}, {2, 3}, {4, 1}};
    FakeClock::use(0);  // forgets every block: once only
    const auto fastest = [](std::size_t fast) {
        for (std::size_t w = 0; w < kWaysTimed; ++w) FakeClock::took[w] = w == fast ? 10 : 12;
    };
    for (const Case& c : cases) {
        fastest(c.fast);
        EXPECT_EQ(passInParts(block, length, c.parts, 1).timing, -1) << c.parts << " parts: first pass timed";
        for (int step = 0; step < kCalibrationStepCount; ++step) passInParts(block, length, c.parts, 2);
        EXPECT_EQ(pages.firstWrong(0, length, 2), -1) << c.parts << " parts";
    }
    for (const Case& c : cases) {
        StoreWay way;
        ASSERT_TRUE(calibratedWay(block, length, way, c.parts)) << c.parts << " parts";
        EXPECT_EQ(way, kCalibratedWays[c.fast]) << c.parts << " parts";
        fastest(c.fast);
        const StorePass next = passInParts(block, length, c.parts, 3);
        EXPECT_EQ(next.way, kCalibratedWays[c.fast]) << c.parts << " parts";
        EXPECT_EQ(next.timing, kWatchedPass) << c.parts << " parts";
    }
    StoreWay way;
    EXPECT_FALSE(calibratedWay(block, length, way, 3)) << "three parts were never timed";
    setStoreClockForTesting(nullptr);
}

// The block's first pass and its 24 steps: the way at kCalibratedWays[0]
// chosen at 10 ns a pass.
void chooseTheFirstWay(unsigned char* block, std::uint64_t length) {
    FakeClock::use(0);
    for (int pass = 0; pass <= kCalibrationStepCount; ++pass) timedPass(block, length, 1);
}

TEST(BlockStore, TheChoiceIsTimedAgainAfterEveryThousandPasses) {
    GuardedPages pages(3);
    ASSERT_TRUE(pages.usable());
    unsigned char* const block = pages.data();
    const std::uint64_t length = 2 * 4096;
    StoreWay way;
    chooseTheFirstWay(block, length);
    ASSERT_TRUE(calibratedWay(block, length, way));
    EXPECT_EQ(way, kCalibratedWays[0]);
    // Now another way is faster while the chosen one keeps its speed: not
    // noticed before the thousandth pass; the old choice stands while the
    // steps run again.
    FakeClock::took[2] = 8;
    for (int pass = 1; pass < kRetimeAfterPasses; ++pass) {
        const StorePass watched = timedPass(block, length, 2);
        ASSERT_EQ(watched.timing, kWatchedPass) << "pass " << pass << " after the choice";
    }
    for (int step = 0; step < kCalibrationStepCount; ++step) {
        EXPECT_EQ(timedPass(block, length, 3).timing, calibrationStep(step).timed ? step : -1);
        ASSERT_TRUE(calibratedWay(block, length, way));
        if (step + 1 < kCalibrationStepCount) {
            EXPECT_EQ(way, kCalibratedWays[0]) << "step " << step;
        }
    }
    EXPECT_EQ(pages.firstWrong(0, length, 3), -1);
    EXPECT_EQ(way, kCalibratedWays[2]);
    setStoreClockForTesting(nullptr);
}

TEST(BlockStore, TheChoiceIsTimedAgainOnceItsWayStaysSlower) {
    // The chosen way was timed at 10 ns a pass; then `slow` passes at
    // `slowNs`, then one at 10 again.
    struct Case {
        const char* what;
        int slow;
        std::uint64_t slowNs;
        bool timedAgain;
    };
    const Case cases[] = {
        {"slower by a fifth, pass after pass", kSlowedPasses, 13, true},
        {"at half the speed, pass after pass", kSlowedPasses, 20, true},
        {"one pass short of the run", kSlowedPasses - 1, 20, false},
        {"a little slower, pass after pass", 3 * kSlowedPasses, 11, false},
        {"one disturbed pass", 1, 1000, false},
    };
    for (const Case& c : cases) {
        GuardedPages pages(3);
        ASSERT_TRUE(pages.usable());
        unsigned char* const block = pages.data();
        const std::uint64_t length = 2 * 4096;
        chooseTheFirstWay(block, length);
        FakeClock::took[0] = c.slowNs;
        for (int pass = 0; pass < c.slow; ++pass) timedPass(block, length, 2);
        FakeClock::took[0] = 10;
        // The steps from the first (untimed, then timed), or the chosen way.
        const StorePass next = timedPass(block, length, 3), second = timedPass(block, length, 3);
        EXPECT_EQ(next.timing, c.timedAgain ? -1 : kWatchedPass) << c.what;
        EXPECT_EQ(second.timing, c.timedAgain ? 1 : kWatchedPass) << c.what;
        EXPECT_EQ(second.way, c.timedAgain ? calibrationStep(1).way : kCalibratedWays[0]) << c.what;
        EXPECT_EQ(pages.firstWrong(0, length, 3), -1) << c.what;
        // A run broken by a pass at the old speed starts again from nothing.
        if (!c.timedAgain) {
            FakeClock::took[0] = 20;
            for (int pass = 0; pass < kSlowedPasses - 1; ++pass) timedPass(block, length, 4);
            EXPECT_EQ(timedPass(block, length, 5).timing, kWatchedPass) << c.what << ", a new run";
        }
    }
    setStoreClockForTesting(nullptr);
}

TEST(BlockStore, BlocksBelowTheThresholdAreNeverTimed) {
    FakeClock::use(1);
    GuardedPages pages(3);
    ASSERT_TRUE(pages.usable());
    StoreWay way;
    for (int pass = 0; pass < 2 * kCalibrationStepCount; ++pass) {
        storeBlock(kTimedPlan, pages.data(), 4095, 9);
        EXPECT_EQ(pages.firstWrong(0, 4095, 9), -1);
    }
    EXPECT_EQ(FakeClock::reads, 0u);
    EXPECT_FALSE(calibratedWay(pages.data(), 4095, way));
    setStoreClockForTesting(nullptr);
}

TEST(BlockStore, AClockThatDoesNotMoveKeepsTheClassesWay) {
    FakeClock::use(1, true);
    GuardedPages pages(3);
    ASSERT_TRUE(pages.usable());
    StoreWay way = StoreWay::Vector;
    for (int pass = 0; pass <= kCalibrationStepCount; ++pass) storeBlock(kTimedPlan, pages.data(), 2 * 4096, 1);
    ASSERT_TRUE(calibratedWay(pages.data(), 2 * 4096, way));
    EXPECT_EQ(way, storeWayFor(kTimedPlan, 2 * 4096));
    setStoreClockForTesting(nullptr);
}

TEST(BlockStore, FastestWayIsTheBestStoreInBytesPerNanosecond) {
    using W = StoreWay;
    struct Case {
        const char* what;
        std::vector<TimedStore> stores;
        StoreWay expected;
    };
    const Case cases[] = {
        {"one store disturbed: left out of the way's mean",
         {{W::RepStosb, 100, 10}, {W::Vector, 100, 12}, {W::RepStosb, 100, 1000}, {W::Vector, 100, 12},
          {W::RepStosb, 100, 10}, {W::Vector, 100, 12}},
         W::RepStosb},
        {"two stores: both count", {{W::RepStosb, 100, 10}, {W::RepStosb, 100, 1000}, {W::Vector, 100, 12}},
         W::Vector},
        {"the mean, not the best store",
         {{W::Vector, 100, 5}, {W::Vector, 100, 20}, {W::Vector, 100, 20}, {W::Vector, 100, 20},
          {W::Stream, 100, 9}, {W::Stream, 100, 9}, {W::Stream, 100, 9}},
         W::Stream},
        {"more bytes in the same time is faster", {{W::Vector, 100, 10}, {W::Stream, 150, 10}}, W::Stream},
        {"ties go to the way named first", {{W::Stream, 100, 10}, {W::Memset, 100, 10}, {W::Vector, 100, 10}},
         W::Vector},
        {"untimed stores say nothing", {{W::Memset, 100, 0}, {W::Stream, 100, 50}}, W::Stream},
        {"nothing timed: the fallback", {{W::Memset, 100, 0}, {W::Vector, 0, 10}}, W::RepStosb},
        {"none at all: the fallback", {}, W::RepStosb},
        {"large stores do not overflow", {{W::Memset, 1ull << 40, 1ull << 34}, {W::Vector, 1ull << 41, 1ull << 34}},
         W::Vector},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fastestWay(c.stores.data(), c.stores.size(), W::RepStosb), c.expected) << c.what;
}

}  // namespace
