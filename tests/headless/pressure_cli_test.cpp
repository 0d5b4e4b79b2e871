// --pressure and its options end to end: the refused combinations, a host
// or a file without stall figures (1, nothing taken), and the loop itself
// in a throwaway memory group against a workload re-reading its page cache.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "json_output.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;

TEST(Pressure, RefusedCombinations) {
    const struct {
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {{"--pressure", "some=10"}, "is not a stall target"},
        {{"--pressure", "half=10%"}, "is not a stall target"},
        {{"--pressure", "some=0%"}, "is not a stall target"},
        {{"--pressure", "some=100%"}, "is not a stall target"},
        {{"--pressure", "some=-5%"}, "is not a stall target"},
        {{"--pressure", "full=1e1%"}, "is not a stall target"},
        {{"--pressure", "some=10%", "--ramp", "1M/1s"}, "--ramp goes with --hold, not --pressure"},
        {{"--pressure", "some=10%", "--lazy"}, "--lazy goes with --hold, not --pressure"},
        {{"--pressure", "some=10%", "--partial"}, "--partial goes with --hold, not --pressure"},
        {{"--pressure", "some=10%", "--band", "16M"}, "--band goes with --keep-available, not --pressure"},
        {{"--hold", "1M", "--floor", "64M"}, "--floor goes with --pressure"},
        {{"--keep-available", "1G", "--pressure-window", "2s"}, "--pressure-window is the window --pressure or --stop-if-pressure"},
        {{"--hold", "1M", "--pressure-band", "2%"}, "--pressure-band goes with --pressure"},
        {{"--hold", "1M", "--pressure-from", "system"}, "--pressure-from says whose stall --pressure or --stop-if-pressure"},
        {{"--pressure", "some=10%", "--pressure-band", "0%"}, "is not a share"},
        {{"--pressure", "some=10%", "--hold", "1M"}, "--hold and --pressure: one at a time"},
        {{"--keep-available", "1G", "--pressure", "some=10%"}, "--keep-available and --pressure: one at a time"},
        {{"--stop-if-pressure", "any=5%", "--hold", "1M"}, "is not a stall limit"},
        {{"--check", "--stop-if-pressure", "full=30%", "x.evk"}, "leave out --stop-if-pressure"},
        {{"--pressure", "some=10%", "--for", "1s", "--", "true"}, "--for ends a hold that has no command"},
    };
    for (const auto& c : cases) {
        const RunResult r = runToEnd(ChildSetup{c.args});
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << shown << "\n" << r.err;
    }
}

// Where the run is limited through cgroup v1 and sits in the v2 root (this
// machine), "self" has no figures of its own: 1 and the way out, nothing
// taken.
TEST(Pressure, SelfOnACgroupV1HostIsExplained) {
    const std::string cgroups = fileText("/proc/self/cgroup");
    if (cgroups.find(":memory:") == std::string::npos || cgroups.find("\n0::/\n") == std::string::npos) {
        GTEST_SKIP() << "not limited through cgroup v1 from the v2 root here";
    }
    const RunResult r = runToEnd(ChildSetup{{"--json", "--pressure", "some=10%", "--for", "1s"}});
    EXPECT_EQ(r.status, 1) << r.out;
    const auto objects = jsonEvents(r.out);
    const auto errors = ofEvent(objects, "error");
    ASSERT_EQ(errors.size(), 1u) << r.out;
    const std::string text = errors[0]["text"];
    EXPECT_NE(text.find("cgroup v1"), std::string::npos) << text;
    EXPECT_NE(text.find("--pressure-from system"), std::string::npos) << text;
    EXPECT_EQ(objects.back()["held_max"], 0) << "something was taken";
}

TEST(Pressure, NoStallFiguresIsAnErrorNamingTheFile) {
    Folder folder;
    const struct {
        const char* what;
        std::string from;
        const char* said;
    } cases[] = {
        {"no such group", folder.path() + "/none", "/none/memory.pressure: No such file or directory"},
        {"not the figures", folder.path(), "memory.pressure has no \"some\" line"},
    };
    folder.write("memory.pressure", "io avg10=0 total=1\n");
    for (const auto& c : cases) {
        const RunResult r =
            runToEnd(ChildSetup{{"--json", "--pressure", "full=5%", "--pressure-from", c.from, "--for", "1s"}});
        EXPECT_EQ(r.status, 1) << c.what << r.out;
        const auto objects = jsonEvents(r.out);
        const auto errors = ofEvent(objects, "error");
        ASSERT_EQ(errors.size(), 1u) << c.what << r.out;
        EXPECT_NE(errors[0]["text"].get<std::string>().find(c.said), std::string::npos) << errors[0].dump();
        EXPECT_EQ(objects.back()["held_max"], 0) << c.what;
        EXPECT_TRUE(ofEvent(objects, "pressure").empty()) << c.what << ": started without figures";
    }
}

// A workload that writes a 500 MiB file from inside `group` (its cache is
// charged there) and re-reads it in a loop: one process, ended by its PID.
constexpr char kRereader[] =
    "import os, sys\n"
    "path = sys.argv[1]\n"
    "with open(path, 'wb') as f:\n"
    "    chunk = b'\\0' * (1 << 20)\n"
    "    for _ in range(500):\n"
    "        f.write(chunk)\n"
    "    f.flush()\n"
    "    os.fsync(f.fileno())\n"
    "print('ready', flush=True)\n"
    "while True:\n"
    "    with open(path, 'rb', buffering=0) as f:\n"
    "        while f.read(1 << 20):\n"
    "            pass\n";

