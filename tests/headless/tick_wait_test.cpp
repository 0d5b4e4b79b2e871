#include "headless/runs/tick_wait.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct FakeClock final : TickClock {
    std::uint64_t now = 1000;
    std::uint64_t nowMilliseconds() override { return now; }
};

// Ends at `endsAt` on the fake clock (never when 0); every wait moves the
// clock on by the time asked for, or up to the end.
struct FakeAwaited final : Awaited {
    FakeClock& clock;
    std::uint64_t endsAt;
    FakeAwaited(FakeClock& c, std::uint64_t end) : clock(c), endsAt(end) {}
    bool waitUpTo(std::uint32_t milliseconds) override {
        if (endsAt && clock.now + milliseconds >= endsAt) {
            clock.now = endsAt;
            return true;
        }
        clock.now += milliseconds;
        return false;
    }
};

TEST(TickWait, TicksEvery50MillisecondsWithoutPilingUp) {
    const struct {
        const char* what;
        std::uint64_t endsAfter;  // 0: never
        std::optional<std::uint64_t> limit;
        std::uint64_t passCost;
        std::uint64_t stopAfter;  // 0: never
        bool stopEndsWait;
        WaitEnd end;
        std::vector<std::uint64_t> tickTimes;  // since the start
        std::uint64_t endTime;
    } cases[] = {
        {"pause", 0, 200, 0, 0, true, WaitEnd::TimeUp, {50, 100, 150}, 200},
        {"pause of 0", 0, 0, 0, 0, true, WaitEnd::TimeUp, {}, 0},
        {"slow passes lower the rate", 0, 500, 120, 0, true, WaitEnd::TimeUp, {50, 220, 390}, 510},
        {"command ends", 75, std::nullopt, 0, 0, true, WaitEnd::Ended, {50}, 75},
        {"stop ends a pause", 0, 1000, 0, 130, true, WaitEnd::Stopped, {50, 100, 150}, 150},
        {"stop waits for the command", 300, std::nullopt, 0, 60, false, WaitEnd::Ended,
         {50, 100, 150, 200, 250}, 300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeClock clock;
        const std::uint64_t start = clock.now;
        FakeAwaited awaited(clock, c.endsAfter ? start + c.endsAfter : 0);
        std::vector<std::uint64_t> ticks;
        const WaitEnd end = waitInTicks(
            awaited, clock, WaitRules{c.limit, c.stopEndsWait},
            [&] { return c.stopAfter && clock.now - start >= c.stopAfter; },
            [&] {
                ticks.push_back(clock.now - start);
                clock.now += c.passCost;
            });
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(ticks, c.tickTimes);
        EXPECT_EQ(clock.now - start, c.endTime);
    }
}

}  // namespace
