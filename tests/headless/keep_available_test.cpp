// The --keep-available decision against scripted machines: each interval the
// room is total − others' use − held, the decision is applied, and the run
// is checked for what a user would see go wrong: a room taken past, a slow
// give-back, a loop that takes and gives back on its own.
#include "headless/runs/keep_available.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "headless/memory/room_checked_allocator.h"
#include "headless/memory/room_rules.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;

TEST(KeepAvailable, BandIsOnePercentWithA32MiBFloor) {
    const struct { std::uint64_t total; std::uint64_t band; } cases[] = {
        {0, 32 * kMiB}, {1 * kGiB, 32 * kMiB}, {3200 * kMiB, 32 * kMiB},
        {3300 * kMiB, 33 * kMiB}, {64 * kGiB, 64 * kGiB / 100},
    };
    for (const auto& c : cases) EXPECT_EQ(keepBand(c.total), c.band) << c.total;
}

TEST(KeepAvailable, SingleDecisions) {
    const KeepAvailable keep{4 * kGiB, 64 * kMiB, kKeepChunk};
    const struct {
        const char* what;
        std::uint64_t room;
        std::uint64_t held;
        std::int64_t adjustment;
    } cases[] = {
        {"at the target", 4 * kGiB, 0, 0},
        {"at the top of the band", 4 * kGiB + 64 * kMiB, 0, 0},
        {"at the bottom of the band", 4 * kGiB - 64 * kMiB, kGiB, 0},
        {"over the band: down to whole chunks", 4 * kGiB + 100 * kMiB, 0, 96 * kMiB},
        {"under the band: up to whole chunks", 4 * kGiB - 70 * kMiB, kGiB, -80 * static_cast<std::int64_t>(kMiB)},
        {"under the band: no more than is held", 3 * kGiB, 48 * kMiB, -48 * static_cast<std::int64_t>(kMiB)},
        {"under the band with nothing held", 3 * kGiB, 0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(keepAdjustment(keep, c.room, c.held), c.adjustment) << c.what;
}

TEST(KeepAvailable, NeverTakesMoreThanFitsTheRoomWithItsPageTables) {
    // Targets under 1/512 of the room: the page tables decide.
    for (const std::uint64_t target : {std::uint64_t{0}, 1 * kMiB, 20 * kMiB}) {
        for (const std::uint64_t room : {512 * kMiB, 8 * kGiB, 8 * kGiB + 3, std::uint64_t{1} << 50}) {
            const KeepAvailable keep{target, keepBand(room), kKeepChunk};
            const std::int64_t take = keepAdjustment(keep, room, 0);
            MemoryRoom now;
            now.known = true;
            now.available = room;
            ASSERT_GT(take, 0) << target << " " << room;
            EXPECT_TRUE(fitsRoom(static_cast<std::uint64_t>(take), now)) << target << " " << room;
            EXPECT_FALSE(fitsRoom(static_cast<std::uint64_t>(take) + kKeepChunk, now) &&
                         static_cast<std::uint64_t>(take) + kKeepChunk <= room - target)
                << "a whole chunk more would have fitted: " << target << " " << room;
        }
    }
}

// A machine run interval by interval: the room is what neither the others
// nor the hold use; page tables are left out so that the arithmetic is
// the test's to check.
struct Interval {
    std::uint64_t room;
    std::uint64_t held;
    std::int64_t adjustment;
    std::uint64_t others;
};

std::vector<Interval> simulate(std::uint64_t total, std::uint64_t target, int intervals,
                               const std::function<std::uint64_t(int)>& othersAt) {
    const KeepAvailable keep{target, keepBand(total), kKeepChunk};
    std::uint64_t held = 0;
    std::vector<Interval> run;
    for (int i = 0; i < intervals; ++i) {
        const std::uint64_t others = othersAt(i);
        const std::uint64_t used = others + held;
        const std::uint64_t room = used < total ? total - used : 0;
        const std::int64_t adjustment = keepAdjustment(keep, room, held);
        run.push_back({room, held, adjustment, others});
        if (adjustment > 0) {
            EXPECT_LE(static_cast<std::uint64_t>(adjustment), room) << "interval " << i << " took past the room";
        } else {
            EXPECT_LE(static_cast<std::uint64_t>(-adjustment), held) << "interval " << i;
        }
        held = static_cast<std::uint64_t>(static_cast<std::int64_t>(held) + adjustment);
    }
    return run;
}

bool inBand(std::uint64_t room, std::uint64_t target, std::uint64_t band) {
    return room + band >= target && room <= target + band;
}

TEST(KeepAvailable, GrowsToTheBandAndStays) {
    const std::uint64_t total = 16 * kGiB;
    const std::uint64_t target = 4 * kGiB;
    const auto run = simulate(total, target, 10, [](int) { return 2 * kGiB; });
    EXPECT_GT(run[0].adjustment, 0);
    for (std::size_t i = 1; i < run.size(); ++i) {
        EXPECT_TRUE(inBand(run[i].room, target, keepBand(total))) << "interval " << i << ": " << run[i].room;
        EXPECT_EQ(run[i].adjustment, 0) << "interval " << i;
    }
    EXPECT_EQ(run.back().held, 10 * kGiB);
}

TEST(KeepAvailable, GivesBackAtOnceWhenOthersTakeTheRoom) {
    const std::uint64_t total = 16 * kGiB;
    const std::uint64_t target = 4 * kGiB;
    // Others grow from 2 to 5 GiB at interval 3, to 9 GiB at 6 (the room all
    // gone), and take everything given back at 9: more than the target
    // allows even with nothing held.
    const auto run = simulate(total, target, 12, [](int i) {
        return i < 3 ? 2 * kGiB : i < 6 ? 5 * kGiB : i < 9 ? 9 * kGiB : 13 * kGiB;
    });
    const std::int64_t gib = static_cast<std::int64_t>(kGiB);
    const struct { int interval; std::uint64_t room; std::int64_t adjustment; } expected[] = {
        {2, 4 * kGiB, 0},  {3, 1 * kGiB, -3 * gib}, {4, 4 * kGiB, 0},  {6, 0, -4 * gib},
        {7, 4 * kGiB, 0},  {9, 0, -3 * gib},        {10, 3 * kGiB, 0}, {11, 3 * kGiB, 0},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(run[e.interval].room, e.room) << "interval " << e.interval;
        EXPECT_EQ(run[e.interval].adjustment, e.adjustment) << "interval " << e.interval;
    }
    EXPECT_EQ(run[10].held, 0u) << "everything given back";
}

TEST(KeepAvailable, FollowsACompetitorWithoutOscillating) {
    // Machines where the band is its 32 MiB floor and where it is 1 % of the
    // total; a competitor takes 1 GiB for 4 intervals, frees it for 4, and
    // so on; others' use also drifts by a few MiB to land off chunk edges.
    for (const std::uint64_t total : {3 * kGiB + 5 * kMiB, 64 * kGiB}) {
        const std::uint64_t target = total / 2;
        const std::uint64_t band = keepBand(total);
        const auto others = [](int i) {
            return 300 * kMiB + static_cast<std::uint64_t>(i % 5) * 3 * kMiB + ((i / 4) % 2 == 1 ? kGiB : 0);
        };
        const auto run = simulate(total, target, 64, others);
        for (std::size_t i = 1; i < run.size(); ++i) {
            const bool competitorMoved = run[i].others / kGiB != run[i - 1].others / kGiB;
            if (competitorMoved) {
                EXPECT_NE(run[i].adjustment, 0) << "total " << total << ", interval " << i;
                continue;
            }
            // One interval after the start or a competitor's step the room
            // is inside the band and stays there: nothing taken, nothing
            // given back, so no take can follow a give-back on its own.
            EXPECT_TRUE(inBand(run[i].room, target, band)) << "total " << total << ", interval " << i
                                                           << ": room " << run[i].room;
            EXPECT_EQ(run[i].adjustment, 0) << "total " << total << ", interval " << i;
        }
    }
}
}  // namespace
