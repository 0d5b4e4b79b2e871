// torvane-run where its users run it: inside a memory limit, stopped by an
// orchestrator's signals, as a container's first process, with streams
// closed, full or gone. Each test drives the real program.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
// A process that has ended and been reaped no longer exists; a zombie
// still would, so "gone" is checked by its state too.
bool processGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

pid_t pidInFile(const std::string& path) {
    pid_t pid = 0;
    std::ifstream(path) >> pid;
    return pid;
}

struct StopSignal {
    int number;
    const char* name;  // as the stop line names it
};
constexpr StopSignal kStops[] = {{SIGINT, "Ctrl-C"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// Every stop ends a run the same way, whether sent to the process alone or
// to its whole group, and whatever the run was doing: the block released,
// a stop line, 128 + signal, and nothing of a running command left.
TEST(Containment, EveryStopEndsTheRunAndItsCommand) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string script;
        std::string waitFor;  // an output line, or "file:NAME" to appear in the folder
        std::string where;    // the stop line after the signal's name
        bool freed;
    } situations[] = {
        {"pause", {"-p"}, "EVKScript\nmallocate 64\nsleep 30\n", "status   Pause", "stopped during line 3 (sleep)", true},
        // Sent as the populate starts; it finishes, and the stop is seen after it.
        {"populate", {"-p"}, "EVKScript\nmallocate 1024\nsleep 30\n", "status   Allocating...", "line 2 (mallocate)",
         true},
        {"command", {}, "EVKScript\nmallocate 1\nrun ./command.sh\nsleep 30\n", "file:command.pid",
         "stopped during line 3 (run)", true},
    };
    for (const auto& situation : situations) {
        for (const StopSignal& stop : kStops) {
            for (const bool toGroup : {false, true}) {
                SCOPED_TRACE(std::string(situation.what) + ", " + stop.name + (toGroup ? ", to the group" : ""));
                Folder folder;
                folder.write("command.sh", "echo $$ > command.pid\nexec sleep 30\n", true);
                ChildSetup setup{situation.options, {}, Input::Null, true};
                setup.args.insert(setup.args.end(), {"-y", folder.write("s.evk", situation.script)});
                Child child(setup);
                if (situation.waitFor.rfind("file:", 0) == 0) {
                    ASSERT_TRUE(within(5000, [&] { return pidInFile(folder.path() + "/command.pid") > 0; }));
                } else {
                    ASSERT_TRUE(child.waitForOutput(situation.waitFor));
                }
                kill(toGroup ? -child.pid() : child.pid(), stop.number);
                EXPECT_EQ(child.finish(5000), 128 + stop.number);
                const std::vector<std::string> lines = events(child.out);
                ASSERT_FALSE(lines.empty());
                EXPECT_EQ(lines.back().rfind(std::string("stop     ") + stop.name + ": ", 0), 0u) << lines.back();
                EXPECT_NE(lines.back().find(situation.where), std::string::npos) << lines.back();
                EXPECT_EQ(lines.size() >= 2 && lines[lines.size() - 2] == "status   Freeing...", situation.freed);
                EXPECT_LT(figureOf(child.out, "stop     ", "rss"), 32);
                if (const pid_t command = pidInFile(folder.path() + "/command.pid"); command > 0) {
                    EXPECT_TRUE(within(1000, [&] { return processGone(command); })) << "command " << command;
                }
            }
        }
    }
}

