// torvane-run --hold and --keep-available, driven as a tester or an SRE
// would: sizes relative to the machine or the container, a ramp, a level
// kept against a competitor, a command whose status is the run's, and the
// ends of a run.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
constexpr long long kMiB = 1024 * 1024;

long long memTotalBytes() {
    std::ifstream meminfo("/proc/meminfo");
    for (std::string name; meminfo >> name;) {
        long long kib;
        meminfo >> kib;
        if (name == "MemTotal:") return kib * 1024;
    }
    return 0;
}

// The milliseconds since midnight of each line that holds `event`.
std::vector<long> timesOf(const std::string& output, const std::string& event) {
    std::vector<long> times;
    std::istringstream in(output);
    static const std::regex clock(R"(^\S+ (\d\d):(\d\d):(\d\d)\.(\d{3}))");
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (line.find(event) == std::string::npos || !std::regex_search(line, match, clock)) continue;
        times.push_back(((std::stol(match[1]) * 60 + std::stol(match[2])) * 60 + std::stol(match[3])) * 1000 +
                        std::stol(match[4]));
    }
    return times;
}

// A hold's size resolved against the machine: a share of its memory, made
// resident, and given back at the end of --for.
TEST(Hold, TakesAShareOfTheMachineResident) {
    Child child(ChildSetup{{"--hold", "10%", "--for", "60s"}});
    ASSERT_TRUE(child.waitForOutput("hold     reached", 60000)) << child.err;
    const long long expected = memTotalBytes() / 10;
    const long long resident = procStatusKiB(child.pid(), "VmRSS") * 1024;
    EXPECT_GT(resident, expected * 98 / 100);
    EXPECT_LT(resident, expected * 102 / 100 + 16 * kMiB);
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.finish(), 143);  // --for was given: a stop is not its end
}

