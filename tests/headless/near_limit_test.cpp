// Near a memory limit, torvane-run is never the process the kernel ends:
// holds sized to the last byte, holders sharing one group, a burst from
// another process between two readings of the room. Each case runs in a
// throwaway memory group of the test's own and checks, beside the exit
// statuses, that the group's OOM killer ended nobody.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;

#define GROUP_OR_SKIP(name, limit)                                          \
    ThrowawayMemoryGroup name(limit);                                       \
    if (!name.usable()) GTEST_SKIP() << "no memory group here: " << name.why()

TEST(NearLimit, HoldsSizedToTheLimitEndWithTheirReason) {
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {"lazy memory the access load writes is checked as resident", {"--hold", "600M", "--lazy", "-a", "--for", "1s"}, 1},
        {"all of the room, around a command", {"--hold", "all-0", "--partial", "--", "true"}, 0},
        {"all but 1 KiB with four workers writing it", {"--hold", "all-1K", "--partial", "-a", "--workers", "4", "--for", "1s"}, 0},
        {"the whole room as a script's block", {"--hold", "500M", "-p", "--for", "1s"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GROUP_OR_SKIP(group, 512 * kMiB);
        ChildSetup setup{c.args};
        setup.cgroupProcs = group.procs();
        const RunResult r = runToEnd(setup);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_EQ(group.oomKills(), 0) << group.describe();
    }
}

TEST(NearLimit, TwoScriptsTakingAtOnceBothEndCleanly) {
    GROUP_OR_SKIP(group, 512 * kMiB);
    Folder folder;
    const std::string script = folder.write("p.evk", "EVKScript\nmallocate 400\nsleep 1\nrelease \n");
    std::vector<std::unique_ptr<Child>> runs;
    for (int i = 0; i < 2; ++i) {
        ChildSetup setup{{"--yes", "-p", script}};
        setup.cgroupProcs = group.procs();
        runs.push_back(std::make_unique<Child>(setup));
    }
    for (auto& run : runs) {
        const int status = run->finish();
        EXPECT_TRUE(status == 0 || status == 1) << status << run->err;
    }
    EXPECT_EQ(group.oomKills(), 0);
}

// Four holders each keeping 1 GiB of a 2 GiB group: they share the excess
// instead of each taking the whole of it.
TEST(NearLimit, KeepAvailableHoldersSharingAGroupConverge) {
    GROUP_OR_SKIP(group, 2048 * kMiB);
    std::vector<std::unique_ptr<Child>> holders;
    for (int i = 0; i < 4; ++i) {
        ChildSetup setup{{"--keep-available", "1G", "--for", "3s"}};
        setup.cgroupProcs = group.procs();
        holders.push_back(std::make_unique<Child>(setup));
    }
    for (auto& holder : holders) EXPECT_EQ(holder->finish(), 0) << holder->err;
    EXPECT_EQ(group.oomKills(), 0);
}

// A burst as large as the kept room and half of what is held, over 160 ms,
// against a holder that reads the room only every 2 s: the system's notice
// (a usage threshold on v1) makes it give way before the kernel would end
// someone.
TEST(NearLimit, ABurstBetweenReadingsIsAnswered) {
    GROUP_OR_SKIP(group, 1024 * kMiB);
    ChildSetup keeper{{"--keep-available", "400M", "--interval", "2s", "--for", "4s"}};
    keeper.cgroupProcs = group.procs();
    Child holder(keeper);
    ASSERT_TRUE(holder.waitForOutput("adjust   +")) << holder.out << holder.err;
    if (holder.out.find("bursts are noticed through") == std::string::npos) {
        GTEST_SKIP() << "no notice of the room between readings here: " << holder.out;
    }
    ChildSetup burst{{std::to_string(700 * kMiB), "160", "1000"}};
    burst.program = TORVANE_BURST;
    burst.cgroupProcs = group.procs();
    Child competitor(burst);
    EXPECT_EQ(competitor.finish(), 0);
    EXPECT_EQ(holder.finish(), 0) << holder.out << holder.err;
    EXPECT_EQ(group.oomKills(), 0);
    EXPECT_NE(holder.out.find("adjust   -"), std::string::npos) << holder.out;
}
}  // namespace
