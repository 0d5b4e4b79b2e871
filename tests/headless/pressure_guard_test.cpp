// --stop-if-pressure's guard on a scripted stall file and clock.
#include "headless/runs/pressure_guard.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
struct Script {
    std::uint64_t some = 0, full = 0;
    double someAvg10 = 0, fullAvg10 = 0;
    bool unreadable = false;
    StallCounters read() const {
        StallCounters c;
        c.ok = !unreadable;
        if (unreadable) c.error = "cannot read /x/memory.pressure: Permission denied";
        c.someTotal = some;
        c.fullTotal = full;
        c.someAvg10 = someAvg10;
        c.fullAvg10 = fullAvg10;
        return c;
    }
};

// Checks every 250 ms while the `line` counter grows at `share`; the time of
// the first trip, or nothing within `millis`.
std::optional<std::uint64_t> firstTrip(StallTarget limit, double someShare, double fullShare, std::uint64_t millis,
                                       Script start = {}) {
    Script script = start;
    PressureGuard guard(limit, 2000, "/x/memory.pressure", [&script] { return script.read(); });
    for (std::uint64_t t = 0; t <= millis; t += 250) {
        if (guard.check(t)) return t;
        script.some += static_cast<std::uint64_t>(someShare * 250000);
        script.full += static_cast<std::uint64_t>(fullShare * 250000);
    }
    return std::nullopt;
}

TEST(PressureGuard, TripsOncePastItsShare) {
    const struct {
        const char* what;
        StallTarget limit;
        double some, full;
        Script start;
        bool trips;
    } cases[] = {
        {"under", {StallLine::Full, 0.30}, 0.5, 0.2, {}, false},
        {"at it: not past", {StallLine::Some, 0.25}, 0.25, 0.0, {}, false},
        {"past, full", {StallLine::Full, 0.30}, 0.6, 0.4, {}, true},
        {"past, some", {StallLine::Some, 0.10}, 0.2, 0.0, {}, true},
        {"the other line past only", {StallLine::Full, 0.10}, 0.9, 0.0, {}, false},
        {"already past at the start (avg10)", {StallLine::Some, 0.10}, 0.0, 0.0, {0, 0, 0.5, 0, false}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(firstTrip(c.limit, c.some, c.full, 10000, c.start).has_value(), c.trips) << c.what;
    }
}

TEST(PressureGuard, TripsWithinAWindow) {
    // No stall for 5 s, then all of it: past 30 % within the 2 s window.
    Script script;
    PressureGuard guard({StallLine::Full, 0.30}, 2000, "/x/memory.pressure", [&script] { return script.read(); });
    std::optional<GuardTrip> trip;
    std::uint64_t t = 0;
    for (; t <= 10000 && !trip; t += 250) {
        trip = guard.check(t);
        if (t >= 5000) script.full += 250000;
    }
    ASSERT_TRUE(trip);
    EXPECT_GT(t, 5000u);
    EXPECT_LE(t, 5000u + 2000u);
    EXPECT_EQ(trip->guard, "--stop-if-pressure full=30%");
    EXPECT_NE(trip->figure.find("full stall share"), std::string::npos) << trip->figure;
    EXPECT_NE(trip->figure.find("/x/memory.pressure"), std::string::npos) << trip->figure;
}

TEST(PressureGuard, AFileThatCannotBeReadTrips) {
    Script script;
    script.unreadable = true;
    PressureGuard guard({StallLine::Some, 0.5}, 2000, "/x/memory.pressure", [&script] { return script.read(); });
    const std::optional<GuardTrip> trip = guard.check(0);
    ASSERT_TRUE(trip);
    EXPECT_NE(trip->figure.find("Permission denied"), std::string::npos) << trip->figure;
}

TEST(PressureGuard, OneGuardEachTimeTheOptionIsGiven) {
    Options options;
    options.pressureFrom = "system";
    options.stopIfPressure = {{StallLine::Full, 0.3}, {StallLine::Some, 0.5}};
    Guards guards;
    appendPressureGuards(options, guards);
    EXPECT_EQ(guards.size(), 2u);
    Options none;
    Guards empty;
    appendPressureGuards(none, empty);
    EXPECT_TRUE(empty.empty());
}
}  // namespace
