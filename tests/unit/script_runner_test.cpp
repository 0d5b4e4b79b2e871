#include "script/script_runner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "script/box_styles.h"
#include "shell/resource_ids.h"

namespace {
using Log = std::vector<std::string>;
using namespace box_styles;

std::string box(const std::string& text, int caption, unsigned style) {
    char styleText[16];
    std::snprintf(styleText, sizeof styleText, "%#x", style);
    return "box " + text + "|" + std::to_string(caption) + "|" + styleText;
}
const std::string kConfirm = box("S42", IDS_CONFIRM_CAPTION, kYesNo | kIconQuestion);

class FakeHost : public ScriptHost {
public:
    explicit FakeHost(Log& log) : log_(log) {}
    Choice choice = Choice::Chosen;
    std::string path;
    std::string loadFailedFormat = "Failed to load %s.";
    std::deque<int> answers;  // for Yes/No boxes; Yes once they run out

    Choice chooseFile(std::string& chosen) override {
        chosen = path;
        return choice;
    }
    void showStatus(int id) override { log_.push_back("status " + std::to_string(id)); }
    std::string loadString(int id) override {
        return id == IDS_SCRIPT_LOAD_FAILED ? loadFailedFormat : std::string("S").append(std::to_string(id));
    }
    int messageBox(const char* text, int caption, unsigned style) override {
        log_.push_back(box(text, caption, style));
        if (!(style & kYesNo)) return kIdOk;
        if (answers.empty()) return kIdYes;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void sleepMilliseconds(std::uint64_t ms) override { log_.push_back("sleep " + std::to_string(ms)); }
    void runCommand(const char* command) override { log_.push_back("run " + std::string(command)); }

private:
    Log& log_;
};

// Hands out addresses of its own arena, never real memory; refuses sizes
// above `grantUpTo`.
class FakeAllocator : public BlockAllocator {
public:
    explicit FakeAllocator(Log& log) : log_(log) {}
    std::uint64_t grantUpTo = std::uint64_t{1} << 40;

