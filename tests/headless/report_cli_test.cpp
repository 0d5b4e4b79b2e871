// --report as an SRE meets it: option lines that must be refused, paths that
// can never be a report, links planted at the path, a read-only folder and
// a full disk (each in a mount namespace of the run's own, so that nothing
// outlives the case), and a run killed from outside. Each drives the real
// program; every path it writes is in a folder of the test's own.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "run_output.h"
#include "throwaway_group.h"

namespace {
// The run's folder, before it goes, as the case left it.
std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool isRegularFile(const std::string& path) {
    struct stat state;
    return lstat(path.c_str(), &state) == 0 && S_ISREG(state.st_mode);
}

// A whole page: what a browser needs to show it all.
bool wholePage(const std::string& html) {
    return html.rfind("<!DOCTYPE html>", 0) == 0 && html.size() > 8 && html.substr(html.size() - 8) == "</html>\n";
}

// Runs the program with the folder as its current directory, so that a
// value taken as a file name would land there.
ChildSetup inFolder(const Folder& folder, std::vector<std::string> args) {
    ChildSetup setup{std::move(args), {"TORVANE_TEST_FOLDER=" + folder.path()}};
    setup.prefix = {"sh", "-c", "cd \"$TORVANE_TEST_FOLDER\" && exec \"$@\"", "sh"};
    return setup;
}

// Whether a mount namespace of our own can be had here (root, unshare).
std::string noMountNamespace() {
    if (geteuid() != 0) return "not root";
    return std::system("unshare -m true >/dev/null 2>&1") == 0 ? "" : "unshare -m is refused here";
}

// Forgetting a file name must never make the next option one: each line
// is a usage error that takes nothing, runs nothing and writes no file.
TEST(Report, OptionLinesThatMustBeUsageErrors) {
    const std::vector<std::vector<std::string>> lines = {
        {"--yes", "--report", "--strict", "bad.evk"},
        {"--hold", "1M", "--report", "--timeout", "30m", "--", "make"},
        {"--hold", "1M", "--report", "--for", "0"},
        {"--hold", "1M", "--report=", "--for", "0"},
        {"--hold", "1M", "--report", "--", "true"},
        {"--hold", "1M", "--report", "-"},
        {"--hold", "1M", "--for", "0", "--report"},
        {"--check", "--report", "r.html", "bad.evk"},
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(testing::PrintToString(line));
        Folder folder;
        folder.write("bad.evk", "EVKScript\nsleep 0 5\n");
        const RunResult run = runToEnd(inFolder(folder, line));
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("--report"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("(try --help)"), std::string::npos) << run.err;
        EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"bad.evk"});
    }
}

