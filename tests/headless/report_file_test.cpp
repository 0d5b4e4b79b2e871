// The report as a file: which paths are refused and why, when the page is
// rewritten during a run, and the system's half that replaces a file whole
// (on real files in a folder of the test's own).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "headless/record/report_file.h"
#include "headless/system/replace_file.h"

namespace {
namespace fs = std::filesystem;

TEST(ReportFile, RefusesPathsThatCanNeverTakeAReport) {
    const PathFacts missing{}, file{PathKind::File, PathKind::File};
    const struct {
        const char* path;
        PathFacts facts;
        ReportClash clash;
        const char* fault;  // empty: written
    } cases[] = {
        {"run.html", missing, ReportClash::None, ""},
        {"run.html", file, ReportClash::None, ""},
        {"link.html", {PathKind::Link, PathKind::File}, ReportClash::None, ""},
        {"dangling.html", {PathKind::Link, PathKind::Missing}, ReportClash::None, ""},
        {"out", {PathKind::Folder, PathKind::Folder}, ReportClash::None, "it is a folder; give a file's path in it, e.g. --report out/run.html"},
        {"out/", missing, ReportClash::None, "it is a folder; give a file's path in it, e.g. --report out/run.html"},
        {"to-out", {PathKind::Link, PathKind::Folder}, ReportClash::None, "it is a folder"},
        {"f", {PathKind::Fifo, PathKind::Fifo}, ReportClash::None, "it is a FIFO, which a report cannot replace"},
        {"/dev/null", {PathKind::Device, PathKind::Device}, ReportClash::None, "it is a device, which"},
        {"s", {PathKind::Socket, PathKind::Socket}, ReportClash::None, "it is a socket, which"},
        {"tty", {PathKind::Link, PathKind::Device}, ReportClash::None, "it leads to a device, which"},
        {"a.evk", file, ReportClash::Script, "it is the script being run; the report would replace it"},
        {"/dev/stdout", {PathKind::Link, PathKind::File}, ReportClash::StandardStream, "it is where this run's own"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string fault = reportPathFault(c.path, c.facts, c.clash);
        if (*c.fault == '\0') {
            EXPECT_EQ(fault, "");
        } else {
            EXPECT_EQ(fault.substr(0, std::strlen(c.fault)), c.fault);
        }
    }
}

TEST(ReportFile, UpdatesEveryTwoSecondsOrAtEverySampleWhenShorter) {
    const struct {
        std::optional<std::uint64_t> sampleMs;
        double every;
    } cases[] = {{std::nullopt, 2.0}, {60000, 2.0}, {2000, 2.0}, {500, 0.5}, {50, 0.05}};
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(reportUpdateSeconds(c.sampleMs), c.every);
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

TEST(ReportFile, WritesAFirstPageUpdatesAsDueAndALastOne) {
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
    ASSERT_TRUE(pages.report.start(why));
    pages.failing = true;
    for (double at : {1.0, 2.0, 3.0}) pages.report.take(eventAt(at));
    EXPECT_EQ(pages.notes, std::vector<std::string>{"No space left on device"});
    pages.failing = false;
    pages.report.take(eventAt(4.0));
    EXPECT_EQ(pages.written.size(), 2u);
    pages.failing = true;
    pages.report.take(eventAt(5.0));
    EXPECT_EQ(pages.notes.size(), 2u);
    // The last page's failure is the caller's to report, with the reason.
    EXPECT_FALSE(pages.report.finish(0, 6.0, why));
    EXPECT_EQ(why, "No space left on device");
    EXPECT_EQ(pages.notes.size(), 2u);
}

TEST(ReportFile, AFirstPageThatCannotBeWrittenStartsNothing) {
    Pages pages(1.0);
    pages.failing = true;
    std::string why;
    EXPECT_FALSE(pages.report.start(why));
    EXPECT_EQ(why, "No space left on device");
    pages.failing = false;
    pages.report.take(eventAt(5.0));
    EXPECT_TRUE(pages.written.empty());
}

// A folder of the test's own, removed afterwards.
class Scratch {
public:
    Scratch() : path_(fs::temp_directory_path() / ("torvane_replace_" + std::to_string(getpid()) + "_" +
                                                   std::to_string(serial_++))) {
        fs::create_directories(path_);
    }
    ~Scratch() { fs::remove_all(path_); }
    std::string at(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(path_)) found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }

private:
    static inline int serial_ = 0;
    fs::path path_;
};

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(ReplaceFile, ReplacesWholeAndLeavesNoTemporaryFile) {
    for (const Durability durability : {Durability::Disk, Durability::Process}) {
        Scratch folder;
        const std::string path = folder.at("r.html");
        std::string why;
        ASSERT_TRUE(replaceFile(path, "first", durability, std::nullopt, why)) << why;
        EXPECT_EQ(contentOf(path), "first");
        const std::string big(3 << 20, 'x');  // more than one write takes
        ASSERT_TRUE(replaceFile(path, big, durability, std::nullopt, why)) << why;
        EXPECT_EQ(contentOf(path), big);
        EXPECT_EQ(folder.names(), std::vector<std::string>{"r.html"});
    }
}

// A link at the target is replaced by the file, and what it led to is left
// as it was: another user's link in a shared folder cannot aim the report.
TEST(ReplaceFile, ReplacesALinkAndNeverFollowsIt) {
    Scratch folder;
    const std::string target = folder.at("target"), link = folder.at("r.html"), dangling = folder.at("d.html");
    put(target, "keep me");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink(folder.at("nowhere").c_str(), dangling.c_str()), 0);
    std::string why;
    for (const std::string& path : {link, dangling}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(replaceFile(path, "report", Durability::Process, std::nullopt, why)) << why;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_EQ(contentOf(path), "report");
    }
    EXPECT_EQ(contentOf(target), "keep me");
    EXPECT_FALSE(fs::exists(folder.at("nowhere")));
}

TEST(ReplaceFile, RefusesWhatIsNoFileAndLeavesItAsItWas) {
    Scratch folder;
    ASSERT_EQ(mkfifo(folder.at("fifo").c_str(), 0600), 0);
    fs::create_directory(folder.at("dir"));
    const struct {
        std::string path;
        const char* why;
        PathKind kind;
    } cases[] = {
        {folder.at("fifo"), "it is a FIFO, not a file", PathKind::Fifo},
        {folder.at("dir"), "it is a folder, not a file", PathKind::Folder},
        {folder.at("dir") + "/", "it is a folder, not a file", PathKind::Folder},
        {folder.at("missing/r.html"), "No such file or directory", PathKind::Missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string why;
        EXPECT_FALSE(replaceFile(c.path, "report", Durability::Process, std::nullopt, why));
        EXPECT_EQ(why, c.why);
        EXPECT_EQ(pathFacts(c.path).kind, c.kind);
    }
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"dir", "fifo"}));
    EXPECT_TRUE(fs::is_empty(folder.at("dir")));
}

