// torvane-run itself, driven as a person or a job would: its lines, its exit
// statuses, the memory it holds, and Ctrl-C.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "run_output.h"

namespace {
const std::string kConfirmed = "confirm  Confirmation of execution: Would you like to execute the script? yes (--yes)";
constexpr long kBlockKiB = 64 * 1024;

TEST(TorvaneRun, EndsEachScriptWithItsLinesAndStatus) {
    const struct {
        const char* what;
        std::optional<std::string> file;  // none: no file at all; "/": a folder
        std::vector<std::string> options, environment;
        std::vector<std::string> out, err;
        int status;
    } cases[] = {
        {"wrong magic", "evkscript\nsleep 1\n", {}, {}, {}, {"error    Illegal file: This is not an EVK file."}, 1},
        {"empty file", "", {}, {}, {}, {"error    Illegal file: This is not an EVK file."}, 1},
        {"a folder", "/", {}, {}, {},
         {"error    torvane-run: cannot read @: it is a folder, not a script file", "error    Error: Failed to load @."},
         1},
        {"missing file", std::nullopt, {}, {}, {},
         {"error    torvane-run: cannot read @: No such file or directory", "error    Error: Failed to load @."}, 1},
        {"impossible size", "EVKScript\nmallocate 2000000\nsleep 1\n", {}, {},
         {kConfirmed, "status   Allocating..."}, {"error    Error: Allocation failed"}, 1},
        {"impossible size, physical", "EVKScript\nmallocate 2000000\n", {"-p"}, {},
         {kConfirmed, "status   Allocating..."}, {"error    Error: Allocation failed"}, 1},
        {"negative size", "EVKScript\nallocate -1\n", {}, {}, {kConfirmed, "status   Memory allocating"},
         {"error    Error: Allocation failed."}, 1},
        {"nothing to release", "EVKScript\nrelease\nrelease \n", {}, {}, {kConfirmed, "status   Freeing..."},
         {"error    Error: Cannot free unallocated memory block.", "error    torvane-run: lines skipped without a word: 1 (keyword-without-space 2); --check says why and the fix"}, 1},
        {"asktoquit", "EVKScript\nsleep 0\nasktoquit \nsleep 1\n", {}, {},
         {kConfirmed, "status   Pause", "status   Execute"}, {"error    Error: Error"}, 0},
        {"end", "EVKScript\r\nend\r\nkallocate 1\r\nEND \r\npopup never\r\n", {}, {},
         {kConfirmed, "status   Allocating...", "status   Completed"}, {"error    torvane-run: lines skipped without a word: 1 (keyword-without-space 2); --check says why and the fix"}, 0},
        {"last line", "EVKScript\npopup Hello world\npopup\tx\npopup", {}, {},
         {kConfirmed, "popup    Information: Hello", "popup    Information: ", "status   Completed"},
         {"error    torvane-run: lines skipped without a word: 1 (tab-in-command 3); --check says why and the fix"}, 0},
        {"Japanese", "EVKScript\nmallocate 1\nfree \nfree \n", {}, {"LC_ALL=ja_JP.UTF-8"},
         {"confirm  実行の確認: スクリプトを実行しますか？ yes (--yes)", "status   確保処理中", "status   解放処理中・・・",
          "status   解放処理中・・・"},
         {"error    エラー: 確保されていないメモリを解放することはできません。"}, 1},
        {"skipped lines are counted at the end, the status unchanged", "EVKScript\nsleep\nbogus x\nend \n", {}, {},
         {kConfirmed, "status   Completed"},
         {"error    torvane-run: lines skipped without a word: 2 (keyword-without-space 2; unknown-keyword 3); "
          "--check says why and the fix"},
         0},
        {"LC_ALL before LANG", "EVKScript\n", {}, {"LC_ALL=C", "LANG=ja_JP.UTF-8"}, {kConfirmed, "status   Completed"},
         {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        const std::string script = !c.file ? folder.path() + "/absent.evk"
                                   : *c.file == "/" ? folder.path()
                                                    : folder.write("s.evk", *c.file);
        ChildSetup setup{c.options, c.environment};
        setup.args.insert(setup.args.end(), {"--yes", script});
        const RunResult r = runToEnd(setup);
        std::vector<std::string> expectedErr = c.err;
        for (std::string& line : expectedErr) {
            for (auto at = line.find('@'); at != std::string::npos; at = line.find('@')) line.replace(at, 1, script);
        }
        EXPECT_EQ(events(r.out), c.out);
        EXPECT_EQ(events(r.err), expectedErr);
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(TorvaneRun, RunsOnlyWhenConfirmed) {
    const struct {
        const char* what;
        std::vector<std::string> args;
        Input input;
        std::string answer;
        int status;
        bool ran;
        std::string errHas;
    } cases[] = {
        {"--yes", {"--yes"}, Input::Null, "", 0, true, ""},
        {"no terminal", {}, Input::Null, "", 2, false, "--yes"},
        {"a pipe is no terminal", {}, Input::Pipe, "y\n", 2, false, "--yes"},
        {"terminal: y", {}, Input::Terminal, "y\n", 0, true, "[y/N]"},
        {"terminal: yes", {}, Input::Terminal, "yes\n", 0, true, "[y/N]"},
        {"terminal: n", {}, Input::Terminal, "n\n", 2, false, "[y/N]"},
        {"terminal: Enter", {}, Input::Terminal, "\n", 2, false, "[y/N]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        ChildSetup setup{c.args, {}, c.input};
        setup.args.push_back(folder.write("s.evk", "EVKScript\nsleep 0\n"));
        const RunResult r = runToEnd(setup, c.answer);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out.find("status   Pause") != std::string::npos, c.ran);
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
    }
}

TEST(TorvaneRun, UsageErrorsAndHelp) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string outHas, errHas;
    } cases[] = {
        {{}, 2, "", "no script named"},
        {{"--bogus", "a.evk"}, 2, "", "unknown option --bogus"},
        {{"a.evk", "b.evk"}, 2, "", "one script at a time"},
        {{"--help"}, 0, "130 SIGINT (Ctrl-C)", ""},
        {{"--version"}, 0, "torvane-run 3.", ""},
    };
    for (const auto& c : cases) {
        const RunResult r = runToEnd(ChildSetup{c.args});
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.outHas), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
    }
}

// Polls the child's resident memory until it reaches `kib` or `ms` pass.
bool residentReaches(pid_t pid, long kib, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (procStatusKiB(pid, "VmRSS") >= kib) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return procStatusKiB(pid, "VmRSS") >= kib;
}

TEST(TorvaneRun, HoldsTheBlockAsTheModeSays) {
    const struct {
        std::vector<std::string> options;
        bool residentAtOnce, residentLater;
    } cases[] = {
        {{}, false, false},
        {{"--physical"}, true, true},
        // Made resident when taken, in pieces with the room read between
        // them, rather than by the first pass, which could not stop part-way.
        {{"--access-load"}, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        Folder folder;
        ChildSetup setup{c.options};
        setup.args.insert(setup.args.end(), {"-y", folder.write("s.evk", "EVKScript\nmallocate 64\nsleep 2\nrelease \n")});
        Child child(setup);
        ASSERT_TRUE(child.waitForOutput("status   Pause"));
        if (c.residentAtOnce) {
            EXPECT_GE(procStatusKiB(child.pid(), "VmRSS"), kBlockKiB);
        }
        EXPECT_GE(procStatusKiB(child.pid(), "VmData"), kBlockKiB);  // committed either way
        EXPECT_EQ(residentReaches(child.pid(), kBlockKiB, 1500), c.residentLater);
        EXPECT_EQ(child.finish(), 0);
        EXPECT_EQ(figureOf(child.out, "status   Pause", "rss") >= 64, c.residentAtOnce);
        EXPECT_GE(figureOf(child.out, "status   Pause", "commit"), 64);
        EXPECT_LT(figureOf(child.out, "status   Completed", "commit"), 32);
        EXPECT_LT(figureOf(child.out, "status   Completed", "rss"), 32);
    }
}

TEST(TorvaneRun, AccessLoadRunsWhileACommandOrAPopupWaits) {
    Folder folder;
    folder.write("hold.sh", "echo ran > ran-here\nsleep 2\n", true);
    {
        SCOPED_TRACE("run");
        ChildSetup setup{{"-y", "-a", folder.write("s.evk", "EVKScript\nmallocate 64\nrun ./hold.sh\n")}};
        Child child(setup);
        ASSERT_TRUE(child.waitForOutput("command  ./hold.sh"));
        EXPECT_TRUE(residentReaches(child.pid(), kBlockKiB, 1800));
        EXPECT_EQ(child.finish(), 0);
        EXPECT_TRUE(folder.has("ran-here"));  // started in the script's folder
    }
    {
        SCOPED_TRACE("popup");
        ChildSetup setup{{"-y", "-a", "-w", folder.write("p.evk", "EVKScript\nmallocate 64\npopup Wait\nrelease \n")},
                         {}, Input::Pipe};
        Child child(setup);
        ASSERT_TRUE(child.waitForOutput("popup    Information: Wait"));
        EXPECT_TRUE(residentReaches(child.pid(), kBlockKiB, 2000));
        EXPECT_EQ(child.out.find("Freeing..."), std::string::npos);  // still waiting for Enter
        child.send("\n");
        EXPECT_EQ(child.finish(), 0);
        EXPECT_NE(child.out.find("status   Freeing..."), std::string::npos);
    }
}

TEST(TorvaneRun, CtrlCReleasesTheBlockAndSaysWhereItStopped) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string script;
        Input input;
        std::string waitFor;  // an output line, or "file:NAME" to appear in the folder
        std::string stopLine;
        bool freed;
    } cases[] = {
        {"pause, physical", {"-y", "-p"}, "EVKScript\nmallocate 64\nsleep 30\nrelease \n", Input::Null,
         "status   Pause", "stop     Ctrl-C: stopped during line 3 (sleep)", true},
        {"pause, normal", {"-y"}, "EVKScript\nmallocate 64\nsleep 30\n", Input::Null, "status   Pause",
         "stop     Ctrl-C: stopped during line 3 (sleep)", true},
        {"pop-up", {"-y", "-w"}, "EVKScript\n# hold\nmallocate 64\npopup Wait\n", Input::Pipe, "popup    ",
         "stop     Ctrl-C: stopped during line 4 (popup)", true},
        {"command that ends on Ctrl-C", {"-y"}, "EVKScript\nrun ./gone.sh\nsleep 30\n", Input::Null,
         "file:started", "stop     Ctrl-C: stopped during line 2 (run)", false},
        {"command that finishes first", {"-y"}, "EVKScript\nmallocate 1\nrun ./stays.sh\nsleep 30\n", Input::Null,
         "file:started", "stop     Ctrl-C: stopped during line 3 (run)", true},
        {"confirmation", {}, "EVKScript\nsleep 30\n", Input::Terminal, "", "stop     Ctrl-C: stopped before the first command",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        folder.write("gone.sh", "echo > started\nsleep 30\n", true);
        folder.write("stays.sh", "trap '' INT\necho > started\nsleep 1\necho > finished\n", true);
        ChildSetup setup{c.options, {}, c.input, true};
        setup.args.push_back(folder.write("s.evk", c.script));
        Child child(setup);
        if (c.waitFor.rfind("file:", 0) == 0) {
            for (int i = 0; i < 500 && !folder.has(c.waitFor.substr(5)); ++i) usleep(10000);
            ASSERT_TRUE(folder.has(c.waitFor.substr(5)));
        } else if (!c.waitFor.empty()) {
            ASSERT_TRUE(child.waitForOutput(c.waitFor));
        } else {
            ASSERT_TRUE(child.waitForErrorOutput("[y/N]"));
        }
        // To the whole group, as the terminal sends it.
        kill(c.input == Input::Terminal ? child.pid() : -child.pid(), SIGINT);
        EXPECT_EQ(child.finish(), 130);
        const std::vector<std::string> lines = events(child.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.stopLine);
        EXPECT_EQ(lines.size() >= 2 && lines[lines.size() - 2] == "status   Freeing...", c.freed);
        if (c.freed) {
            EXPECT_LT(figureOf(child.out, "stop     ", "commit"), 32);
            EXPECT_LT(figureOf(child.out, "stop     ", "rss"), 32);
        }
        if (c.script.find("stays.sh") != std::string::npos) {
            EXPECT_TRUE(folder.has("finished"));  // the run stopped only once the command had ended
        }
    }
}

TEST(TorvaneRun, RefusesAPhysicalBlockThatCouldNotBeResident) {
    std::ifstream meminfo("/proc/meminfo");
    long totalKiB = 0;
    for (std::string name; meminfo >> name;) {
        if (name == "MemTotal:") meminfo >> totalKiB;
    }
    ASSERT_GT(totalKiB, 0);
    // Within what could be committed, beyond what is available now: a kernel
    // would grant the mapping and then have to kill for its pages.
    Folder folder;
    const std::string script = folder.write("s.evk", "EVKScript\nmallocate " + std::to_string(totalKiB / 1024 - 1) + "\n");
    const RunResult r = runToEnd(ChildSetup{{"-y", "-p", script}});
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> lines = events(r.err);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("does not fit the memory room"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "error    Error: Allocation failed");
}

}  // namespace