// Inside a container's limit, % and all- are the group's, not the machine's.
TEST(Hold, SizesAreTheContainersInsideALimit) {
    if (geteuid() != 0) GTEST_SKIP() << "making a cgroup needs root";
    const struct {
        const char* size;
        long long heldAbout;  // resident, within 4 MiB of the run's own
        long long roomAbout;  // the group's room afterwards, within 64 MiB; -1: not checked
    } cases[] = {
        {"50%", 512 * kMiB, -1},
        {"all-256M", -1, 256 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        ThrowawayMemoryGroup group(1024 * kMiB);
        if (!group.usable()) GTEST_SKIP() << group.why();
        ChildSetup setup{{"--hold", c.size, "--for", "60s"}};
        setup.cgroupProcs = group.procs();
        Child child(setup);
        ASSERT_TRUE(child.waitForOutput("hold     reached", 20000)) << child.err;
        if (c.heldAbout > 0) {
            const long long resident = procStatusKiB(child.pid(), "VmRSS") * 1024;
            EXPECT_GT(resident, c.heldAbout);
            EXPECT_LT(resident, c.heldAbout + 8 * kMiB);
        }
        if (c.roomAbout > 0) EXPECT_NEAR(group.roomBytes(), c.roomAbout, 64 * kMiB);
        EXPECT_NE(child.out.find("(cgroup)"), std::string::npos);
        kill(child.pid(), SIGTERM);
        EXPECT_EQ(child.finish(), 143);
    }
}

TEST(Hold, RampsInStepsAtTheirTimes) {
    const RunResult r = runToEnd(ChildSetup{{"--hold", "96M", "--ramp", "32M/300ms", "--for", "1200ms"}});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<long> steps = timesOf(r.out, "ramp     +32.0MiB");
    ASSERT_EQ(steps.size(), 3u) << r.out;
    for (std::size_t i = 1; i < steps.size(); ++i) EXPECT_GE(steps[i] - steps[i - 1], 290) << r.out;
    EXPECT_NE(r.out.find("holding 96.0MiB of 96.0MiB"), std::string::npos);
    EXPECT_NE(r.out.find("release  released 96.0MiB"), std::string::npos);
}

// Around a command: its arguments as given, its status the run's, the
// memory held while it runs and given back after.
TEST(Hold, AroundACommandItsStatusIsTheRuns) {
    const struct {
        std::vector<std::string> command;
        int status;
        std::string outHas, errHas;
    } cases[] = {
        // The command looks at torvane-run (its parent's parent) to see the hold.
        {{"sh", "-c", "grep VmRSS /proc/$(cut -d' ' -f4 /proc/$PPID/stat)/status; exit 3"}, 3,
         "exit     status 3 after", ""},
        {{"sh", "-c", "kill -TERM $$"}, 143, "exit     status 143 (signal 15)", ""},
        {{"missing-program", "--flag"}, 127, "exit     not started: status 127",
         "torvane-run: cannot run missing-program: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command[0]);
        ChildSetup setup{{"--hold", "64M", "--"}};
        setup.args.insert(setup.args.end(), c.command.begin(), c.command.end());
        const RunResult r = runToEnd(setup);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.out.find(c.outHas), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
        if (c.status == 3) {
            // What the command printed: torvane-run's resident memory, the block included.
            const std::size_t at = r.out.find("VmRSS:");
            ASSERT_NE(at, std::string::npos) << r.out;
            EXPECT_GE(std::atol(r.out.c_str() + at + 6), 64 * 1024);
            EXPECT_NE(r.out.find("release  released 64.0MiB"), std::string::npos);
        }
    }
}

// How each kind of run ends: --for, --timeout (for a hold, its command and a
// script), and a stop that is a hold's normal end.
TEST(Hold, EndsAsItsOptionsSay) {
    const struct {
        const char* what;
        std::vector<std::string> args;
        int signal;  // sent once the run is under way; 0: none
        int status;
        std::string lastLine;
    } cases[] = {
        {"--for", {"--hold", "16M", "--for", "500ms"}, 0, 0, "release  released 16.0MiB after"},
        {"--timeout around a command", {"--hold", "16M", "--timeout", "500ms", "--", "sleep", "30"}, 0, 124,
         "stop     timeout: released 16.0MiB; the command was stopped with it"},
        {"--timeout of a script", {"-y", "--timeout", "500ms", "@script"}, 0, 124,
         "stop     timeout: stopped during line 3 (sleep)"},
        {"a stop without --for", {"--hold", "16M"}, SIGTERM, 0, "stop     SIGTERM: released 16.0MiB"},
        {"a stop with --for", {"--hold", "16M", "--for", "60s"}, SIGINT, 130, "stop     Ctrl-C: released 16.0MiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        ChildSetup setup{c.args};
        for (std::string& arg : setup.args) {
            if (arg == "@script") arg = folder.write("s.evk", "EVKScript\nmallocate 16\nsleep 30\n");
        }
        Child child(setup);
        if (c.signal) {
            ASSERT_TRUE(child.waitForOutput("hold     reached"));
            kill(child.pid(), c.signal);
        }
        EXPECT_EQ(child.finish(10000), c.status) << child.err;
        const std::vector<std::string> lines = events(child.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind(c.lastLine, 0), 0u) << lines.back();
    }
}

// --keep-available against a competitor in the same group that takes and
// gives back 256 MiB: the keeper gives back at once and takes again, and
// the room comes back within the band after each move, without swinging.
TEST(Hold, KeepsTheRoomAgainstACompetitor) {
    if (geteuid() != 0) GTEST_SKIP() << "making a cgroup needs root";
    ThrowawayMemoryGroup group(1024 * kMiB);
    if (!group.usable()) GTEST_SKIP() << group.why();
    const long long target = 512 * kMiB, band = 32 * kMiB;
    ChildSetup keeperSetup{{"--keep-available", "512M", "--interval", "100ms"}};
    keeperSetup.cgroupProcs = group.procs();
    Child keeper(keeperSetup);
    auto roomInBand = [&] { return std::llabs(group.roomBytes() - target) <= band; };
    ASSERT_TRUE(within(10000, roomInBand)) << group.roomBytes();
    Folder folder;
    ChildSetup competitorSetup{{"-y", "-p", folder.write("c.evk", "EVKScript\nmallocate 256\nsleep 2\nrelease \n"
                                                                  "sleep 2\nmallocate 256\nsleep 2\nrelease \n")}};
    competitorSetup.cgroupProcs = group.procs();
    Child competitor(competitorSetup);
    for (const char* move : {"status   Pause", "status   Freeing..."}) {
        SCOPED_TRACE(move);
        ASSERT_TRUE(competitor.waitForOutput(move));
        EXPECT_TRUE(within(2000, roomInBand)) << group.roomBytes();
    }
    EXPECT_EQ(competitor.finish(20000), 0) << competitor.err;
    EXPECT_TRUE(within(2000, roomInBand)) << group.roomBytes();
    kill(keeper.pid(), SIGTERM);
    EXPECT_EQ(keeper.finish(), 0);
    // The direction of the adjustments changes once per move of the
    // competitor (four), after the first take; a change more is the loop
    // swinging on its own. A move may take several adjustments, as the
    // competitor's pages come in over a few readings.
    std::string directions;
    std::istringstream in(keeper.out);
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find("adjust   ");
        if (at == std::string::npos) continue;
        const char sign = line[at + 9];
        if (directions.empty() || directions.back() != sign) directions += sign;
    }
    EXPECT_EQ(directions, "+-+-+") << keeper.out;
}

}  // namespace