    void* takeNormal(std::uint64_t bytes) override { return take("take ", bytes); }
    void releaseNormal(void* block) override { log_.push_back("free #" + id(block)); }
    void* createHeap() override {
        log_.push_back("heap");
        return &arena_[++served_];
    }
    void* takeFromHeap(void*, std::uint64_t bytes) override { return take("heap-take ", bytes); }
    void destroyHeap(void* heap) override { log_.push_back("destroy #" + id(heap)); }
    bool makeResident(void*, std::uint64_t bytes) override {
        log_.push_back("resident " + std::to_string(bytes));
        return true;
    }
    std::uint64_t commitLimit() override { return UINT64_MAX - 1; }

private:
    void* take(const char* what, std::uint64_t bytes) {
        const bool granted = bytes <= grantUpTo;
        log_.push_back(what + std::to_string(bytes) + (granted ? "" : " failed"));
        return granted ? &arena_[++served_] : nullptr;
    }
    std::string id(void* p) { return std::to_string(static_cast<unsigned char*>(p) - arena_); }
    Log& log_;
    unsigned char arena_[64] = {};
    int served_ = 0;
};

std::string writeScript(const std::string& bytes) {
    static int serial = 0;
    const auto path = std::filesystem::temp_directory_path() /
                      ("torvane_runner_" + std::to_string(::getpid()) + "_" + std::to_string(serial++) + ".evk");
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
}

struct Outcome {
    Log log;
    int result;
    LoadBlock load;
};

Outcome run(const std::string& file, int physicalMode = 0, std::deque<int> answers = {}) {
    Outcome r;
    FakeHost host(r.log);
    FakeAllocator allocator(r.log);
    host.path = writeScript(file);
    host.answers = std::move(answers);
    r.result = runScript(host, r.load, allocator, physicalMode);
    std::filesystem::remove(host.path);
    return r;
}

TEST(ScriptRunner, CommandsAfterConfirmation) {
    const std::string piece = "# " + std::string(1021, 'x');  // a 1,023-byte piece
    const struct {
        std::string body;
        Log expected;
        int result;
    } cases[] = {
        {"", {"status 51"}, 0},
        {"sleep 3\n", {"status 45", "sleep 3000", "status 1", "status 51"}, 0},
        {"Sleep 2.5\nSLEEP x\nsleep -5\n",
         {"status 45", "sleep 2000", "status 1", "status 45", "sleep 0", "status 1", "status 45", "sleep 0",
          "status 1", "status 51"}, 0},
        {"sleep 2147483647\n", {"status 45", "sleep 2147483647000", "status 1", "status 51"}, 0},
        {"sleep", {"status 45", "sleep 0", "status 1", "status 51"}, 0},
        {"popup Hello world\npopup Starting\r\n",
         {box("Hello", 47, 0x40), box("Starting\n", 47, 0x40), "status 51"}, 0},
        {"popup   ", {box("", 47, 0x40), "status 51"}, 0},
        {"allocate 16\nkallocate 16\nmallocate 10 MB\n",
         {"status 48", "take 16", "status 22", "take 16384", "status 22", "take 10485760", "status 51"}, 0},
        {"mallocate 4096\nallocate", {"status 22", "take 4294967296", "status 48", "take 0", "status 51"}, 0},
        {"allocate -1\nsleep 1\n", {"status 48", box("S49", 39, 0x10)}, 1},
        {"kallocate -1\n", {"status 22", box("S23", 39, 0x10)}, 1},
        {"mallocate 2000000\n", {"status 22", "take 2097152000000 failed", box("S23", 39, 0x10)}, 1},
        {"mallocate 1\nrelease \nfree \n",
         {"status 22", "take 1048576", "status 25", "free #1", "status 25", box("S50", 39, 0x10)}, 1},
        {"mallocate 1\nmallocate 2\nFREE x\n",
         {"status 22", "take 1048576", "status 22", "take 2097152", "status 25", "free #2", "status 51"}, 0},
        {"release\nend\nfree \n", {"status 25", box("S50", 39, 0x10)}, 1},
        {"end \nsleep 60\n", {"status 51"}, 0},
        {"sleep 1\nEND", {"status 45", "sleep 1000", "status 1", "status 51"}, 0},
        {"asktoquit \nsleep 1\n", {box("S39", 39, 0x10)}, 0},
        {"run cleanup.bat\nrun notepad.exe readme.txt\n",
         {"status 44", "run cleanup.bat", "status 44", "run notepad.exe", "status 51"}, 0},
        {"run \nrun", {"status 44", "status 44", "status 51"}, 0},
        {"# hold\n\n   \n\tsleep 5\nsleep\t5\nslep 1\n# \n", {"status 51"}, 0},
        {std::string("x\0sleep 5\n\0sleep 5\n", 20), {"status 51"}, 0},
        {"   sleep 1\x1Asleep 2\n", {"status 45", "sleep 1000", "status 1", "status 51"}, 0},
        {piece + "sleep 7\n", {"status 45", "sleep 7000", "status 1", "status 51"}, 0},
        {std::string(1018, ' ') + "popupabc\n", {box("", 47, 0x40), "status 51"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        const Outcome r = run("EVKScript\n" + c.body);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.front(), kConfirm);
        EXPECT_EQ(Log(r.log.begin() + 1, r.log.end()), c.expected);
        EXPECT_EQ(r.result, c.result);
    }
}

TEST(ScriptRunner, PhysicalModeBlocksAreResidentAndLeaveSizeAlone) {
    const Outcome r = run("EVKScript\nmallocate 1\nrelease \nkallocate 1\n", 1);
    EXPECT_EQ(r.log, (Log{kConfirm, "status 22", "heap", "heap-take 1048576", "resident 1048576", "status 25",
                          "destroy #1", "status 22", "heap", "heap-take 1024", "resident 1024", "status 51"}));
    EXPECT_EQ(r.load.allocated, 0);
    EXPECT_EQ(r.load.size, 0u);
}

TEST(ScriptRunner, StopsBeforeInterpreting) {
    const std::string notEvk = box("S40", IDS_ILLEGAL_FILE, 0x10);
    const struct {
        std::string file;
        std::deque<int> answers;
        Log expected;
    } cases[] = {
        {"", {}, {notEvk}},
        {"EVKScript", {}, {notEvk}},
        {"evkscript\nsleep 1\n", {}, {notEvk}},
        {"EVKScript \n", {}, {notEvk}},
        {"EVKScript\nsleep 1\n", {kIdNo}, {kConfirm}},
        {"EVKScript\nsleep 1\n", {0}, {kConfirm}},  // the box itself failed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Outcome r = run(c.file, 0, c.answers);
        EXPECT_EQ(r.log, c.expected);
        EXPECT_EQ(r.result, 1);
    }
}

TEST(ScriptRunner, DialogOutcomes) {
    const std::string longPath = "/nonexistent/" + std::string(5000, 'p') + ".evk";
    const struct {
        ScriptHost::Choice choice;
        std::string path, format;
        Log expected;
    } cases[] = {
        {ScriptHost::Choice::Cancelled, "", "Failed to load %s.", {}},
        {ScriptHost::Choice::Chosen, "", "Failed to load %s.", {}},
        {ScriptHost::Choice::Failed, "toolong.evk", "Failed to load %s.", {box("Failed to load toolong.evk.", 39, 0x10)}},
        {ScriptHost::Choice::Chosen, longPath, "Failed to load %s.", {box("Failed to load " + longPath + ".", 39, 0x10)}},
        {ScriptHost::Choice::Chosen, "/nonexistent/a%s%n.evk", "%sの読み込みに失敗しました。",
         {box("/nonexistent/a%s%n.evkの読み込みに失敗しました。", 39, 0x10)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        Log log;
        FakeHost host(log);
        FakeAllocator allocator(log);
        host.choice = c.choice;
        host.path = c.path;
        host.loadFailedFormat = c.format;
        LoadBlock load;
        EXPECT_EQ(runScript(host, load, allocator, 0), 1);
        EXPECT_EQ(log, c.expected);
    }
}

TEST(ScriptRunner, LoadFailureFormatInterpretsOnlyItsPlaceholder) {
    EXPECT_EQ(formatLoadFailure("100%% %s %s %d%", "p"), "100% p %s %d%");
    EXPECT_EQ(formatLoadFailure("no placeholder", "p"), "no placeholder");
}

TEST(ScriptRunner, BlockOfAnEarlierRunIsNeverReleased) {
    Log log;
    FakeHost host(log);
    FakeAllocator allocator(log);
    host.path = writeScript("EVKScript\nrelease \n");
    LoadBlock load;
    ASSERT_EQ(allocateBlock(load, allocator, 0, 64, PageTouch::WriteAll), 0);
    EXPECT_EQ(runScript(host, load, allocator, 0), 1);
    EXPECT_EQ(log, (Log{"take 64", kConfirm, "status 25", box("S50", 39, 0x10)}));
    EXPECT_EQ(load.allocated, 1);
    std::filesystem::remove(host.path);
}

TEST(ScriptRunner, FileIsClosedOnEveryWayOut) {
    auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openFiles();
    for (const char* file : {"nope\n", "EVKScript\nsleep 1\n", "EVKScript\nend \n", "EVKScript\nasktoquit \n",
                             "EVKScript\nrelease \n", "EVKScript\nallocate -1\n"}) {
        run(file);
    }
    run("EVKScript\n", 0, {kIdNo});
    EXPECT_EQ(openFiles(), before);
}
// Asks to stop once an entry starting with `trigger` has been logged, and logs
// the lines it is told about.
class StoppingHost : public FakeHost {
public:
    StoppingHost(Log& log, std::string trigger) : FakeHost(log), log_(log), trigger_(std::move(trigger)) {}
    bool stopRequested() override {
        for (const std::string& entry : log_) {
            if (entry.rfind(trigger_, 0) == 0) return true;
        }
        return false;
    }
    void beginLine(unsigned lineNumber, const char* keyword) override {
        log_.push_back("line " + std::to_string(lineNumber) + " " + keyword);
    }

private:
    Log& log_;
    std::string trigger_;
};

TEST(ScriptRunner, StopsBetweenLinesAndGivesBackItsBlock) {
    const std::string piece = "# " + std::string(1021, 'x');  // the first 1,023 bytes of line 5
    const struct {
        std::string body;
        int physicalMode;
        std::string trigger;
        Log expected;
        int result;
    } cases[] = {
        {"# a\n\nsleep 1\n" + piece + "sleep 7\r\nend \n", 0, "never",
         {"line 2 #", "line 3 \n", "line 4 sleep", "status 45", "sleep 1000", "status 1", "line 5 #", "line 5 sleep",
          "status 45", "sleep 7000", "status 1", "line 6 end", "status 51"}, 0},
        {"mallocate 1\nsleep 5\nsleep 6\n", 0, "sleep 5000",
         {"line 2 mallocate", "status 22", "take 1048576", "line 3 sleep", "status 45", "sleep 5000", "status 25",
          "free #1"}, kScriptStopped},
        {"mallocate 1\nsleep 5\n", 1, "sleep",
         {"line 2 mallocate", "status 22", "heap", "heap-take 1048576", "resident 1048576", "line 3 sleep",
          "status 45", "sleep 5000", "status 25", "destroy #1"}, kScriptStopped},
        {"mallocate 1\nsleep 5\n", 0, "take",
         {"line 2 mallocate", "status 22", "take 1048576", "status 25", "free #1"}, kScriptStopped},
        {"mallocate 1\nrelease \nsleep 5\nrelease \n", 0, "sleep",
         {"line 2 mallocate", "status 22", "take 1048576", "line 3 release", "status 25", "free #1", "line 4 sleep",
          "status 45", "sleep 5000"}, kScriptStopped},
        {"run a\nrun b\n", 0, "run a", {"line 2 run", "status 44", "run a"}, kScriptStopped},
        {"popup Hi\npopup Ho\n", 0, "box Hi", {"line 2 popup", box("Hi\n", 47, 0x40)}, kScriptStopped},
        {"sleep 1\n", 0, "box S42", {}, kScriptStopped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        Outcome r;
        StoppingHost host(r.log, c.trigger);
        FakeAllocator allocator(r.log);
        host.path = writeScript("EVKScript\n" + c.body);
        r.result = runScript(host, r.load, allocator, c.physicalMode);
        std::filesystem::remove(host.path);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.front(), kConfirm);
        EXPECT_EQ(Log(r.log.begin() + 1, r.log.end()), c.expected);
        EXPECT_EQ(r.result, c.result);
    }
}
}  // namespace

namespace {
// Gives `bytes`, then fails its next read (a device error, a folder).
class FailingSource final : public ScriptSource {
public:
    explicit FailingSource(std::string bytes) : bytes_(std::move(bytes)) {}
    long read(unsigned char* into, std::size_t max) override {
        if (bytes_.empty()) return -1;
        const std::size_t count = std::min(max, bytes_.size());
        std::memcpy(into, bytes_.data(), count);
        bytes_.erase(0, count);
        return static_cast<long>(count);
    }

private:
    std::string bytes_;
};

class FailingSourceHost final : public FakeHost {
public:
    FailingSourceHost(Log& log, std::string bytes) : FakeHost(log), bytes_(std::move(bytes)) {}
    std::unique_ptr<ScriptSource> openScript(const std::string&) override {
        return std::make_unique<FailingSource>(bytes_);
    }

private:
    std::string bytes_;
};
}  // namespace

TEST(ScriptRunner, AReadThatFailsIsAFailureToLoadNotTheEnd) {
    const std::string failed = box("Failed to load s.evk.", IDS_ERROR, 0x10);
    const struct {
        std::string before;  // what arrives before the read fails
        Log expected;
    } cases[] = {
        {"", {failed}},
        {"EVKSc", {failed}},
        {"EVKScript\nsleep 1\n", {kConfirm, "status 45", "sleep 1000", "status 1", failed}},
        {"EVKScript\nmallocate 1\n", {kConfirm, "status 22", "take 1048576", "status 25", "free #1", failed}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        Log log;
        FailingSourceHost host(log, c.before);
        host.path = "s.evk";
        FakeAllocator allocator(log);
        LoadBlock load;
        EXPECT_EQ(runScript(host, load, allocator, 0), 1);
        EXPECT_EQ(log, c.expected);
    }
}