// A command that ignores the stop is killed after --grace, or at once on a
// second stop; one that torvane-run's SIGKILL leaves behind dies with it.
TEST(Containment, ACommandThatIgnoresTheStopIsKilled) {
    const struct {
        const char* what;
        const char* grace;
        std::vector<int> signals;  // sent to torvane-run, one after another
        int status;
    } cases[] = {
        {"grace runs out", "1s", {SIGTERM}, 143},
        {"second stop", "60s", {SIGTERM, SIGINT}, 143},
        {"torvane-run killed", "60s", {SIGKILL}, 128 + SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        folder.write("stubborn.sh", "trap '' INT TERM HUP\necho $$ > command.pid\nwhile :; do sleep 0.05; done\n",
                     true);
        ChildSetup setup{{"-y", "--grace", c.grace, folder.write("s.evk", "EVKScript\nrun ./stubborn.sh\n")},
                         {},
                         Input::Null,
                         true};
        Child child(setup);
        pid_t command = 0;
        ASSERT_TRUE(within(5000, [&] { return (command = pidInFile(folder.path() + "/command.pid")) > 0; }));
        for (int signal : c.signals) {
            kill(child.pid(), signal);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(child.finish(5000), c.status);
        EXPECT_TRUE(within(1000, [&] { return processGone(command); })) << "command " << command;
        kill(command, SIGKILL);  // never left behind, whatever the result
    }
}

// As a container's first process (PID 1 of a new PID namespace), where a
// signal without a handler is ignored.
TEST(Containment, StopsAsTheFirstProcessOfAContainer) {
    if (geteuid() != 0) GTEST_SKIP() << "a new PID namespace needs root";
    for (const StopSignal& stop : kStops) {
        SCOPED_TRACE(stop.name);
        Folder folder;
        ChildSetup setup{{"-y", "-p", folder.write("s.evk", "EVKScript\nmallocate 64\nsleep 30\n")}};
        setup.prefix = {"unshare", "--pid", "--fork", "--kill-child"};
        Child child(setup);
        ASSERT_TRUE(child.waitForOutput("status   Pause"));
        // unshare's only child is torvane-run, PID 1 inside.
        pid_t first = 0;
        std::ifstream(("/proc/" + std::to_string(child.pid()) + "/task/" + std::to_string(child.pid()) + "/children"))
            >> first;
        ASSERT_GT(first, 0);
        std::ifstream status("/proc/" + std::to_string(first) + "/status");
        std::string line;
        bool pidOne = false;
        while (std::getline(status, line)) {
            if (line.rfind("NSpid:", 0) == 0) pidOne = line.substr(line.find_last_of(" \t") + 1) == "1";
        }
        ASSERT_TRUE(pidOne);
        kill(first, stop.number);
        EXPECT_EQ(child.finish(5000), 128 + stop.number);
        EXPECT_EQ(events(child.out).back(), std::string("stop     ") + stop.name + ": stopped during line 3 (sleep)");
    }
}

// Closed standard input: the script never becomes input, so a command that
// reads input and --wait-popups find it empty, and every line runs.
TEST(Containment, ClosedInputNeverBecomesTheScript) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string script;
        std::vector<std::string> expected;
    } cases[] = {
        {"a command reads input", {}, "EVKScript\nrun cat>copied\npopup after\nsleep 0\n",
         {"status   External command", "command  cat>copied", "popup    Information: after", "status   Pause",
          "status   Execute", "status   Completed"}},
        {"pop-ups wait for input", {"-w"}, "EVKScript\npopup one\npopup two\nsleep 0\n",
         {"popup    Information: one", "popup    Information: two", "status   Pause", "status   Execute",
          "status   Completed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        ChildSetup setup{c.options, {}, Input::Closed};
        setup.args.insert(setup.args.end(), {"-y", folder.write("s.evk", c.script)});
        const RunResult r = runToEnd(setup);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> lines = events(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), c.expected);
        if (c.options.empty()) {
            ASSERT_TRUE(folder.has("copied"));
            EXPECT_EQ(fs::file_size(folder.path() + "/copied"), 0u);
        }
    }
}

// A command whose folder has gone is not run elsewhere: it fails with a line
// that says why, and the run goes on.
TEST(Containment, ACommandIsNotRunWhenTheScriptsFolderHasGone) {
    Folder outer;
    const std::string inner = outer.path() + "/scripts";
    fs::create_directories(inner);
    std::ofstream(inner + "/s.evk") << "EVKScript\nsleep 1\nrun touch>made-here\npopup after\n";
    Child child(ChildSetup{{"-y", inner + "/s.evk"}});
    ASSERT_TRUE(child.waitForOutput("status   Pause"));
    fs::remove_all(inner);
    EXPECT_EQ(child.finish(), 0);
    EXPECT_NE(child.err.find("torvane-run: the script's folder " + inner + " has been removed; the command was not run"),
              std::string::npos)
        << child.err;
    EXPECT_NE(child.out.find("popup    Information: after"), std::string::npos);
    EXPECT_FALSE(fs::exists("made-here"));
}

// A wait for Enter on a stream that sends a line without its end still
// ticks and stops.
TEST(Containment, AnEndlessLineDoesNotHoldUpAStop) {
    Folder folder;
    ChildSetup setup{{"-y", "-w", "-a", folder.write("s.evk", "EVKScript\nmallocate 64\npopup Wait\n")}, {}, Input::Pipe};
    Child child(setup);
    ASSERT_TRUE(child.waitForOutput("popup    Information: Wait"));
    child.send(std::string(1000, 'x'));
    // The access load still runs: the block becomes resident while waiting.
    EXPECT_TRUE(within(3000, [&] { return procStatusKiB(child.pid(), "VmRSS") >= 64 * 1024; }));
    const long peak = procStatusKiB(child.pid(), "VmRSS");
    kill(child.pid(), SIGINT);
    EXPECT_EQ(child.finish(2000), 130);
    EXPECT_EQ(events(child.out).back(), "stop     Ctrl-C: stopped during line 3 (popup)");
    EXPECT_LT(peak, 80 * 1024) << "the line read must stay bounded";
}

// A script piped in is acted on line by line as it arrives, not once a
// whole chunk or the end of the input is there.
TEST(Containment, APipedScriptRunsLineByLine) {
    ChildSetup setup{{"-y", "/dev/stdin"}, {}, Input::Pipe};
    Child child(setup);
    child.send("EVKScript\npopup first\n");
    EXPECT_TRUE(child.waitForOutput("popup    Information: first", 5000));
    child.send("popup second\n");
    EXPECT_TRUE(child.waitForOutput("popup    Information: second", 5000));
    child.closeInput();
    EXPECT_EQ(child.finish(), 0);
}

// Output that cannot be written ends the run, its block released, with
// status 1 and a line on standard error that says why.
TEST(Containment, OutputThatCannotBeWrittenEndsTheRun) {
    const struct {
        const char* what;
        Output output;
        bool readerLeaves;  // the test closes its end after the first line
        std::string why;
    } cases[] = {
        {"full device", Output::Full, false, "standard output: No space left on device"},
        {"closed", Output::Closed, false, "standard output: closed when the run started"},
        {"reader gone", Output::Pipe, true, "standard output: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        ChildSetup setup{{"-y", "-p", folder.write("s.evk", "EVKScript\nmallocate 64\nsleep 30\n")}};
        setup.output = c.output;
        Child child(setup);
        if (c.readerLeaves) {
            ASSERT_TRUE(child.waitForOutput("\n"));
            child.closeOutput();
        }
        EXPECT_EQ(child.finish(5000), 1);
        EXPECT_NE(child.err.find("torvane-run: " + c.why), std::string::npos) << child.err;
        EXPECT_NE(child.err.find("the run was stopped and its memory released"), std::string::npos) << child.err;
    }
}

// Normal-mode blocks of any size go back whole on release, every time.
TEST(Containment, FreedBlocksGoBackEveryCycle) {
    std::string script = "EVKScript\nsleep 0\n";
    for (int cycle = 0; cycle < 3; ++cycle) script += "mallocate 8\nsleep 1\nfree \nsleep 0\n";
    Folder folder;
    const RunResult r = runToEnd(ChildSetup{{"-y", "-a", folder.write("s.evk", script)}});
    ASSERT_EQ(r.status, 0) << r.err;
    // The figures of each "Pause" line: the first is the baseline; then the
    // pause with the block held, then the one after its release, in turn.
    std::vector<double> rss, commit;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        if (line.find("status   Pause") == std::string::npos) continue;
        rss.push_back(figureOf(line, "Pause", "rss"));
        commit.push_back(figureOf(line, "Pause", "commit"));
    }
    ASSERT_EQ(rss.size(), 7u);
    for (std::size_t after = 2; after < rss.size(); after += 2) {
        SCOPED_TRACE("after free " + std::to_string(after / 2));
        EXPECT_LT(rss[after], rss[0] + 1.0);
        EXPECT_LT(commit[after], commit[0] + 1.0);
    }
}

}  // namespace

