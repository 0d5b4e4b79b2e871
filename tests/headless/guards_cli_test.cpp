// Guards end to end: each kind trips on a case made for it, before anything
// is taken or during a hold, a command or a script, and the run ends with
// 123, its memory given back and no process of it left.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "json_output.h"
#include "run_output.h"

namespace {
constexpr int kGuarded = 123;

// Every PID written to `file` (one a line) has ended, within a deadline:
// what a probe or a command started is not left behind.
void expectAllEnded(const std::string& file) {
    std::ifstream in(file);
    int count = 0;
    for (pid_t pid; in >> pid; ++count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(kill(pid, 0) != 0 && errno == ESRCH) << "process " << pid << " was left running";
    }
    EXPECT_GT(count, 0) << "nothing wrote its PID to " << file;
}

const nlohmann::json& theOne(const std::vector<nlohmann::json>& events, const char* kind, const std::string& out) {
    static const nlohmann::json none;
    const std::vector<nlohmann::json> found = ofEvent(events, kind);
    if (found.size() != 1) {
        ADD_FAILURE() << found.size() << " " << kind << " events in " << out;
        return none;
    }
    static std::vector<nlohmann::json> kept;
    kept.push_back(found[0]);
    return kept.back();
}

TEST(Guards, EachTripsOnItsCaseWith123AndLeavesNothing) {
    Folder folder;
    const std::string pids = folder.path() + "/pids";
    const std::string sleeper = "sh -c 'echo $$ >> " + pids + "; exec sleep 30'";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string guard, figure;  // the guard event's; figure: its start
        bool tookSomething;
    } cases[] = {
        {"a room guard above every room, at the start",
         {"--hold", "64M", "--stop-if-room-below", "1000T"},
         "--stop-if-room-below 1000T", "the memory room is ", false},
        // The hold itself would fail with 1: the guard comes first.
        {"a room guard before a hold that cannot fit",
         {"--hold", "1000T", "--stop-if-room-below", "1000T"},
         "--stop-if-room-below 1000T", "the memory room is ", false},
        {"a probe that fails", {"--hold", "16M", "--for", "20s", "--stop-if-probe-fails", "false"},
         "--stop-if-probe-fails false", "the probe ended with status 1", false},
        {"a probe that says why",
         {"--hold", "16M", "--for", "20s", "--stop-if-probe-fails", "sh -c 'echo not ready >&2; exit 4'"},
         "--stop-if-probe-fails 'sh -c '\\''echo not ready >&2; exit 4'\\'''", "the probe ended with status 4: not ready",
         false},
        {"a probe that cannot start", {"--hold", "16M", "--for", "20s", "--stop-if-probe-fails", folder.path() + "/none"},
         "--stop-if-probe-fails " + folder.path() + "/none", "the probe ended with status 127: cannot run", false},
        // Once at the start (forgiven), once during the hold.
        {"a probe that times out twice",
         {"--hold", "16M", "--for", "20s", "--stop-if-probe-fails", sleeper, "--probe-interval", "300ms"},
         "--stop-if-probe-fails '" + std::string("sh -c '\\''echo $$ >> ") + pids + "; exec sleep 30'\\'''",
         "the probe timed out twice in a row, after 0.30 s each", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const RunResult run = runToEnd(ChildSetup{args});
        EXPECT_EQ(run.status, kGuarded) << run.out << run.err;
        const std::vector<nlohmann::json> events = jsonEvents(run.out);
        const nlohmann::json& guard = theOne(events, "guard", run.out);
        EXPECT_EQ(guard.value("guard", ""), c.guard);
        EXPECT_EQ(guard.value("figure", "").substr(0, c.figure.size()), c.figure) << guard.dump();
        const nlohmann::json& end = theOne(events, "end", run.out);
        EXPECT_EQ(end.value("reason", ""), "guard");
        EXPECT_EQ(end.value("guard", ""), c.guard);
        EXPECT_EQ(end.value("status", 0), kGuarded);
        EXPECT_EQ(end.value("held_max", std::uint64_t{1}) > 0, c.tookSomething) << end.dump();
        EXPECT_EQ(ofEvent(events, "hold-reached").empty(), !c.tookSomething);
        EXPECT_EQ(ofEvent(events, "stop").size(), 1u);
    }
    expectAllEnded(pids);
}

// The command is stopped as a stop would, after the memory was given back.
TEST(Guards, ATripDuringAHoldStopsItsCommand) {
    Folder folder;
    const std::string flag = folder.path() + "/unhealthy", pids = folder.path() + "/pids";
    Child child{ChildSetup{{"--json", "--hold", "16M", "--stop-if-probe-fails", "test ! -e " + flag, "--probe-interval",
                            "100ms", "--interval", "50ms", "--", "sh", "-c", "echo $$ > " + pids + "; exec sleep 30"}}};
    ASSERT_TRUE(child.waitForOutput("\"command-start\"")) << child.out << child.err;
    folder.write("unhealthy", "");
    EXPECT_EQ(child.finish(10000), kGuarded) << child.out << child.err;
    const std::vector<nlohmann::json> events = jsonEvents(child.out);
    const nlohmann::json& ended = theOne(events, "command-end", child.out);
    EXPECT_EQ(ended.value("status", 0), 128 + SIGTERM);
    EXPECT_EQ(ended.value("held", std::uint64_t{1}), 0u) << "the memory is given back before the command has ended";
    EXPECT_EQ(theOne(events, "guard", child.out).value("guard", ""), "--stop-if-probe-fails 'test ! -e " + flag + "'");
    EXPECT_EQ(theOne(events, "end", child.out).value("reason", ""), "guard");
    expectAllEnded(pids);
}

// The first cause wins: a stop signal during the command's grace period
// after a trip does not turn 123 into 143, and a deadline passed before a
// probe's second timeout stays 124.
TEST(Guards, TheFirstCauseWins) {
    Folder folder;
    const std::string flag = folder.path() + "/unhealthy";
    {
        Child child{ChildSetup{{"--hold", "16M", "--stop-if-probe-fails", "test ! -e " + flag, "--probe-interval",
                                "100ms", "--grace", "10s", "--", "sh", "-c", "trap '' TERM; sleep 30 & wait; sleep 30"}}};
        ASSERT_TRUE(child.waitForOutput("command  ")) << child.out << child.err;
        folder.write("unhealthy", "");
        ASSERT_TRUE(child.waitForOutput("guard    ")) << child.out << child.err;
        kill(child.pid(), SIGTERM);  // a second stop: the command is killed at once
        EXPECT_EQ(child.finish(10000), kGuarded) << child.out << child.err;
    }
    const RunResult run = runToEnd(ChildSetup{{"--hold", "16M", "--timeout", "500ms", "--stop-if-probe-fails",
                                               "sleep 30", "--probe-interval", "400ms"}});
    EXPECT_EQ(run.status, 124) << run.out << run.err;
    EXPECT_EQ(run.out.find("guard    "), std::string::npos) << run.out;
}

TEST(Guards, AScriptWithAGuardEndsWith123) {
    Folder folder;
    const std::string script = folder.write("long.evk", "EVKScript\nmallocate 16\nsleep 30\nfree \n");
    const RunResult atStart =
        runToEnd(ChildSetup{{"--yes", "--stop-if-room-below", "1000T", script}});
    EXPECT_EQ(atStart.status, kGuarded) << atStart.out << atStart.err;
    EXPECT_NE(atStart.out.find("--stop-if-room-below 1000T: stopped before the first command"), std::string::npos)
        << atStart.out;

    const std::string flag = folder.path() + "/unhealthy";
    Child child{ChildSetup{{"--yes", "--json", "--stop-if-probe-fails", "test ! -e " + flag, "--probe-interval",
                            "100ms", "--interval", "50ms", script}}};
    ASSERT_TRUE(child.waitForOutput("\"Pause")) << child.out << child.err;
    folder.write("unhealthy", "");
    EXPECT_EQ(child.finish(10000), kGuarded) << child.out << child.err;
    const std::vector<nlohmann::json> events = jsonEvents(child.out);
    EXPECT_EQ(theOne(events, "guard", child.out).value("figure", ""), "the probe ended with status 1");
    const nlohmann::json& end = theOne(events, "end", child.out);
    EXPECT_EQ(end.value("reason", ""), "guard");
    EXPECT_EQ(end.value("held", std::uint64_t{1}), 0u);
}
}  // namespace

namespace {
// A share against bytes is compared once the room is read: still a usage
// error naming both, before anything is held (--max bounds what a faulty
// build would take).
TEST(Guards, AKeptRoomBelowARoomGuardIsRefusedOnceTheTotalIsKnown) {
    const RunResult run = runToEnd(ChildSetup{{"--keep-available", "16M", "--max", "64M", "--stop-if-room-below", "1%", "--for", "1s"}});
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("--keep-available keeps the room at 16.0MiB, below --stop-if-room-below 1% ("),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("adjust"), std::string::npos) << run.out;
}
}  // namespace