// Each of these can never be a report: refused at once with status 2,
// before anything is taken or any confirmation asked, and left as it was.
TEST(Report, PathsThatCanNeverBeAReportAreRefusedAtOnce) {
    Folder folder;
    const std::string script = folder.write("s.evk", "EVKScript\nmallocate 1\nsleep 0\n");
    ASSERT_EQ(link(script.c_str(), (folder.path() + "/hard.evk").c_str()), 0);
    ASSERT_EQ(symlink(script.c_str(), (folder.path() + "/soft.html").c_str()), 0);
    ASSERT_EQ(mkfifo((folder.path() + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((folder.path() + "/fifo").c_str(), (folder.path() + "/to-fifo.html").c_str()), 0);
    fs::create_directory(folder.path() + "/dir");
    // A device of the test's own, made like /dev/null, so that a fault here
    // can never replace the system's.
    const bool device = mknod((folder.path() + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    const struct {
        std::string path;
        const char* says;
    } cases[] = {
        {folder.path() + "/fifo", "it is a FIFO"},
        {folder.path() + "/to-fifo.html", "it leads to a FIFO"},
        {folder.path() + "/dir", "it is a folder"},
        {folder.path() + "/new/", "it is a folder"},
        {folder.path() + "/null", "it is a device"},
        {script, "it is the script being run"},
        {folder.path() + "/hard.evk", "it is the script being run"},
        {folder.path() + "/dir/../s.evk", "it is the script being run"},
        {folder.path() + "/soft.html", "it is the script being run"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.path.ends_with("/null") && !device) {
            std::cout << "[ SKIPPED  ] a device: mknod is refused here" << std::endl;
            continue;
        }
        // Standard input a terminal that is never answered: a confirmation
        // asked would hang until the deadline.
        Child child(ChildSetup{{"--report", c.path, script}, {}, Input::Terminal});
        const int status = child.finish(10000);
        EXPECT_EQ(status, 2) << child.out << child.err;
        EXPECT_EQ(child.out, "");
        EXPECT_NE(child.err.find("torvane-run: --report " + c.path + ": " + c.says), std::string::npos) << child.err;
    }
    EXPECT_EQ(fileText(script), "EVKScript\nmallocate 1\nsleep 0\n");
    EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"dir", "fifo", "hard.evk", "null", "s.evk",
                                                                "soft.html", "to-fifo.html"}));
    EXPECT_TRUE(fs::is_fifo(folder.path() + "/fifo"));
    EXPECT_TRUE(fs::is_symlink(folder.path() + "/soft.html"));

    // The run's own output, as /dev/stdout is when it goes to a file.
    const std::string out = folder.path() + "/out.txt", outLink = folder.path() + "/out-link.html";
    ASSERT_EQ(symlink(out.c_str(), outLink.c_str()), 0);
    ChildSetup toFile{{"--hold", "1M", "--for", "0", "--report", outLink}, {"TORVANE_TEST_OUT=" + out}};
    toFile.prefix = {"sh", "-c", "exec \"$@\" > \"$TORVANE_TEST_OUT\"", "sh"};
    const RunResult run = runToEnd(toFile);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("it is where this run's own input or lines go"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_symlink(outLink));

    // With --json the refusal is a JSON line like every other error.
    const RunResult json = runToEnd(ChildSetup{{"--json", "--hold", "1M", "--report", folder.path() + "/fifo"}});
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(json.err, "");
    const nlohmann::json line = nlohmann::json::parse(json.out);
    EXPECT_EQ(line.value("event", ""), "error");
    EXPECT_EQ(line.value("code", ""), "report-refused");
}

// A link the test makes in its own folder to a file of its own: the report
// replaces the link, and what it led to is as it was.
TEST(Report, ALinkAtThePathIsReplacedNotFollowed) {
    Folder folder;
    const std::string target = folder.write("precious.txt", "keep me\n");
    const std::string report = folder.path() + "/r.html";
    ASSERT_EQ(symlink(target.c_str(), report.c_str()), 0);
    const RunResult run = runToEnd(ChildSetup{{"--hold", "1M", "--for", "0", "--report", report}});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fileText(target), "keep me\n");
    EXPECT_TRUE(isRegularFile(report));
    EXPECT_TRUE(wholePage(fileText(report)));
    EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"precious.txt", "r.html"}));
}

// Another user's link in a shared sticky folder, to a file only root may
// read: where the kernel follows such links (fs.protected_symlinks = 0),
// a report written through it would overwrite that file.
TEST(Report, AnotherUsersLinkInAStickyFolderIsNotFollowed) {
    const std::string protectedLinks = fileText("/proc/sys/fs/protected_symlinks");
    if (geteuid() != 0 || protectedLinks.rfind("0", 0) != 0) {
        std::cout << "[ SKIPPED  ] another user's link: needs root and fs.protected_symlinks = 0 (it is "
                  << (protectedLinks.empty() ? "unreadable" : protectedLinks.substr(0, 1)) << ")" << std::endl;
        return;
    }
    Folder folder;
    const std::string secret = folder.write("secret", "root only\n");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const std::string shared = folder.path() + "/shared";
    fs::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string report = shared + "/report.html";
    ASSERT_EQ(symlink(secret.c_str(), report.c_str()), 0);
    ASSERT_EQ(lchown(report.c_str(), 65534, 65534), 0);  // nobody's
    const RunResult run = runToEnd(ChildSetup{{"--hold", "1M", "--for", "0", "--report", report}});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(fileText(secret), "root only\n");
    struct stat state;
    ASSERT_EQ(stat(secret.c_str(), &state), 0);
    EXPECT_EQ(state.st_mode & 07777, 0600u);
    ASSERT_EQ(lstat(report.c_str(), &state), 0);
    EXPECT_TRUE(S_ISREG(state.st_mode));
    EXPECT_EQ(state.st_uid, 0u);
}

// The run in a mount namespace of its own, with `setup` (shell commands,
// the program as $1) run before it; the mounts end with the namespace.
ChildSetup inMountNamespace(const std::string& commands, std::vector<std::string> args,
                            std::vector<std::string> environment) {
    ChildSetup setup{std::move(args), std::move(environment)};
    setup.prefix = {"unshare", "-m", "--propagation", "private", "sh", "-c", commands, "sh"};
    return setup;
}

