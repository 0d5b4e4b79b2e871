// The report as a file: a link at its path judged by where it leads, when
// the page is rewritten during a run, and the system's half that replaces
// a file whole (on real files in a folder of the test's own); what is
// refused at a report's path, end to end, is in report_cli_test.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "headless/record/report_file.h"
#include "headless/system/replace_file.h"
#include "run_output.h"

namespace {

// What the end-to-end table (report_cli_test.cpp) cannot make easily: a
// link is judged by where it leads, and one that leads nowhere is written.
TEST(ReportFile, JudgesALinkByWhereItLeads) {
    const struct {
        PathFacts facts;
        const char* fault;
    } cases[] = {
        {{PathKind::Link, PathKind::Missing}, ""},
        {{PathKind::Link, PathKind::File}, ""},
        {{PathKind::Link, PathKind::Folder}, "it is a folder"},
        {{PathKind::Link, PathKind::Device}, "it leads to a device"},
        {{PathKind::Link, PathKind::Socket}, "it leads to a socket"},
        {{PathKind::Socket, PathKind::Socket}, "it is a socket"},
    };
    for (const auto& c : cases) {
        const std::string fault = reportPathFault("r.html", c.facts, ReportClash::None);
        EXPECT_EQ(fault.substr(0, std::string(c.fault).size()), c.fault) << fault;
        EXPECT_EQ(fault.empty(), *c.fault == '\0') << fault;
    }
}

RunEvent eventAt(double elapsed, EventKind kind = EventKind::Sample) {
    RunEvent event;
    event.kind = kind;
    event.code = "x";
    event.text = "at " + std::to_string(elapsed);
    event.elapsed = elapsed;
    return event;
}

// A report whose pages go to a list instead of a file; a page fails while
// `failing` is set.
struct Pages {
    struct Page {
        std::string html;
        Durability durability;
    };
    std::vector<Page> written;
    std::vector<std::string> notes;
    bool failing = false;
    ReportFile report;

    explicit Pages(double every)
        : report(ReportHeader{"host", {"torvane-run"}, std::nullopt, 0, "-"}, every,
                 [this](const std::string& html, Durability durability, std::string& why) {
                     if (failing) {
                         why = "No space left on device";
                         return false;
                     }
                     written.push_back({html, durability});
                     return true;
                 },
                 [this](const std::string& why) {
                     notes.push_back(why);
                     // The note comes back to the report as an event, as logEvent gives it.
                     report.take(eventAt(99, EventKind::Error));
                 }) {}
};

// Every 2 s, or at every sample when --sample is shorter.
TEST(ReportFile, WritesAFirstPageUpdatesAsDueAndALastOne) {
    EXPECT_DOUBLE_EQ(reportUpdateSeconds(std::nullopt), 2.0);
    EXPECT_DOUBLE_EQ(reportUpdateSeconds(60000), 2.0);
    EXPECT_DOUBLE_EQ(reportUpdateSeconds(500), 0.5);

    Pages pages(2.0);
    pages.report.take(eventAt(0.1));  // before the first page: recorded, not written
    EXPECT_TRUE(pages.written.empty());
    std::string why;
    ASSERT_TRUE(pages.report.start(why));
    ASSERT_EQ(pages.written.size(), 1u);
    EXPECT_EQ(pages.written[0].durability, Durability::Disk);
    EXPECT_NE(pages.written[0].html.find("none yet"), std::string::npos);

    // Due at 2 s after the last page, whatever the kind of event.
    const struct {
        double at;
        EventKind kind;
        std::size_t pagesAfter;
    } steps[] = {{0.5, EventKind::Sample, 1}, {1.99, EventKind::Status, 1}, {2.0, EventKind::Status, 2},
                 {2.5, EventKind::Sample, 2},  {4.1, EventKind::Sample, 3},   {6.0, EventKind::Popup, 3},
                 {6.1, EventKind::Sample, 4}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.at);
        pages.report.take(eventAt(s.at, s.kind));
        EXPECT_EQ(pages.written.size(), s.pagesAfter);
    }
    EXPECT_EQ(pages.written[1].durability, Durability::Process);
    EXPECT_NE(pages.written[1].html.find("2.000 s so far"), std::string::npos);
    EXPECT_NE(pages.written[3].html.find("6.100 s so far"), std::string::npos);  // as far as the event that made it due
    EXPECT_NE(pages.written[3].html.find("at 6.000000"), std::string::npos);     // the pop-up before it is listed

