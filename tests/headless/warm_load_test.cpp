// Keeping memory warm: --access-rate's grammar and pacing, the writes it
// spreads over the held blocks pass by pass, and --touch's once-an-interval
// touch, all on a scripted clock over memory of the test's own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "headless/cli/options.h"
#include "headless/cli/sizes.h"
#include "headless/runs/held_memory.h"
#include "headless/runs/tick_wait.h"
#include "headless/runs/warm_load.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kPage = 4096;

TEST(WarmLoad, ReadsRates) {
    const struct {
        const char* text;
        std::uint64_t rate;    // 0: refused
        const char* error;     // part of the refusal
    } cases[] = {
        {"1G/s", 1ull << 30, ""},
        {"512M/s", 512 * kMiB, ""},
        {"1G/2s", 512 * kMiB, ""},
        {"300K/500ms", 600 * 1024, ""},
        {"2G", 0, "the /s is missing"},
        {"10%/s", 0, "a share of memory"},
        {"0/s", 0, "is not a rate"},
        {"1G/0s", 0, "is no time"},
        {"1G/x", 0, "is no time"},
        {"/s", 0, "is not a rate"},
        {"512/s", 0, "512 bytes?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const RateReading reading = readRate(c.text);
        if (c.rate) {
            EXPECT_EQ(reading.error, "");
            EXPECT_EQ(reading.bytesPerSecond.value_or(0), c.rate);
        } else {
            EXPECT_FALSE(reading.bytesPerSecond);
            EXPECT_NE(reading.error.find(c.error), std::string::npos) << reading.error;
            EXPECT_NE(reading.error.find("1G/s"), std::string::npos) << "the form to use: " << reading.error;
        }
    }
}

TEST(WarmLoad, PacerOwesTheRateInWholePagesAndNoBacklog) {
    constexpr std::uint64_t kRate = 100 * kMiB;  // 100 KiB a millisecond, about 25 pages
    const struct {
        const char* what;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;  // (now, held)
        std::vector<std::uint64_t> due;
    } cases[] = {
        {"the first call starts the clock", {{1000, kMiB}, {1050, kMiB}, {1100, kMiB}},
         {0, 50 * 100 * kMiB / 1000 / kPage * kPage, 10 * kMiB - 50 * 100 * kMiB / 1000 / kPage * kPage}},
        {"nothing held owes nothing after", {{0, kMiB}, {50, 0}, {5000, kMiB}, {5050, kMiB}},
         {0, 0, 0, 50 * 100 * kMiB / 1000 / kPage * kPage}},
        {"three seconds behind owe one second", {{0, kMiB}, {3000, kMiB}, {3050, kMiB}},
         {0, kRate, 50 * 100 * kMiB / 1000 / kPage * kPage}},
        {"a clock that goes back starts again", {{1000, kMiB}, {500, kMiB}, {550, kMiB}},
         {0, 0, 50 * 100 * kMiB / 1000 / kPage * kPage}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RatePacer pacer(kRate);
        for (std::size_t k = 0; k < c.calls.size(); ++k) {
            const std::uint64_t due = pacer.due(c.calls[k].first, c.calls[k].second);
            EXPECT_EQ(due, c.due[k]) << "call " << k;
            EXPECT_EQ(due % kPage, 0u);
            pacer.wrote(due);
        }
    }
}

TEST(WarmLoad, TouchReadsEveryPageAndWritesBackWhatItRead) {
    std::vector<unsigned char> pages(8 * kPage + 100);
    for (std::size_t k = 0; k < pages.size(); ++k) pages[k] = static_cast<unsigned char>(k * 7);
    const std::vector<unsigned char> before = pages;
    touchPages(pages.data(), pages.size(), true);
    touchPages(pages.data(), pages.size(), false);
    touchPages(pages.data(), 3, true);  // less than a word: nothing to touch, nothing past it
    EXPECT_EQ(pages, before);
}

// Blocks of the test's own, as a platform's physical mode gives them.
struct TestAllocator final : BlockAllocator {
    std::map<void*, void*> blocks;  // heap -> block
    void* createHeap() override { return new int(0); }
    void* takeFromHeap(void* heap, std::uint64_t bytes) override {
        void* block = std::calloc(1, bytes);
        blocks[heap] = block;
        return block;
    }
    void destroyHeap(void* heap) override {
        std::free(blocks[heap]);
        blocks.erase(heap);
        delete static_cast<int*>(heap);
    }
    bool makeResident(void*, std::uint64_t) override { return true; }
    std::uint64_t commitLimit() override { return UINT64_MAX; }
};

struct ScriptedClock final : TickClock {
    std::uint64_t now = 0;
    std::uint64_t nowMilliseconds() override { return now; }
};

// Every held byte, in the order taken.
std::vector<unsigned char> heldBytes(const HeldMemory& memory) {
    std::vector<unsigned char> bytes;
    memory.visit(0, memory.held(), [&bytes](unsigned char* start, std::uint64_t size) {
        bytes.insert(bytes.end(), start, start + size);
    });
    return bytes;
}

WarmSettings rateOf(std::uint64_t rate) {
    WarmSettings settings;
    settings.way = WarmWay::Rate;
    settings.rate = rate;
    return settings;
}

// 1 MiB a second over 1 MiB held in blocks of 256 KiB: each 50 ms tick
// writes on from where the last stopped, across the blocks, and a pass
// that ends begins the next with the window's next fill byte.
TEST(WarmLoad, RateWritesOnFromWhereItStoppedPassByPass) {
    TestAllocator allocator;
    HeldMemory memory(allocator, true, 256 * 1024);
    ASSERT_EQ(memory.grow(kMiB, [] { return true; }), kMiB);
    ScriptedClock clock;
    WarmLoad warm(rateOf(kMiB), clock);
    warm.tick(memory);  // starts the clock: nothing owed yet
    EXPECT_EQ(heldBytes(memory), std::vector<unsigned char>(kMiB, 0));
    const struct {
        std::uint64_t at;
        std::uint64_t firstByteValue1, endOfValue1;  // [first, end) written with pass 1's byte, 1
        unsigned char rest;                          // the bytes after it
    } steps[] = {
        {250, 0, 256 * 1024, 0},          // a quarter: into the second block's start
        {600, 0, 600 * kMiB / 1000 / kPage * kPage, 0},
        {1000, 0, kMiB, 1},               // the whole pass, every byte once
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at);
        for (; clock.now < step.at;) {
            clock.now += 50;
            warm.tick(memory);
        }
        const std::vector<unsigned char> bytes = heldBytes(memory);
        for (std::uint64_t k = 0; k < bytes.size(); ++k) {
            const unsigned char want = k >= step.firstByteValue1 && k < step.endOfValue1 ? 1 : step.rest;
            if (bytes[k] != want) {
                ADD_FAILURE() << "byte " << k << " is " << int(bytes[k]) << ", not " << int(want);
                break;
            }
        }
    }
    // Past the first pass: the second pass writes its own byte from the start.
    clock.now += 100;
    warm.tick(memory);
    const std::vector<unsigned char> bytes = heldBytes(memory);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[kMiB - 1], 1);
    EXPECT_EQ(warm.figures().bytes, kMiB + 100 * kMiB / 1000 / kPage * kPage);
    ASSERT_TRUE(warm.achievedRate());
    EXPECT_NEAR(*warm.achievedRate(), static_cast<double>(kMiB), 0.02 * kMiB);
    EXPECT_EQ(warm.askedRate().value_or(0), static_cast<double>(kMiB));
}

