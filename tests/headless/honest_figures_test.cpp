// What torvane-run says it holds is what the kernel holds, and a run that
// held less than asked never ends looking like success: a container's
// reclaimable page cache is room, sizes past the room fail with both
// figures, a ramp that --for cuts short fails unless --partial, and every
// run ends with an end event that says whether it did what was asked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "json_output.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;

#define GROUP_OR_SKIP(name, limit)                                          \
    ThrowawayMemoryGroup name(limit);                                       \
    if (!name.usable()) GTEST_SKIP() << "no memory group here: " << name.why()

// 700 MiB of clean page cache charged to `group`: a file written and read
// from inside it, in the test's folder on disk.
void fillCache(const ThrowawayMemoryGroup& group, const Folder& folder) {
    ChildSetup writer{{}};
    writer.program = "/bin/sh";
    writer.args = {"-c", "head -c 734003200 /dev/zero > cache && sync && cat cache > /dev/null", "sh"};
    writer.prefix = {};
    writer.cgroupProcs = group.procs();
    writer.environment = {};
    ChildSetup inFolder = writer;
    inFolder.args[1] = "cd '" + folder.path() + "' && " + writer.args[1];
    ASSERT_EQ(runToEnd(inFolder).status, 0);
}

TEST(HonestFigures, AGroupsPageCacheIsRoom) {
    GROUP_OR_SKIP(group, 1024 * kMiB);
    Folder folder;
    fillCache(group, folder);
    ChildSetup hold{{"--json", "--hold", "512M", "--for", "2s"}};
    hold.cgroupProcs = group.procs();
    const RunResult r = runToEnd(hold);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto objects = jsonEvents(r.out);
    const auto reached = ofEvent(objects, "hold-reached");
    ASSERT_EQ(reached.size(), 1u) << r.out;
    EXPECT_GE(reached[0]["resident"].get<std::uint64_t>(), 512 * kMiB);
    // The start's room shows its parts: the cache counted as room.
    const auto start = ofEvent(objects, "hold-start");
    ASSERT_EQ(start.size(), 1u);
    EXPECT_GE(start[0]["reclaimable"].get<std::uint64_t>(), 600 * kMiB) << start[0].dump();
    EXPECT_EQ(objects.back()["event"], "end");
    EXPECT_EQ(objects.back()["reached"], true);
    EXPECT_EQ(group.oomKills(), 0);
}

// keep-available squeezes a workload's cache: the kept room is the limit
// less what is held and what cannot be reclaimed.
TEST(HonestFigures, KeepAvailableSqueezesACache) {
    GROUP_OR_SKIP(group, 1024 * kMiB);
    Folder folder;
    fillCache(group, folder);
    ChildSetup keep{{"--json", "--keep-available", "200M", "--for", "3s"}};
    keep.cgroupProcs = group.procs();
    const RunResult r = runToEnd(keep);
    EXPECT_EQ(r.status, 0) << r.err;
    const auto objects = jsonEvents(r.out);
    const auto grows = ofEvent(objects, "adjust");
    ASSERT_FALSE(grows.empty()) << r.out;
    EXPECT_GE(grows.front()["held"].get<std::uint64_t>(), 600 * kMiB) << "the cache was not taken as room";
    const auto& end = objects.back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["requested"], nullptr);
    EXPECT_EQ(end["target_room"], 200 * kMiB);
    EXPECT_GE(end["in_band"].get<double>(), 0.5) << end.dump();
    EXPECT_EQ(group.oomKills(), 0);
}

TEST(HonestFigures, AHoldThatCannotBeHadFailsUnlessPartial) {
    GROUP_OR_SKIP(group, 1024 * kMiB);
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string says;  // a part of the output
        bool reached;
    } cases[] = {
        {"all but more than the room holds", {"--hold", "all-2G"}, 1, "holds no more than the 2048.0MiB to leave", false},
        {"the same with --partial", {"--hold", "all-2G", "--partial", "--for", "0"}, 0, "--partial: holding nothing", false},
        {"a ramp --for cuts short", {"--hold", "256M", "--ramp", "64M/1s", "--for", "1500ms"}, 1, "target not reached: 128.0MiB of 256.0MiB", false},
        {"the same with --partial", {"--hold", "256M", "--ramp", "64M/1s", "--for", "1500ms", "--partial"}, 0, "--partial: target not reached", false},
        {"nothing, as a baseline", {"--hold", "0", "--for", "0"}, 0, "released 0.0MiB", true},
        // The whole limit with its page tables and the margin is more than the room.
        {"all of the limit", {"--hold", "100%"}, 1, "with its page tables and the margin", false},
        {"all of the limit, --partial", {"--hold", "100%", "--partial", "--for", "0"}, 0, "all that fits", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ChildSetup setup{c.args};
        setup.args.insert(setup.args.begin(), "--json");
        setup.cgroupProcs = group.procs();
        const RunResult r = runToEnd(setup);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        const auto objects = jsonEvents(r.out);
        ASSERT_FALSE(objects.empty());
        EXPECT_EQ(objects.back()["event"], "end");
        EXPECT_EQ(objects.back()["reached"], c.reached) << objects.back().dump();
        EXPECT_EQ(objects.back()["status"], c.status);
    }
    EXPECT_EQ(group.oomKills(), 0);
}
}  // namespace
