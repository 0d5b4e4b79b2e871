// torvane-run's own processes and streams under what the systems it runs on
// do to them: signals a command's group is sent, orphans that come to a
// container's first process, a standard output left non-blocking, and
// standard input that never ends. Each test drives the real program.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <fstream>
#include <string>

#include "child_process.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
pid_t pidInFile(const std::string& path) {
    pid_t pid = 0;
    std::ifstream(path) >> pid;
    return pid;
}

// Field `index` (3 = state, 4 = parent, 14 = utime, 15 = stime) of
// /proc/PID/stat, counted as proc(5) does; empty when the process is gone.
std::string statField(pid_t pid, int index) {
    const std::string text = fileText("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    for (int at = 3; at <= index && rest >> field; ++at) {
    }
    return field;
}

// The zombies whose parent is `parent`.
int zombiesOf(pid_t parent) {
    int zombies = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        if (statField(pid, 3) == "Z" && statField(pid, 4) == std::to_string(parent)) ++zombies;
    }
    closedir(proc);
    return zombies;
}

// CPU time the process has used so far, in milliseconds.
long cpuMilliseconds(pid_t pid) {
    const long ticks = std::atol(statField(pid, 14).c_str()) + std::atol(statField(pid, 15).c_str());
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

// Whether the process has ended, leaving it to be reaped.
bool hasEnded(pid_t pid) {
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

// A signal sent to a command's process group is the command's business: a
// command that catches it runs on to its own end, and the run reports the
// status it ended with.
TEST(CommandGroup, SignalsToTheGroupLeaveTheCommandRunning) {
    for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM}) {
        SCOPED_TRACE(strsignal(signal));
        Folder folder;
        const std::string command = folder.write("command.sh",
                                                 "cd " + folder.path() +
                                                     "\ntrap 'echo caught >> caught' USR1 USR2 ALRM\n"
                                                     "echo $$ > command.pid\n"
                                                     "while [ ! -e finish ]; do sleep 0.05; done\n"
                                                     "echo done > finished\n",
                                                 true);
        Child child(ChildSetup{{"--hold", "1M", "--", command}});
        pid_t pid = 0;
        ASSERT_TRUE(within(5000, [&] { return (pid = pidInFile(folder.path() + "/command.pid")) > 0; }));
        const pid_t group = getpgid(pid);
        ASSERT_GT(group, 0);
        ASSERT_NE(group, getpgrp());
        kill(-group, signal);
        EXPECT_TRUE(within(5000, [&] { return folder.has("caught"); }));
        folder.write("finish", "");
        EXPECT_EQ(child.finish(5000), 0) << child.err;
        EXPECT_TRUE(folder.has("finished"));
        kill(-group, SIGKILL);  // never left behind, whatever the result
    }
}

// As a container's first process, orphans that a running command leaves
// are reaped as they end, not once the command has ended.
TEST(FirstProcess, OrphansAreReapedWhileACommandRuns) {
    if (geteuid() != 0) GTEST_SKIP() << "a new PID namespace needs root";
    Folder folder;
    folder.write("orphans.sh",
                 "i=0\nwhile [ $i -lt 300 ]; do (sleep 0.01 &); i=$((i + 1)); done\n"
                 "echo ready > ready\nwhile [ ! -e finish ]; do sleep 0.05; done\n",
                 true);
    ChildSetup setup{{"-y", folder.write("s.evk", "EVKScript\nrun ./orphans.sh\n")}};
    setup.prefix = {"unshare", "--pid", "--fork", "--kill-child", "--mount-proc"};
    Child child(setup);
    ASSERT_TRUE(within(30000, [&] { return folder.has("ready"); }));
    // unshare's only child is torvane-run, PID 1 inside.
    pid_t first = 0;
    std::ifstream("/proc/" + std::to_string(child.pid()) + "/task/" + std::to_string(child.pid()) + "/children") >>
        first;
    ASSERT_GT(first, 0);
    EXPECT_TRUE(within(3000, [&] { return zombiesOf(first) == 0; })) << zombiesOf(first) << " zombies";
    folder.write("finish", "");
    EXPECT_EQ(child.finish(10000), 0) << child.err;
}