// What was held shrinking under a pass: the pass starts again at the start
// of what is left, never past its end.
TEST(WarmLoad, RatePassStartsAgainWhenTheHoldShrinks) {
    TestAllocator allocator;
    HeldMemory memory(allocator, true, 256 * 1024);
    memory.grow(kMiB, [] { return true; });
    ScriptedClock clock;
    WarmLoad warm(rateOf(kMiB), clock);
    warm.tick(memory);
    clock.now = 900;  // 900 KiB and a bit: the cursor is in the last block
    warm.tick(memory);
    memory.shrink(512 * 1024);
    clock.now = 1000;
    warm.tick(memory);  // about 100 KiB more, from the start of what is left
    const std::vector<unsigned char> bytes = heldBytes(memory);
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[512 * 1024 - 1], 1);
}

TEST(WarmLoad, TouchCountsOncePerIntervalByTheClock) {
    TestAllocator allocator;
    HeldMemory memory(allocator, true, 256 * 1024);
    memory.grow(kMiB, [] { return true; });
    ScriptedClock clock;
    WarmSettings settings;
    settings.way = WarmWay::Touch;
    settings.touchMilliseconds = 1000;
    WarmLoad warm(settings, clock);
    // Ticks 50 ms apart that come 7 ms late each: the touches stay a second
    // apart on average, not a second and a tick.
    for (unsigned k = 0; k < 100; ++k) {
        clock.now = k * 50 + (k % 3) * 7;
        warm.tick(memory);
    }
    EXPECT_EQ(warm.figures().bytes, 4 * kMiB);  // at 1, 2, 3 and 4 s; the touch at 0 s starts the count
    ASSERT_TRUE(warm.achievedRate());
    EXPECT_NEAR(*warm.achievedRate(), static_cast<double>(kMiB), 0.01 * kMiB);
    EXPECT_FALSE(warm.firstReportDue()) << "reported before five seconds were warmed";
    clock.now += 50;
    warm.tick(memory);
    EXPECT_TRUE(warm.firstReportDue());
    EXPECT_FALSE(warm.firstReportDue()) << "the early report is made once";
    EXPECT_NE(warm.summary().find("every page each 1.00 s"), std::string::npos) << warm.summary();
}

TEST(WarmLoad, NothingHeldIsNothingWarmed) {
    TestAllocator allocator;
    HeldMemory memory(allocator, true, 256 * 1024);
    ScriptedClock clock;
    WarmLoad warm(rateOf(kMiB), clock);
    for (clock.now = 0; clock.now < 3000; clock.now += 50) warm.tick(memory);
    EXPECT_EQ(warm.figures().bytes, 0u);
    EXPECT_FALSE(warm.achievedRate());
    EXPECT_EQ(warm.summary(), "");
    // Memory taken later owes nothing for the time before it.
    memory.grow(kMiB, [] { return true; });
    warm.tick(memory);
    clock.now += 50;
    warm.tick(memory);
    EXPECT_EQ(warm.figures().bytes, 50 * kMiB / 1000 / kPage * kPage);
}

TEST(WarmLoad, SettingsFollowTheOptions) {
    Options options;
    EXPECT_EQ(warmSettingsOf(options, false).way, WarmWay::None);
    options.accessLoad = true;
    EXPECT_EQ(warmSettingsOf(options, false).way, WarmWay::Passes);
    options.accessRate = 5 * kMiB;
    EXPECT_EQ(warmSettingsOf(options, false).way, WarmWay::Rate);
    EXPECT_EQ(warmSettingsOf(options, false).rate, 5 * kMiB);
    Options touching;
    touching.touch = true;
    EXPECT_EQ(warmSettingsOf(touching, false).way, WarmWay::Touch);
    EXPECT_FALSE(warmSettingsOf(touching, false).readOnly);
    EXPECT_TRUE(warmSettingsOf(touching, true).readOnly) << "page cache is read, never written";
}
}  // namespace