    ASSERT_TRUE(pages.report.finish(143, 7.0, why));
    ASSERT_EQ(pages.written.size(), 5u);
    EXPECT_EQ(pages.written[4].durability, Durability::Disk);
    EXPECT_NE(pages.written[4].html.find("<dt>Exit status</dt><dd>143</dd>"), std::string::npos);
    // What is logged after the last page does not replace it.
    pages.report.take(eventAt(20));
    EXPECT_EQ(pages.written.size(), 5u);
    EXPECT_TRUE(pages.notes.empty());
}

TEST(ReportFile, SaysOnceWhenUpdatesFailAndAgainAfterOneSucceeds) {
    Pages pages(1.0);
    std::string why;
    // A first page that fails starts nothing: no update follows it.
    pages.failing = true;
    EXPECT_FALSE(pages.report.start(why));
    pages.failing = false;
    pages.report.take(eventAt(5.0));
    EXPECT_TRUE(pages.written.empty());
    ASSERT_TRUE(pages.report.start(why));
    pages.failing = true;
    for (double at : {6.0, 7.0, 8.0}) pages.report.take(eventAt(at));
    EXPECT_EQ(pages.notes, std::vector<std::string>{"No space left on device"});
    pages.failing = false;
    pages.report.take(eventAt(9.0));
    EXPECT_EQ(pages.written.size(), 2u);
    pages.failing = true;
    pages.report.take(eventAt(10.0));
    EXPECT_EQ(pages.notes.size(), 2u);
    // The last page's failure is the caller's to report, with the reason.
    EXPECT_FALSE(pages.report.finish(0, 11.0, why));
    EXPECT_EQ(why, "No space left on device");
    EXPECT_EQ(pages.notes.size(), 2u);
}

std::vector<std::string> namesIn(const Folder& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder.path())) found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ReplaceFile, ReplacesWholeAndLeavesNoTemporaryFile) {
    for (const Durability durability : {Durability::Disk, Durability::Process}) {
        Folder folder;
        const std::string path = folder.path() + "/r.html";
        std::string why;
        ASSERT_TRUE(replaceFile(path, "first", durability, std::nullopt, why)) << why;
        EXPECT_EQ(contentOf(path), "first");
        const std::string big(3 << 20, 'x');  // more than one write takes
        ASSERT_TRUE(replaceFile(path, big, durability, std::nullopt, why)) << why;
        EXPECT_EQ(contentOf(path), big);
        EXPECT_EQ(namesIn(folder), std::vector<std::string>{"r.html"});
    }
}

TEST(ReplaceFile, RefusesWhatIsNoFileAndLeavesItAsItWas) {
    Folder folder;
    ASSERT_EQ(mkfifo((folder.path() + "/fifo").c_str(), 0600), 0);
    fs::create_directory(folder.path() + "/dir");
    const struct {
        std::string path;
        const char* why;
        PathKind kind;
    } cases[] = {
        {folder.path() + "/fifo", "it is a FIFO, not a file", PathKind::Fifo},
        {folder.path() + "/dir", "it is a folder, not a file", PathKind::Folder},
        {folder.path() + "/dir/", "it is a folder, not a file", PathKind::Folder},
        {folder.path() + "/missing/r.html", "No such file or directory", PathKind::Missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string why;
        EXPECT_FALSE(replaceFile(c.path, "report", Durability::Process, std::nullopt, why));
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(pathFacts(c.path).kind, c.kind);
    }
    EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"dir", "fifo"}));
    EXPECT_TRUE(fs::is_empty(folder.path() + "/dir"));
}

TEST(ReplaceFile, GivesAnExactModeOrTheUmasksOne) {
    Folder folder;
    const mode_t before = umask(027);
    const struct {
        std::optional<unsigned> mode;
        unsigned expected;
    } cases[] = {{std::nullopt, 0640}, {0644u, 0644}, {0600u, 0600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string path = folder.path() + "/m" + std::to_string(c.expected);
        std::string why;
        ASSERT_TRUE(replaceFile(path, "x", Durability::Process, c.mode, why)) << why;
        struct stat state;
        ASSERT_EQ(stat(path.c_str(), &state), 0);
        EXPECT_EQ(state.st_mode & 07777, c.expected);
    }
    umask(before);
}

}  // namespace
