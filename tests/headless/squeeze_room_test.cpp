// The room --pressure squeezes into: the honest room with the limiting
// group's active file cache counted too.
#include "headless/memory/squeeze_room.h"

#include <gtest/gtest.h>

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;

MemoryRoom groupRoom(bool v2, std::uint64_t available, std::uint64_t limit) {
    MemoryRoom room;
    room.known = true;
    room.available = available;
    room.availableSource = LimitSource::Cgroup;
    room.limit = limit;
    room.limitV2 = v2;
    return room;
}

TEST(SqueezeRoom, CountsTheActiveCacheOfTheLimitingGroup) {
    MemoryRoom host;
    host.known = true;
    host.available = 1000 * kMiB;
    const std::string v1Stat = "cache 1\nactive_file 999999999\ntotal_active_file 314572800\ntotal_inactive_file 5\n";
    const std::string v2Stat = "anon 1\nactive_file 209715200\ninactive_file 5\n";
    const struct {
        const char* what;
        MemoryRoom room;
        std::string stat;
        std::uint64_t available;
    } cases[] = {
        {"v1: the hierarchical total", groupRoom(false, 100 * kMiB, 700 * kMiB), v1Stat, 400 * kMiB},
        {"v2: active_file", groupRoom(true, 100 * kMiB, 700 * kMiB), v2Stat, 300 * kMiB},
        {"never past the limit", groupRoom(true, 600 * kMiB, 700 * kMiB), v2Stat, 700 * kMiB},
        {"the figure missing: as it was", groupRoom(false, 100 * kMiB, 700 * kMiB), "cache 5\n", 100 * kMiB},
        {"a figure that is no number", groupRoom(true, 100 * kMiB, 700 * kMiB), "active_file 12ab\n", 100 * kMiB},
        {"the stat unreadable (empty)", groupRoom(true, 100 * kMiB, 700 * kMiB), "", 100 * kMiB},
        {"the host sets the room: its figure counts the cache", host, v2Stat, 1000 * kMiB},
    };
    for (const auto& c : cases) EXPECT_EQ(squeezedRoom(c.room, c.stat).available, c.available) << c.what;
}
}  // namespace