// In a 700 MiB group, the stall of a re-read cache held at 10 %: steps both
// ways, no OOM kill, and once the workload ends the hold grows to --max and
// no further, the floor kept. How close it holds is the bench's figure.
TEST(Pressure, HoldsAWorkloadsStallInAGroup) {
    ThrowawayMemoryGroup group(700 * kMiB);
    if (!group.usable()) GTEST_SKIP() << "no memory group here: " << group.why();
    if (fileText("/proc/pressure/memory").empty()) GTEST_SKIP() << "this kernel keeps no stall figures";
    Folder folder;
    ChildSetup rereader{{"-c", kRereader, folder.path() + "/cache"}};
    rereader.program = "/usr/bin/python3";
    rereader.cgroupProcs = group.procs();
    Child workload(rereader);
    ASSERT_TRUE(workload.waitForOutput("ready", 60000)) << workload.err;

    constexpr std::uint64_t kMost = 320 * kMiB;
    ChildSetup pressure{{"--json", "--pressure", "some=10%", "--pressure-from", "system", "--pressure-window", "2s",
                         "--max", "320M", "--for", "26s"}};
    pressure.cgroupProcs = group.procs();
    Child run(pressure);
    // The loop has pressed (a give-back above the band) before the workload goes.
    const bool shrank = run.waitForOutput("\"pressure-shrink\"", 20000);
    kill(workload.pid(), SIGKILL);
    workload.finish(5000);
    const int status = run.finish(30000);
    EXPECT_EQ(status, 0) << run.err;
    EXPECT_TRUE(shrank) << "no give-back while the workload ran:\n" << run.out;
    EXPECT_EQ(group.oomKills(), 0);

    const auto objects = jsonEvents(run.out);
    const auto adjusts = ofEvent(objects, "adjust");
    bool grew = false;
    for (const auto& a : adjusts) {
        grew = grew || a["code"] == "pressure-grow";
        EXPECT_TRUE(a.contains("pressure_some") && a.contains("pressure_full")) << a.dump();
    }
    EXPECT_TRUE(grew) << run.out;
    // After the workload: never past --max, and the floor (64 MiB beyond the
    // 16 MiB margin of the 700 MiB) kept.
    std::uint64_t mostHeld = 0;
    for (const auto& e : objects) {
        if (e.contains("held") && e["held"].is_number()) mostHeld = std::max(mostHeld, e["held"].get<std::uint64_t>());
    }
    EXPECT_LE(mostHeld, kMost);
    // Reached it, too: the stall gone, the loop took the room it was given
    // (else the two checks above would hold of a loop that never grew).
    EXPECT_GE(mostHeld, kMost - 64 * kMiB) << run.out;
    EXPECT_LE(mostHeld, (700 - 64 - 16) * kMiB);
    const auto& end = objects.back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_LE(end["held_max"].get<std::uint64_t>(), kMost);
}
}  // namespace

namespace {
// The shares reach every record of the run: JSON samples, the report's
// chart with its band, the metrics textfile's gauge.
TEST(Pressure, TheSharesAreInTheSamplesReportAndMetrics) {
    if (fileText("/proc/pressure/memory").empty()) GTEST_SKIP() << "this kernel keeps no stall figures";
    Folder folder;
    const std::string report = folder.path() + "/run.html", metrics = folder.path() + "/run.prom";
    const RunResult r = runToEnd(ChildSetup{{"--json", "--pressure", "some=10%", "--pressure-from", "system",
                                             "--pressure-window", "1s", "--max", "16M", "--for", "2s", "--sample",
                                             "500ms", "--report", report, "--metrics-file", metrics}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto objects = jsonEvents(r.out);
    const auto start = ofEvent(objects, "pressure");
    ASSERT_EQ(start.size(), 1u) << r.out;
    EXPECT_NE(start[0]["text"].get<std::string>().find("/proc/pressure/memory"), std::string::npos);
    const auto samples = ofEvent(objects, "sample");
    ASSERT_FALSE(samples.empty()) << r.out;
    EXPECT_TRUE(samples.back()["pressure_some"].is_number()) << samples.back().dump();
    EXPECT_TRUE(samples.back()["pressure_full"].is_number()) << samples.back().dump();
    const std::string html = fileText(report);
    EXPECT_NE(html.find("Memory stall over time"), std::string::npos);
    EXPECT_NE(html.find("class=\"stall-band\""), std::string::npos);
    EXPECT_NE(html.find("class=\"stall\""), std::string::npos);
    const std::string prom = fileText(metrics);
    EXPECT_NE(prom.find("torvane_pressure_ratio{line=\"some\"}"), std::string::npos) << prom;
    EXPECT_NE(prom.find("mode=\"pressure\""), std::string::npos) << prom;
}

// Every other run's records are as before: no stall chart, no share fields.
TEST(Pressure, OtherRunsCarryNoShares) {
    Folder folder;
    const std::string report = folder.path() + "/run.html";
    const RunResult r = runToEnd(ChildSetup{{"--json", "--hold", "1M", "--for", "600ms", "--sample", "200ms",
                                             "--report", report}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("pressure_some"), std::string::npos);
    EXPECT_EQ(fileText(report).find("Memory stall over time"), std::string::npos);
}
}  // namespace
