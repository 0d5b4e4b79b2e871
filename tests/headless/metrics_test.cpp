// The metrics: the exposition text against the format's rules, the table of
// metrics, the figures that follow a run's events, --metrics' address, the
// textfile's schedule and content, and the endpoint itself on a port of
// 127.0.0.1 (requests good and bad, idle connections).
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "exposition_reader.h"
#include "headless/cli/metrics_address.h"
#include "headless/metrics/exposition.h"
#include "headless/metrics/live_figures.h"
#include "headless/metrics/metrics_endpoint.h"
#include "headless/metrics/metrics_file.h"
#include "headless/record/run_event.h"
#include "http_get.h"

namespace {

FiguresReading fullReading() {
    FiguresReading reading;
    reading.held = 64ull << 20;
    reading.requested = 64ull << 20;
    reading.targetRoom = 2ull << 30;
    reading.resident = 70ull << 20;
    reading.committed = 72ull << 20;
    reading.room = 3ull << 30;
    reading.roomTotal = 1ull << 34;
    reading.totalSource = "cgroup";
    reading.adjustments = 3;
    reading.accessPasses = 10;
    reading.accessWritten = 640ull << 20;
    reading.commandRunning = true;
    reading.version = "3.0.0";
    reading.mode = "keep-available";
    reading.kind = "anon";
    return reading;
}

TEST(MetricsTable, NamesTypesAndHelpKeepTheFormatsConventions) {
    std::set<std::string> names;
    for (unsigned i = 0; i < kMetricRowCount; ++i) {
        const MetricRow& row = kMetricRows[i];
        const std::string name = row.name;
        EXPECT_TRUE(isMetricName(name)) << name;
        EXPECT_EQ(name.rfind("torvane_", 0), 0u) << name;
        EXPECT_TRUE(names.insert(name).second) << name << " twice";
        EXPECT_FALSE(std::string(row.help).empty()) << name;
        const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
        EXPECT_EQ(total, row.type == MetricType::Counter) << name << ": counters, and only they, end in _total";
        // Base units: bytes and seconds, never kilo- or mebi-.
        EXPECT_EQ(name.find("_kb"), std::string::npos) << name;
        EXPECT_EQ(name.find("_mib"), std::string::npos) << name;
    }
}

TEST(Exposition, AFullReadingKeepsEveryRuleAndGivesEachFigure) {
    const std::string text = expositionText(metricFamilies(fullReading()));
    const ReadExposition read = readExposition(text);
    EXPECT_TRUE(read.problems.empty()) << read.problems.front() << "\n" << text;
    const struct {
        const char* name;
        std::map<std::string, std::string> labels;
        double value;
        const char* type;
    } expected[] = {
        {"torvane_info", {{"version", "3.0.0"}, {"mode", "keep-available"}, {"kind", "anon"}}, 1, "gauge"},
        {"torvane_held_bytes", {}, 67108864, "gauge"},
        {"torvane_requested_bytes", {}, 67108864, "gauge"},
        {"torvane_target_room_bytes", {}, 2147483648.0, "gauge"},
        {"torvane_resident_bytes", {}, 73400320, "gauge"},
        {"torvane_committed_bytes", {}, 75497472, "gauge"},
        {"torvane_room_bytes", {}, 3221225472.0, "gauge"},
        {"torvane_room_total_bytes", {{"source", "cgroup"}}, 17179869184.0, "gauge"},
        {"torvane_adjustments_total", {}, 3, "counter"},
        {"torvane_access_passes_total", {}, 10, "counter"},
        {"torvane_access_written_bytes_total", {}, 671088640, "counter"},
        {"torvane_command_running", {}, 1, "gauge"},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(read.value(e.name, e.labels), e.value) << e.name;
        EXPECT_EQ(read.types.at(e.name), e.type) << e.name;
        EXPECT_FALSE(read.helps.at(e.name).empty()) << e.name;
    }
    EXPECT_EQ(read.samples.size(), std::size(expected));
}

TEST(Exposition, AFigureThatCannotBeReadIsLeftOutNotMadeUp) {
    FiguresReading reading = fullReading();
    reading.room.reset();
    reading.roomTotal.reset();
    reading.targetRoom.reset();
    reading.resident.reset();
    const std::string text = expositionText(metricFamilies(reading));
    for (const char* gone : {"torvane_room_bytes", "torvane_room_total_bytes", "torvane_target_room_bytes",
                             "torvane_resident_bytes"}) {
        EXPECT_EQ(text.find(std::string(gone) + " "), std::string::npos) << gone << " in\n" << text;
        EXPECT_EQ(text.find(std::string("# TYPE ") + gone + " "), std::string::npos) << gone;
    }
    EXPECT_TRUE(readExposition(text).problems.empty());
}

TEST(Exposition, EscapesLabelValuesAndHelpAsTheFormatSays) {
    const struct {
        const char* raw;
        const char* label;
        const char* help;
    } cases[] = {
        {"plain", "plain", "plain"},
        {"a\\b", "a\\\\b", "a\\\\b"},
        {"say \"hi\"", "say \\\"hi\\\"", "say \"hi\""},
        {"two\nlines", "two\\nlines", "two\\nlines"},
        {"\\n", "\\\\n", "\\\\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapedLabelValue(c.raw), c.label) << c.raw;
        EXPECT_EQ(escapedHelp(c.raw), c.help) << c.raw;
        // And back: what a reader takes from the text is the value itself.
        const std::string text = expositionText({{"x_info", MetricType::Gauge, c.raw, {{{{"v", c.raw}}, 1}}}});
        const ReadExposition read = readExposition(text);
        ASSERT_TRUE(read.problems.empty()) << read.problems.front() << "\n" << text;
        EXPECT_EQ(read.samples.at(0).labels.at("v"), c.raw);
        EXPECT_EQ(read.helps.at("x_info"), c.raw);
    }
}

TEST(Exposition, WritesValuesExactlyAndTheSpecialOnesByName) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0, "0"},
        {1, "1"},
        {1073741824.0, "1073741824"},
        {9007199254740992.0, "9007199254740992"},  // 2^53, the last integer a double holds exactly
        {0.5, "0.5"},
        {1796700764.2032161, "1796700764.2032161"},
        {-3, "-3"},
        {std::nan(""), "NaN"},
        {INFINITY, "+Inf"},
        {-INFINITY, "-Inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(sampleValueText(c.value), c.text);
}

RunEvent event(EventKind kind, std::optional<std::uint64_t> requested = std::nullopt) {
    RunEvent made;
    made.kind = kind;
    made.requested = requested;
    return made;
}

// The run's events drive the figures; counters, read after each step, never
// go down, and the gauges follow what happened.
TEST(LiveFigures, FollowTheRunsEventsAndCountersNeverDecrease) {
    LiveFigures figures;
    LiveFiguresSink sink(figures);
    const struct {
        RunEvent event;
        std::uint64_t passBytes;  // an access pass before the event, if any
        double adjustments, passes, written, running, requested;
    } steps[] = {
        {event(EventKind::HoldStart, 256), 0, 0, 0, 0, 0, 256},
        {event(EventKind::Sample), 256, 0, 1, 256, 0, 256},
        {event(EventKind::Adjust, 512), 512, 1, 2, 768, 0, 512},
        {event(EventKind::Adjust), 0, 2, 2, 768, 0, 512},
        {event(EventKind::CommandStart), 512, 2, 3, 1280, 1, 512},
        {event(EventKind::Sample), 512, 2, 4, 1792, 1, 512},
        {event(EventKind::CommandEnd), 0, 2, 4, 1792, 0, 512},
        {event(EventKind::Release), 0, 2, 4, 1792, 0, 512},
    };
    std::map<std::string, double> last;
    for (const auto& step : steps) {
        if (step.passBytes) {
            figures.accessPasses.fetch_add(1);
            figures.accessWritten.fetch_add(step.passBytes);
        }
        sink.take(step.event);
        FiguresReading reading;
        reading.held = 0;
        reading.requested = figures.requested.load();
        reading.adjustments = figures.adjustments.load();
        reading.accessPasses = figures.accessPasses.load();
        reading.accessWritten = figures.accessWritten.load();
        reading.commandRunning = figures.commandRunning.load();
        const ReadExposition read = readExposition(expositionText(metricFamilies(reading)));
        ASSERT_TRUE(read.problems.empty()) << read.problems.front();
        EXPECT_EQ(read.value("torvane_adjustments_total"), step.adjustments);
        EXPECT_EQ(read.value("torvane_access_passes_total"), step.passes);
        EXPECT_EQ(read.value("torvane_access_written_bytes_total"), step.written);
        EXPECT_EQ(read.value("torvane_command_running"), step.running);
        EXPECT_EQ(read.value("torvane_requested_bytes"), step.requested);
        for (const auto& [name, type] : read.types) {
            if (type != "counter") continue;
            EXPECT_GE(read.value(name), last[name]) << name << " went down";
            last[name] = read.value(name);
        }
    }
    // The room kept comes with the events once the level is set.
    EXPECT_EQ(figures.targetRoom.load(), LiveFigures::kNone);
    RunEvent keep = event(EventKind::Keep);
    keep.targetRoom = 2ull << 30;
    sink.take(keep);
    EXPECT_EQ(figures.targetRoom.load(), 2ull << 30);
}

TEST(MetricsAddress, ReadsNumericAddressesAndPortsAndSaysWhatIsWrong) {
    const struct {
        const char* text;
        const char* host;  // null: refused
        bool ipv6;
        unsigned port;
        const char* why;  // a part of the refusal
    } cases[] = {
        {"9464", "127.0.0.1", false, 9464, ""},
        {"0.0.0.0:9464", "0.0.0.0", false, 9464, ""},
        {"10.1.2.3:1", "10.1.2.3", false, 1, ""},
        {"127.0.0.1:65535", "127.0.0.1", false, 65535, ""},
        {"[::1]:9464", "::1", true, 9464, ""},
        {"[::]:9464", "::", true, 9464, ""},
        {"[fe80::1:2]:80", "fe80::1:2", true, 80, ""},
        {"[::ffff:10.0.0.1]:80", "::ffff:10.0.0.1", true, 80, ""},
        {"localhost:9464", nullptr, false, 0, "is a host name"},
        {"prometheus.local:9464", nullptr, false, 0, "is a host name"},
        {"::1:9464", nullptr, false, 0, "in brackets"},
        {"[::1]", nullptr, false, 0, "no port"},
        {"[::g]:80", nullptr, false, 0, "not an IPv6 address"},
        {"[1::2::3]:80", nullptr, false, 0, "not an IPv6 address"},
        {"256.0.0.1:80", nullptr, false, 0, "not an IPv4 address"},
        {"1.2.3:80", nullptr, false, 0, "not an IPv4 address"},
        {"01.2.3.4:80", nullptr, false, 0, "not an IPv4 address"},
        {":9464", nullptr, false, 0, "address before ':' is missing"},
        {"0", nullptr, false, 0, "not a port from 1 to 65535"},
        {"65536", nullptr, false, 0, "not a port from 1 to 65535"},
        {"127.0.0.1:99999999", nullptr, false, 0, "not a port from 1 to 65535"},
        {"127.0.0.1:", nullptr, false, 0, "not a port"},
        {"94x", nullptr, false, 0, "not a port"},
        {"", nullptr, false, 0, "not a port"},
    };
    for (const auto& c : cases) {
        std::string why;
        const std::optional<MetricsAddress> address = parseMetricsAddress(c.text, why);
        ASSERT_EQ(address.has_value(), c.host != nullptr) << c.text << ": " << why;
        if (!address) {
            EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
            EXPECT_NE(why.find("9464"), std::string::npos) << c.text << ": no example in " << why;
            continue;
        }
        EXPECT_EQ(address->host, c.host);
        EXPECT_EQ(address->ipv6, c.ipv6) << c.text;
        EXPECT_EQ(address->port, c.port) << c.text;
    }
    MetricsAddress v6;
    v6.host = "::1";
    v6.ipv6 = true;
    v6.port = 80;
    EXPECT_EQ(shownAddress(v6), "[::1]:80");
}

RunEvent at(double elapsed) {
    RunEvent made;
    made.kind = EventKind::Sample;
    made.elapsed = elapsed;
    return made;
}

// The textfile's writes go to a list; one fails while `failing` is set.
struct Writes {
    std::vector<std::string> texts;
    std::vector<Durability> durabilities;
    bool failing = false;
    std::vector<std::string> notes;
    MetricsFile file(double every, double* clock) {
        return MetricsFile(
            [] { return fullReading(); }, every,
            [this](const std::string& text, Durability durability, std::string& why) {
                if (failing) {
                    why = "No space left on device";
                    return false;
                }
                texts.push_back(text);
                durabilities.push_back(durability);
                return true;
            },
            [this](const std::string& why) { notes.push_back(why); }, [clock] { return *clock; });
    }
};

TEST(MetricsFile, WritesFirstAsDueAndLastWithTheEnd) {
    Writes writes;
    double clock = 1000;
    MetricsFile file = writes.file(1.0, &clock);
    std::string why;
    ASSERT_TRUE(file.start(why)) << why;
    const double events[] = {0.2, 0.9, 1.0, 1.5, 2.1, 2.2, 5.0};
    for (double elapsed : events) {
        clock = 1000 + elapsed;
        file.take(at(elapsed));
    }
    // Due at 1.0 (a second after the start), 2.1, then 5.0.
    ASSERT_EQ(writes.texts.size(), 4u);
    clock = 1006.5;
    ASSERT_TRUE(file.finish(3, why));
    file.take(at(9));  // nothing after the last
    ASSERT_EQ(writes.texts.size(), 5u);
    EXPECT_EQ(writes.durabilities.front(), Durability::Disk);
    EXPECT_EQ(writes.durabilities[1], Durability::Process);
    EXPECT_EQ(writes.durabilities.back(), Durability::Disk);
    const double updates[] = {1000, 1001, 1002.1, 1005, 1006.5};
    for (std::size_t i = 0; i < writes.texts.size(); ++i) {
        const ReadExposition read = readExposition(writes.texts[i]);
        ASSERT_TRUE(read.problems.empty()) << read.problems.front();
        EXPECT_DOUBLE_EQ(read.value("torvane_last_update_time_seconds"), updates[i]);
        const bool last = i + 1 == writes.texts.size();
        EXPECT_EQ(read.value("torvane_held_bytes"), last ? 0 : 67108864.0);
        EXPECT_EQ(read.has("torvane_exit_status"), last);
        EXPECT_EQ(read.has("torvane_end_time_seconds"), last);
        if (last) {
            EXPECT_EQ(read.value("torvane_exit_status"), 3);
            EXPECT_EQ(read.value("torvane_end_time_seconds"), 1006.5);
            EXPECT_EQ(read.value("torvane_command_running"), 0);
        }
    }
}

TEST(MetricsFile, SaysOnceWhenWritesFailAndAgainAfterOneSucceeds) {
    Writes writes;
    double clock = 0;
    MetricsFile file = writes.file(1.0, &clock);
    std::string why;
    ASSERT_TRUE(file.start(why));
    writes.failing = true;
    for (double elapsed : {1.0, 2.0, 3.0}) file.take(at(elapsed));
    writes.failing = false;
    file.take(at(4.0));
    writes.failing = true;
    file.take(at(5.0));
    EXPECT_EQ(writes.notes, (std::vector<std::string>{"No space left on device", "No space left on device"}));
    EXPECT_EQ(writes.texts.size(), 2u);
}

TEST(MetricsFile, RefusesPathsItCanNeverTake) {
    const struct {
        const char* path;
        PathFacts facts;
        bool script, stream, report;
        const char* fault;  // the refusal's start; "" to write
    } cases[] = {
        {"torvane.prom", {}, false, false, false, ""},
        {"/var/lib/node/x.prom", {PathKind::File, PathKind::File}, false, false, false, ""},
        {"torvane.txt", {}, false, false, false, "the name must end in .prom"},
        {".prom", {}, false, false, false, "the name must end in .prom"},
        {"torvane.prom.tmp", {}, false, false, false, "the name must end in .prom"},
        {"d.prom", {PathKind::Folder, PathKind::Folder}, false, false, false, "it is a folder"},
        {"f.prom", {PathKind::Fifo, PathKind::Fifo}, false, false, false, "it is a FIFO"},
        {"l.prom", {PathKind::Link, PathKind::Device}, false, false, false, "it leads to a device"},
        {"s.prom", {PathKind::File, PathKind::File}, true, false, false, "it is the script being run"},
        {"o.prom", {PathKind::File, PathKind::File}, false, true, false, "it is where this run's own"},
        {"r.prom", {}, false, false, true, "it is the --report file too"},
    };
    for (const auto& c : cases) {
        const std::string fault = metricsFilePathFault(c.path, c.facts, c.script, c.stream, c.report);
        EXPECT_EQ(fault.substr(0, std::string(c.fault).size()), c.fault) << c.path << ": " << fault;
        EXPECT_EQ(fault.empty(), *c.fault == '\0') << c.path << ": " << fault;
        if (!fault.empty()) EXPECT_NE(fault.find("--metrics-file"), std::string::npos) << fault;
    }
}

// ---- the endpoint, on a port of 127.0.0.1 ----

class Endpoint : public ::testing::Test {
protected:
    void SetUp() override {
        address_.port = freeLocalPort();
        std::string why;
        ASSERT_TRUE(endpoint_.open(address_, why)) << why;
        ASSERT_TRUE(endpoint_.start([this] { return body(); }, why)) << why;
    }
    std::string body() {
        FiguresReading reading = fullReading();
        reading.accessPasses = ++scrapes_;
        return expositionText(metricFamilies(reading));
    }
    std::uint16_t port() const { return address_.port; }

