// torvane-run's timeline as a pipeline and a person read it: JSON Lines
// whose names and codes do not change with the language, samples through a
// long pause, and an HTML report written however the run ends, which a real
// browser renders.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

#include "child_process.h"
#include "json_output.h"
#include "run_output.h"

extern char** environ;

namespace {
std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Timeline, JsonNamesAndCodesAreTheSameInEveryLanguage) {
    Folder folder;
    const std::string script = folder.write("s.evk", "EVKScript\nmallocate 8\npopup hi\nsleep 0\nfree \nfree \n");
    std::vector<std::vector<std::string>> namesByLanguage;
    std::vector<std::string> texts;
    for (const char* language : {"LC_ALL=C", "LC_ALL=ja_JP.UTF-8"}) {
        SCOPED_TRACE(language);
        const RunResult run = runToEnd(ChildSetup{{"--json", "--yes", script}, {language}});
        EXPECT_EQ(run.status, 1);   // the second free fails
        EXPECT_EQ(run.err, "");     // errors are events on the one stream
        const auto objects = jsonEvents(run.out);
        ASSERT_GE(objects.size(), 8u) << run.out;
        std::vector<std::string> names;
        std::string allTexts;
        for (const auto& object : objects) {
            for (const char* field : {"time", "event", "code", "text", "requested", "held", "resident", "committed",
                                      "room", "limit", "limit_source"}) {
                EXPECT_TRUE(object.contains(field)) << field << " in " << object.dump();
            }
            EXPECT_TRUE(std::regex_match(object["time"].get<std::string>(),
                                         std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)")));
            names.push_back(object["event"].get<std::string>() + "/" + object["code"].get<std::string>());
            allTexts += object["text"].get<std::string>() + "\n";
        }
        namesByLanguage.push_back(names);
        texts.push_back(allTexts);
        // The allocation asked for 8 MiB and holds it during its pause.
        const auto pause = std::find_if(objects.begin(), objects.end(),
                                        [](const auto& o) { return o["code"] == "pause"; });
        ASSERT_NE(pause, objects.end());
        EXPECT_EQ((*pause)["requested"], 8 << 20);
        EXPECT_EQ((*pause)["held"], 8 << 20);
        EXPECT_EQ((*pause)["line"], 4);
        EXPECT_EQ((*pause)["keyword"], "sleep");
        const auto& failed = objects[objects.size() - 2];
        EXPECT_EQ(failed["event"], "error");
        EXPECT_EQ(failed["code"], "cannot-free");
        EXPECT_EQ(failed["held"], 0);
        // One end event ends every run: its status, why, and whether it did what was asked.
        const auto& end = objects.back();
        EXPECT_EQ(end["event"], "end");
        EXPECT_EQ(end["status"], 1);
        EXPECT_EQ(end["reason"], "error");
        EXPECT_EQ(end["reached"], false);
        EXPECT_EQ(end["held_max"], 8 << 20);
    }
    EXPECT_EQ(namesByLanguage[0], namesByLanguage[1]);
    EXPECT_NE(texts[0], texts[1]);
}

TEST(Timeline, JsonCommandEventsCarryArgvStatusAndSeconds) {
    const RunResult run = runToEnd(ChildSetup{{"--json", "--hold", "16M", "--", "sh", "-c", "exit 3"}});
    EXPECT_EQ(run.status, 3);
    const auto objects = jsonEvents(run.out);
    const auto starts = ofEvent(objects, "command-start");
    const auto ends = ofEvent(objects, "command-end");
    ASSERT_EQ(starts.size(), 1u) << run.out;
    ASSERT_EQ(ends.size(), 1u) << run.out;
    const nlohmann::json argv = {"sh", "-c", "exit 3"};
    EXPECT_EQ(starts[0]["argv"], argv);
    EXPECT_EQ(ends[0]["argv"], argv);
    EXPECT_EQ(ends[0]["status"], 3);
    EXPECT_TRUE(ends[0]["seconds"].is_number());
    EXPECT_EQ(ends[0]["held"], 16 << 20);
    const auto reached = ofEvent(objects, "hold-reached");
    ASSERT_EQ(reached.size(), 1u);
    EXPECT_EQ(reached[0]["requested"], 16 << 20);
}

TEST(Timeline, SamplesFillAPause) {
    Folder folder;
    const std::string script = folder.write("s.evk", "EVKScript\nmallocate 4\nsleep 1\n");
    const struct {
        bool json;
    } cases[] = {{false}, {true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json ? "json" : "text");
        std::vector<std::string> args = {"--sample", "200ms", "--yes", script};
        if (c.json) args.insert(args.begin(), "--json");
        const RunResult run = runToEnd(ChildSetup{args});
        EXPECT_EQ(run.status, 0);
        int samples = 0;
        if (c.json) {
            for (const auto& sample : ofEvent(jsonEvents(run.out), "sample")) {
                EXPECT_EQ(sample["held"], 4 << 20);
                ++samples;
            }
        } else {
            for (const std::string& line : events(run.out)) samples += line == "sample   held 4.0MiB of 4.0MiB asked";
        }
        EXPECT_GE(samples, 3) << run.out;
        EXPECT_LE(samples, 6) << run.out;
    }
}

// Runs `argv` to its end within `timeoutMs`, its output into `out`; the
// process is ended by its PID if it overruns. -1 when it did.
int runProgram(const std::vector<std::string>& argv, std::string& out, int timeoutMs) {
    const std::string outPath = fs::temp_directory_path() / ("timeline_dump_" + std::to_string(getpid()));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            fs::remove(outPath);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    out = fileText(outPath);
    fs::remove(outPath);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What a browser makes of the report: it must render the chart and the table.
void renderedInABrowser(const std::string& report) {
    const char* chromium = "/usr/bin/chromium";
    if (access(chromium, X_OK) != 0) {
        std::cout << "[ SKIPPED  ] the report in a browser: " << chromium << " is not installed" << std::endl;
        return;
    }
    Folder profile;
    std::string dom;
    const int status = runProgram({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                   "--disable-sync", "--user-data-dir=" + profile.path(), "--dump-dom",
                                   "file://" + report},
                                  dom, 90000);
    ASSERT_EQ(status, 0) << dom;
    EXPECT_NE(dom.find("<svg"), std::string::npos) << dom.substr(0, 2000);
    EXPECT_NE(dom.find("<polyline"), std::string::npos);
    EXPECT_NE(dom.find("<table>"), std::string::npos);
}

TEST(Timeline, ReportIsWrittenAfterARunAndAfterAStop) {
    Folder folder;
    const std::string done = folder.write("done.evk", "EVKScript\nmallocate 4\npopup <script>x</script>\nsleep 1\n");
    const std::string stopped = folder.write("stopped.evk", "EVKScript\nmallocate 4\nsleep 60\n");
    const std::string afterRun = folder.path() + "/run.html";
    const std::string afterStop = folder.path() + "/stop.html";

    const RunResult run = runToEnd(ChildSetup{{"--report", afterRun, "--yes", done}});
    EXPECT_EQ(run.status, 0) << run.err;

    Child child(ChildSetup{{"--report", afterStop, "--yes", stopped}});
    ASSERT_TRUE(child.waitForOutput("status   Pause")) << child.err;
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(child.finish(), 143);

    const struct {
        std::string path;
        const char* mustHold;  // what only this run's report says
    } reports[] = {{afterRun, "&lt;script&gt;x&lt;/script&gt;"}, {afterStop, "SIGTERM: stopped during line 3"}};
    for (const auto& r : reports) {
        SCOPED_TRACE(r.path);
        const std::string html = fileText(r.path);
        ASSERT_FALSE(html.empty());
        EXPECT_EQ(html.find("<script"), std::string::npos);
        EXPECT_NE(html.find(r.mustHold), std::string::npos);
        EXPECT_NE(html.find("<svg"), std::string::npos);
        EXPECT_NE(html.rfind("</html>"), std::string::npos);
        renderedInABrowser(r.path);
    }
}

TEST(Timeline, ReportThatCannotBeWrittenIsNamed) {
    const RunResult run = runToEnd(ChildSetup{{"--report", "/nonexistent/dir/r.html", "--hold", "1M", "--for", "0"}});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--report: cannot write /nonexistent/dir/r.html: No such file or directory"),
              std::string::npos)
        << run.err;
}
}  // namespace