TEST(ReplaceFile, GivesAnExactModeOrTheUmasksOne) {
    Scratch folder;
    const mode_t before = umask(027);
    const struct {
        std::optional<unsigned> mode;
        unsigned expected;
    } cases[] = {{std::nullopt, 0640}, {0644u, 0644}, {0600u, 0600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string path = folder.at("m" + std::to_string(c.expected));
        std::string why;
        ASSERT_TRUE(replaceFile(path, "x", Durability::Process, c.mode, why)) << why;
        struct stat state;
        ASSERT_EQ(stat(path.c_str(), &state), 0);
        EXPECT_EQ(state.st_mode & 07777, c.expected);
    }
    umask(before);
}

TEST(ReplaceFile, TellsPathsApartByWhatTheyAre) {
    Scratch folder;
    const std::string file = folder.at("a.evk");
    put(file, "EVKScript\n");
    ASSERT_EQ(link(file.c_str(), folder.at("hard.evk").c_str()), 0);
    ASSERT_EQ(symlink(file.c_str(), folder.at("soft.evk").c_str()), 0);
    put(folder.at("other.evk"), "EVKScript\n");
    fs::create_directory(folder.at("sub"));
    const struct {
        std::string path;
        PathKind kind, leadsTo;
        bool same;
    } cases[] = {
        {file, PathKind::File, PathKind::File, true},
        {folder.at("hard.evk"), PathKind::File, PathKind::File, true},
        {folder.at("soft.evk"), PathKind::Link, PathKind::File, true},
        {folder.at("sub/../a.evk"), PathKind::File, PathKind::File, true},
        {folder.at("other.evk"), PathKind::File, PathKind::File, false},
        {folder.at("sub"), PathKind::Folder, PathKind::Folder, false},
        {folder.at("none"), PathKind::Missing, PathKind::Missing, false},
        {"/dev/null", PathKind::Device, PathKind::Device, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const PathFacts facts = pathFacts(c.path);
        EXPECT_EQ(facts.kind, c.kind);
        EXPECT_EQ(facts.leadsTo, c.leadsTo);
        EXPECT_EQ(sameFile(c.path, file), c.same);
    }
}

// The test's own standard error, moved onto a file of its own for the case.
TEST(ReplaceFile, KnowsTheProcessesOwnStreams) {
    Scratch folder;
    const std::string file = folder.at("err.txt"), link = folder.at("err-link");
    put(file, "");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    put(folder.at("other"), "");
    const int saved = dup(STDERR_FILENO);
    const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    const bool direct = isStandardStream(file), throughLink = isStandardStream(link),
               other = isStandardStream(folder.at("other")), missing = isStandardStream(folder.at("none"));
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);
    EXPECT_TRUE(direct);
    EXPECT_TRUE(throughLink);
    EXPECT_FALSE(other);
    EXPECT_FALSE(missing);
}
}  // namespace