    MetricsAddress address_;
    MetricsEndpoint endpoint_;
    std::atomic<unsigned> scrapes_{0};
};

TEST_F(Endpoint, AnswersEachRequestAsTheRulesSay) {
    const std::string metricsType = kExpositionContentType;
    const struct {
        const char* what;
        std::string request;
        int status;
        bool hasFigures;  // the body holds the exposition
        bool closes;
    } cases[] = {
        {"a scrape", "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200, true, false},
        {"a scrape with a query", "GET /metrics?name[]=x HTTP/1.1\r\nHost: x\r\n\r\n", 200, true, false},
        {"HTTP/1.0", "GET /metrics HTTP/1.0\r\n\r\n", 200, true, true},
        {"asking for another format",
         "GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: application/openmetrics-text; version=1.0.0\r\n\r\n", 200, true,
         false},
        {"asking to close", "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200, true, true},
        {"HEAD", "HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200, false, false},
        {"another path", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 404, false, false},
        {"a near path", "GET /metricsx HTTP/1.1\r\nHost: x\r\n\r\n", 404, false, false},
        {"another method", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405, false, false},
        {"not HTTP", "HELLO THERE\r\n\r\n", 400, false, true},
        {"a bad version", "GET /metrics HTTP/9\r\n\r\n", 400, false, true},
        {"a body", "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 400, false, true},
        {"too long a header",
         "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(kMetricsHeaderBytes, 'a') + "\r\n\r\n", 400,
         false, true},
    };
    for (const auto& c : cases) {
        const HttpAnswer answer = exchange(port(), c.request);
        EXPECT_EQ(answer.status, c.status) << c.what;
        EXPECT_EQ(answer.closed, c.closes) << c.what;
        const ReadExposition read = readExposition(answer.body);
        EXPECT_EQ(read.has("torvane_held_bytes"), c.hasFigures) << c.what << ":\n" << answer.body;
        if (c.status == 200) {
            EXPECT_EQ(answer.headers.at("content-type"), metricsType) << c.what;
            EXPECT_TRUE(read.problems.empty()) << c.what;
            EXPECT_GT(std::stoul(answer.headers.at("content-length")), 1000u) << c.what;
        }
    }
}

// Idle connections beyond the bound give way to a new one, oldest first, so
// a scrape is answered while they stay open.
TEST_F(Endpoint, IdleConnectionsNeitherKeepAScrapeOutNorStayPastTheBound) {
    std::vector<int> idle;
    for (int i = 0; i < 50; ++i) {
        const int fd = connectLocal(port());
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    const HttpAnswer answer = httpGet(port(), "/metrics", 3000);
    EXPECT_EQ(answer.status, 200);
    EXPECT_TRUE(readExposition(answer.body).has("torvane_held_bytes"));
    // Of the 50, the newest stay (fewer than the bound, as the scrape took a
    // place), the oldest have been closed.
    EXPECT_TRUE(closedWithin(idle.front(), 2000)) << "the oldest idle connection was kept";
    unsigned open = 0;
    for (int fd : idle) open += !closedWithin(fd, 20);
    EXPECT_LE(open, kMetricsConnections);
    EXPECT_GE(open, kMetricsConnections - 2);
    for (int fd : idle) close(fd);
}

TEST_F(Endpoint, AClientThatSendsNothingIsClosedAfterTheTimeout) {
    const int fd = connectLocal(port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, "GET /met", 8, MSG_NOSIGNAL), 8);
    EXPECT_FALSE(closedWithin(fd, 1000)) << "closed long before its time";
    EXPECT_TRUE(closedWithin(fd, (kMetricsTimeoutSeconds + 2) * 1000));
    close(fd);
}

}  // namespace