// A standard output that another process made non-blocking refuses writes
// while its reader is behind. The run waits for room: a reader that comes
// back gets every line; one that never does holds up neither a stop nor the
// deadline by more than the 2 s the end waits for output, and the run says
// its output was lost.
TEST(SlowOutput, ANonBlockingOutputThatFillsWaitsForItsReader) {
    std::string script = "EVKScript\n";
    for (int i = 0; i < 200; ++i) script += "popup line" + std::to_string(i) + "\n";
    script += "sleep 30\n";
    const struct {
        const char* what;
        std::vector<std::string> options;
        int stop;  // sent once the output is full; 0: none
        bool readerReturns;
    } cases[] = {
        {"the reader comes back", {}, 0, true},
        {"a stop while it is full", {}, SIGTERM, false},
        {"the deadline while it is full", {"--timeout", "2s"}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        ChildSetup setup{c.options};
        setup.args.insert(setup.args.end(), {"-y", folder.write("s.evk", script)});
        setup.output = Output::SmallNonBlockingPipe;
        Child child(setup);
        // Full: less room left than one line takes.
        ASSERT_TRUE(within(5000, [&] { return child.unreadOutput() > 4096 - 200; })) << child.unreadOutput();
        if (c.readerReturns) {
            ASSERT_TRUE(child.waitForOutput("status   Pause", 10000)) << child.err;
            for (int i = 0; i < 200; ++i) {
                EXPECT_NE(child.out.find("popup    Information: line" + std::to_string(i) + "\n"), std::string::npos)
                    << "line " << i;
            }
            kill(child.pid(), SIGTERM);
            EXPECT_EQ(child.finish(5000), 143) << child.err;
            continue;
        }
        if (c.stop != 0) kill(child.pid(), c.stop);
        // Nothing is read until the run has ended.
        EXPECT_TRUE(within(8000, [&] { return hasEnded(child.pid()); }));
        EXPECT_EQ(child.finish(5000), 1);
        EXPECT_NE(child.err.find("torvane-run: standard output: full, and its reader took nothing"), std::string::npos)
            << child.err;
    }
}

// A pop-up waiting for Enter reads at most one line of 4 KiB: bytes past it
// without a line end end the wait as the end of input would, and are left
// for the next reader.
TEST(PopupInput, APopupReadsAtMostOneLineOfFourKiB) {
    const std::string x4095(4095, 'x');
    const struct {
        const char* what;
        std::string input;
        std::string left;  // what the command after the pop-up reads
    } cases[] = {
        {"a short line", "yes\nafter", "after"},
        {"a line of 4 KiB with its end", x4095 + "\ntail", "tail"},
        {"4 KiB without a line end", x4095 + "x\n", "\n"},
        {"an endless line", x4095 + std::string(905, 'x'), std::string(904, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        ChildSetup setup{{"-y", "-w", folder.write("s.evk", "EVKScript\npopup one\nrun cat>rest\n")}, {}, Input::Pipe};
        const RunResult r = runToEnd(setup, c.input);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fileText(folder.path() + "/rest"), c.left);
    }
}

// On a stream that never ends (/dev/zero) pop-ups still end their waits, and
// waiting takes no more than a sliver of a core.
TEST(PopupInput, AnEndlessInputNeitherHoldsUpNorSpins) {
    Folder folder;
    ChildSetup setup{{"-y", "-w", folder.write("s.evk", "EVKScript\npopup one\npopup two\nsleep 1\npopup three\n"
                                                       "sleep 30\n")},
                     {},
                     Input::Zero};
    Child child(setup);
    ASSERT_TRUE(child.waitForOutput("popup    Information: one"));
    const long long wallStart = nowMs();
    const long cpuStart = cpuMilliseconds(child.pid());
    EXPECT_TRUE(child.waitForOutput("popup    Information: three", 5000));
    const long cpu = cpuMilliseconds(child.pid()) - cpuStart;
    const long long wall = nowMs() - wallStart;
    EXPECT_GE(wall, 1000);
    EXPECT_LT(cpu, wall / 4) << cpu << " ms of CPU in " << wall << " ms";
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.finish(5000), 143);
}