// A folder that exists but cannot be written (a read-only bind mount, as
// permissions do not stop root): status 1 before anything is taken.
TEST(Report, AReadOnlyFolderIsFoundBeforeAnythingIsTaken) {
    if (const std::string why = noMountNamespace(); !why.empty()) {
        std::cout << "[ SKIPPED  ] a read-only folder: " << why << std::endl;
        return;
    }
    Folder folder;
    const std::string report = folder.path() + "/r.html";
    const RunResult run = runToEnd(inMountNamespace(
        "mount --bind \"$D\" \"$D\" && mount -o remount,bind,ro \"$D\" && exec \"$@\"",
        {"--hold", "1M", "--for", "5s", "--report", report}, {"D=" + folder.path()}));
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(run.out, "");  // no hold line: nothing was taken
    EXPECT_NE(run.err.find("--report: cannot write " + report + ": Read-only file system; give a path in a folder"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(namesIn(folder.path()).empty());
}

// A size-limited tmpfs: full before the run, the good report there is kept
// and the run does not start; full during the run, the last page written
// stays whole and the run ends with status 1, saying why.
TEST(Report, AFullDiskKeepsTheLastGoodPage) {
    if (const std::string why = noMountNamespace(); !why.empty()) {
        std::cout << "[ SKIPPED  ] a full disk: " << why << std::endl;
        return;
    }
    Folder folder;
    const std::string good = folder.write("good.html", "<!DOCTYPE html>\n<p>a good report</p></html>\n");
    // Each step prints a marker line that the test reads; the mount and
    // what is in it end with the namespace.
    const std::string commands =
        "set -u; m=\"$D/m\"; mkdir \"$m\" && mount -t tmpfs -o size=256k tmpfs \"$m\" || exit 99\n"
        "fill() { dd if=/dev/zero of=\"$m/fill$1\" bs=4k 2>/dev/null; }\n"
        "cp \"$D/good.html\" \"$m/r.html\"; fill 1\n"
        "\"$@\" --hold 1M --for 5s --report \"$m/r.html\"; echo \"full-at-start=$?\"\n"
        "cmp -s \"$D/good.html\" \"$m/r.html\" && echo kept-good-page\n"
        "rm \"$m/fill1\"\n"
        "\"$@\" --hold 1M --for 3s --sample 100ms --report \"$m/r2.html\" & run=$!\n"
        "for i in $(seq 100); do grep -q hold-reached \"$m/r2.html\" 2>/dev/null && break; sleep 0.05; done\n"
        "fill 2; wait $run; echo \"filled-during=$?\"\n"
        "tail -c 8 \"$m/r2.html\" | grep -q '</html>' && echo last-page-whole\n"
        "grep -q hold-reached \"$m/r2.html\" && echo last-page-has-hold\n"
        "echo \"left=$(ls -A \"$m\" | tr '\\n' ' ')\"\n";
    const RunResult run = runToEnd(inMountNamespace(commands, {}, {"D=" + folder.path()}));
    ASSERT_NE(run.status, 99) << run.err;
    EXPECT_NE(run.out.find("full-at-start=1"), std::string::npos) << run.out << run.err;
    EXPECT_NE(run.out.find("kept-good-page"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("cannot write " + folder.path() + "/m/r.html: No space left on device"), std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("filled-during=1"), std::string::npos) << run.out << run.err;
    EXPECT_NE(run.out.find("last-page-whole"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("last-page-has-hold"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("left=fill2 r.html r2.html \n"), std::string::npos) << run.out;  // no temporary file
    EXPECT_NE(run.err.find("cannot update " + folder.path() + "/m/r2.html: No space left on device"),
              std::string::npos)
        << run.err;
    // The run that found the disk full took nothing: the first hold line is the second run's.
    EXPECT_GT(run.out.find("hold     taking"), run.out.find("full-at-start="));
}

// SIGKILL (the OOM killer's signal) mid-run: the page written last is on
// the disk, whole, with what the run had done by then.
TEST(Report, AKilledRunLeavesAReadablePage) {
    Folder folder;
    const std::string report = folder.path() + "/r.html";
    Child child(ChildSetup{{"--hold", "4M", "--report", report}});
    ASSERT_TRUE(child.waitForOutput("hold     reached")) << child.err;
    // The page is rewritten every 2 s; the one after the hold has it.
    EXPECT_TRUE(within(5000, [&] { return fileText(report).find("hold-reached") != std::string::npos; }));
    kill(child.pid(), SIGKILL);
    EXPECT_EQ(child.finish(), 128 + SIGKILL);
    const std::string html = fileText(report);
    EXPECT_TRUE(wholePage(html)) << html.substr(0, 200);
    EXPECT_NE(html.find("none yet: the run was still going"), std::string::npos);
    EXPECT_NE(html.find("<td>hold-reached</td>"), std::string::npos);
    EXPECT_NE(html.find("<polyline"), std::string::npos);  // the samples so far
}
}  // namespace
