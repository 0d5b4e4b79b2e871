// --metrics and --metrics-file end to end: option lines refused, a port that
// cannot be had, and the figures as the real Prometheus server, promtool
// and node exporter take them (Debian's packages, started here on free
// ports of 127.0.0.1, each ended by its PID). Every file is in a folder of
// the test's own.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "exposition_reader.h"
#include "http_get.h"
#include "run_output.h"

namespace {
using Clock = std::chrono::steady_clock;

std::string port(std::uint16_t number) { return "127.0.0.1:" + std::to_string(number); }

// Polls `condition` until it holds or `seconds` pass.
template <typename Condition>
bool within(double seconds, Condition condition) {
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::string readWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool onPath(const char* program) {
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// Ends a server the test started: SIGTERM by its PID, then its end waited for.
void endServer(Child& server) {
    kill(server.pid(), SIGTERM);
    EXPECT_NE(server.finish(15000), -1) << "the server did not end after SIGTERM:\n" << server.err;
}

TEST(Metrics, OptionLinesThatMustBeUsageErrors) {
    Folder folder;
    fs::create_directory(folder.path() + "/dir.prom");
    const struct {
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {{"--hold", "1M", "--metrics", "localhost:9464"}, "is a host name"},
        {{"--hold", "1M", "--metrics", "65536"}, "not a port from 1 to 65535"},
        {{"--hold", "1M", "--metrics"}, "--metrics"},
        {{"--check", "--metrics", "9464", "x.evk"}, "no figures to serve"},
        {{"--hold", "1M", "--metrics-file", folder.path() + "/m.txt"}, "must end in .prom"},
        {{"--hold", "1M", "--metrics-file", "--for", "1s"}, "is an option, not a file name"},
        {{"--hold", "1M", "--metrics-file", folder.path() + "/dir.prom"}, "it is a folder"},
        {{"--hold", "1M", "--report", folder.path() + "/r.prom", "--metrics-file", folder.path() + "/r.prom"},
         "it is the --report file too"},
        {{"--check", "--metrics-file", "m.prom", "x.evk"}, "no figures to write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const RunResult run = runToEnd(ChildSetup(c.args));
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    }
    EXPECT_FALSE(folder.has("m.txt"));
    EXPECT_FALSE(folder.has("r.prom"));
}

// Refused with status 1 before anything is taken: no hold line, nothing held.
TEST(Metrics, APortThatCannotBeHadEndsTheRunBeforeItTakesAnything) {
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string inUse = port(ntohs(address.sin_port));
    const struct {
        std::string where;
        const char* said;
    } cases[] = {
        {inUse, "the port is in use by another program"},
        {"192.0.2.1:9464", "192.0.2.1 is not an address of this machine"},
    };
    for (const auto& c : cases) {
        const RunResult run = runToEnd(ChildSetup({"--hold", "64M", "--for", "5s", "--metrics", c.where}));
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(run.out, "") << "something was taken";
        EXPECT_NE(run.err.find("torvane-run: --metrics " + c.where + ": " + c.said), std::string::npos) << run.err;
    }
    close(taken);
}

// The command of a hold inherits no socket of the endpoint's.
TEST(Metrics, ACommandInheritsNoSocket) {
    const RunResult run = runToEnd(ChildSetup(
        {"--hold", "1M", "--metrics", port(freeLocalPort()), "--", "sh", "-c", "ls -l /proc/self/fd/ && echo listed"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("listed"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("socket:"), std::string::npos) << run.out;
}

// A real Prometheus server scrapes a hold every second; its query API then
// has the held size, and the target up.
TEST(Metrics, APrometheusServerScrapesTheHeldSize) {
    if (!onPath("prometheus")) GTEST_SKIP() << "Debian's prometheus package is not installed (tools/setup.sh)";
    Folder folder;
    const std::uint16_t metrics = freeLocalPort();
    Child hold(ChildSetup({"--hold", "24M", "--metrics", port(metrics)}));
    ASSERT_TRUE(hold.waitForOutput("reached")) << hold.out << hold.err;
    const std::string config = folder.write(
        "prometheus.yml", "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                          "  - job_name: torvane\n    static_configs:\n      - targets: ['" +
                              port(metrics) + "']\n");
    const std::uint16_t web = freeLocalPort();
    ChildSetup server({"--config.file=" + config, "--storage.tsdb.path=" + folder.path() + "/data",
                       "--web.listen-address=" + port(web), "--log.level=warn"});
    server.program = "prometheus";
    Child prometheus(server);
    const auto query = [web](const std::string& promql) -> nlohmann::json {
        std::string encoded;
        for (char c : promql) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            encoded += std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? std::string(1, c) : hex;
        }
        const HttpAnswer answer = httpGet(web, "/api/v1/query?query=" + encoded, 2000);
        if (answer.status != 200) return {};
        const nlohmann::json reply = nlohmann::json::parse(answer.body, nullptr, false);
        if (reply.is_discarded() || reply["data"]["result"].empty()) return {};
        return reply["data"]["result"][0]["value"][1];
    };
    nlohmann::json held;
    EXPECT_TRUE(within(40, [&] { return !(held = query("torvane_held_bytes")).is_null(); }))
        << "Prometheus never had torvane_held_bytes:\n" << prometheus.err;
    EXPECT_EQ(held, "25165824");
    EXPECT_EQ(query("up{job=\"torvane\"}"), "1");
    EXPECT_EQ(query("torvane_info{mode=\"hold\",kind=\"anon\"}"), "1");
    endServer(prometheus);
    kill(hold.pid(), SIGTERM);
    EXPECT_EQ(hold.finish(), 0) << hold.err;
}

// promtool's lint of what a scrape gives: names, units, help, types.
TEST(Metrics, PromtoolPassesAScrape) {
    if (!onPath("promtool")) GTEST_SKIP() << "Debian's prometheus package (promtool) is not installed";
    Folder folder;
    const std::uint16_t metrics = freeLocalPort();
    Child hold(ChildSetup({"--hold", "8M", "--access-load", "--metrics", port(metrics), "--", "sleep", "3"}));
    ASSERT_TRUE(hold.waitForOutput("command")) << hold.out << hold.err;
    // Once the command's first tick has run a pass, every figure is there.
    HttpAnswer answer;
    ReadExposition read;
    EXPECT_TRUE(within(5, [&] {
        answer = httpGet(metrics, "/metrics");
        read = readExposition(answer.body);
        return read.value("torvane_access_passes_total") > 0;
    }));
    ASSERT_EQ(answer.status, 200);
    EXPECT_TRUE(read.problems.empty()) << read.problems.front();
    EXPECT_EQ(read.value("torvane_command_running"), 1);
    const std::string scrape = folder.write("scrape.txt", answer.body);
    ChildSetup check({"check", "metrics"});
    check.program = "sh";
    check.args = {"-c", "promtool check metrics < \"$0\"", scrape};
    const RunResult lint = runToEnd(check);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    EXPECT_EQ(hold.finish(), 0) << hold.err;
}

// A real node exporter's textfile collector reads the file the run keeps.
TEST(Metrics, ANodeExporterShowsTheFigures) {
    if (!onPath("prometheus-node-exporter")) GTEST_SKIP() << "Debian's prometheus-node-exporter is not installed";
    Folder folder;
    Child hold(ChildSetup({"--hold", "20M", "--metrics-file", folder.path() + "/torvane.prom"}));
    ASSERT_TRUE(hold.waitForOutput("reached")) << hold.out << hold.err;
    const std::uint16_t web = freeLocalPort();
    ChildSetup server({"--web.listen-address=" + port(web), "--collector.disable-defaults", "--collector.textfile",
                       "--collector.textfile.directory=" + folder.path()});
    server.program = "prometheus-node-exporter";
    Child exporter(server);
    ReadExposition read;
    EXPECT_TRUE(within(15, [&] {
        read = readExposition(httpGet(web, "/metrics", 2000).body);
        return read.value("torvane_held_bytes") == 20971520.0;
    })) << "the exporter never showed the held size:\n" << exporter.err;
    EXPECT_EQ(read.value("node_textfile_scrape_error"), 0);
    EXPECT_EQ(read.value("torvane_info", {{"mode", "hold"}}), 1);
    endServer(exporter);
    kill(hold.pid(), SIGTERM);
    EXPECT_EQ(hold.finish(), 0) << hold.err;
    const ReadExposition last = readExposition(readWhole(folder.path() + "/torvane.prom"));
    EXPECT_EQ(last.value("torvane_held_bytes"), 0);
    EXPECT_EQ(last.value("torvane_exit_status"), 0);
}

// 50 connections that never send a byte: a good scrape is answered all the
// same, and the run ends at the end of its --for.
TEST(Metrics, IdleConnectionsNeitherBlockAScrapeNorTheEnd) {
    const std::uint16_t metrics = freeLocalPort();
    Child hold(ChildSetup({"--hold", "16M", "--for", "3s", "--access-load", "--metrics", port(metrics)}));
    ASSERT_TRUE(hold.waitForOutput("reached")) << hold.out << hold.err;
    std::vector<int> idle;
    for (int i = 0; i < 50; ++i) idle.push_back(connectLocal(metrics));
    const HttpAnswer answer = httpGet(metrics, "/metrics", 3000);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(readExposition(answer.body).value("torvane_held_bytes"), 16777216.0);
    EXPECT_EQ(hold.finish(10000), 0) << "the run did not end on time:\n" << hold.out << hold.err;
    EXPECT_NE(hold.out.find("release"), std::string::npos) << hold.out;
    for (int fd : idle) close(fd);
}

// A reader that loops over the file sees every version whole: each parses
// by the format's rules and carries its update time.
TEST(Metrics, TheTextfileIsNeverSeenHalfWritten) {
    Folder folder;
    const std::string path = folder.path() + "/torvane.prom";
    std::atomic<bool> done{false};
    std::set<double> versions;
    std::vector<std::string> broken;
    std::thread reader([&] {
        while (!done) {
            const std::string text = readWhole(path);
            if (text.empty()) continue;  // not there yet
            const ReadExposition read = readExposition(text);
            if (!read.problems.empty() || !read.has("torvane_last_update_time_seconds") ||
                !read.has("torvane_held_bytes")) {
                broken.push_back(text);
                continue;
            }
            versions.insert(read.value("torvane_last_update_time_seconds"));
        }
    });
    const RunResult run =
        runToEnd(ChildSetup({"--hold", "8M", "--access-load", "--sample", "50ms", "--for", "2s", "--metrics-file", path}));
    done = true;
    reader.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(broken.empty()) << broken.size() << " broken versions, the first:\n" << broken.front();
    EXPECT_GE(versions.size(), 10u) << "the file was rewritten too seldom to test";
    const ReadExposition last = readExposition(readWhole(path));
    EXPECT_EQ(last.value("torvane_held_bytes"), 0);
    EXPECT_EQ(last.value("torvane_exit_status"), 0);
    EXPECT_GT(last.value("torvane_access_passes_total"), 10);
    EXPECT_GE(last.value("torvane_end_time_seconds"), *versions.rbegin());
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    for (const auto& entry : fs::directory_iterator(folder.path()))
        EXPECT_EQ(entry.path().filename(), "torvane.prom") << "left behind";
}
}  // namespace