// Inside a memory limit a block that does not fit is refused with
// "Allocation failed" before the kernel is asked: never OOM-killed (137),
// never left waiting; and the room shown is the group's.
TEST(Containment, InsideAMemoryLimitBlocksThatDoNotFitAreRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "making a cgroup needs root";
    constexpr std::uint64_t kLimit = 512ull << 20;
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string script;
        bool oomKillerOff;
        int status;
    } cases[] = {
        {"physical, twice the limit", {"-p"}, "mallocate 1024\n", false, 1},
        {"normal with the access load", {"-a"}, "mallocate 1024\nsleep 1\n", false, 1},
        {"two physical blocks, the second too many", {"-p"}, "mallocate 400\nmallocate 400\n", false, 1},
        {"OOM killer off", {"-p"}, "mallocate 1024\n", true, 1},
        {"a block that fits", {"-p"}, "mallocate 300\nsleep 0\nrelease \n", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ThrowawayMemoryGroup group(kLimit);
        if (!group.usable()) GTEST_SKIP() << group.why();
        if (c.oomKillerOff && !group.disableOomKiller()) {
            std::cout << "[ note     ] " << c.what << ": skipped, cgroup v2 cannot turn its OOM killer off\n";
            continue;
        }
        std::cout << "[ note     ] " << c.what << ": in " << group.describe() << "\n";
        Folder folder;
        ChildSetup setup{c.options};
        setup.args.insert(setup.args.end(), {"-y", folder.write("s.evk", "EVKScript\n" + c.script)});
        setup.cgroupProcs = group.procs();
        Child child(setup);
        EXPECT_EQ(child.finish(20000), c.status) << child.err;
        if (c.status != 0) {
            EXPECT_NE(child.err.find("does not fit the memory room"), std::string::npos) << child.err;
            EXPECT_NE(child.err.find("error    Error: Allocation failed"), std::string::npos) << child.err;
        }
        // The first line's room is the group's, below its limit.
        const std::string first = child.out.substr(0, child.out.find('\n'));
        EXPECT_NE(first.find("(cgroup)"), std::string::npos) << first;
        EXPECT_GT(figureOf(first, "", "avail"), 0);
        EXPECT_LT(figureOf(first, "", "avail"), 512);
    }
}
