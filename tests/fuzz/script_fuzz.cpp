// Fuzzes the script reader and the runner. The input is a script file's bytes.
// Checks, beyond the sanitizers:
// - the streaming reader, fetching 1, 2, 7 or a full chunk of bytes at a time,
//   cuts exactly the pieces of a whole-input model of the text-mode and fgets
//   rules;
// - the runner, with a host that always answers Yes and an allocator that only
//   pretends, never releases a block it did not take, never releases twice,
//   hands over only non-empty one-token commands without their line end, and
//   pauses no longer than the largest count a script can ask for;
// - the script check (torvane-run --check) recognises every line the runner
//   acts on: no line on which the runner showed, asked, paused or ran
//   anything is one the check calls skipped or unreachable.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "headless/check/script_check.h"

#include "load/load_block.h"
#include "script/box_styles.h"
#include "script/script_reader.h"
#include "script/script_runner.h"
#include "shell/resource_ids.h"

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "script_fuzz: %s\n", what);
    std::abort();
}
void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// Whole input at once: CR LF -> LF up to Ctrl-Z, then fgets pieces (the
// header's limit first, then the line limit), each cut at its first NUL.
std::vector<std::string> modelPieces(const std::uint8_t* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size && data[i] != 0x1A; ++i) {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') continue;
        text += static_cast<char>(data[i]);
    }
    std::vector<std::string> pieces;
    std::size_t limit = ScriptReader::kHeaderLimit - 1;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.size(), at + limit);
        const std::size_t lf = text.find('\n', at);
        if (lf != std::string::npos && lf < end) end = lf + 1;
        const std::string piece = text.substr(at, end - at);
        pieces.push_back(piece.substr(0, piece.find('\0')));
        at = end;
        limit = ScriptReader::kLineLimit - 1;
    }
    return pieces;
}

std::vector<std::string> readerPieces(const std::uint8_t* data, std::size_t size, std::size_t chunk) {
    ScriptReader reader(data, size, chunk);
    std::vector<std::string> pieces;
    char buffer[ScriptReader::kLineLimit];
    std::size_t limit = ScriptReader::kHeaderLimit;
    while (reader.readPiece(buffer, limit)) {
        check(std::strlen(buffer) < limit, "piece longer than its limit");
        pieces.emplace_back(buffer);
        limit = ScriptReader::kLineLimit;
    }
    return pieces;
}

class YesHost : public ScriptHost {
public:
    // The lines on which the runner did anything through the host.
    std::set<unsigned> acted;
    void beginLine(unsigned lineNumber, const char*) override { line_ = lineNumber; }
    // Asked before each line is read: what comes after, until the next
    // line begins (the end of the file's "Completed"), belongs to no line.
    bool stopRequested() override {
        line_ = 0;
        return false;
    }
    void act() {
        if (line_ != 0) acted.insert(line_);
    }
    Choice chooseFile(std::string&) override { fail("no dialog in a run of an open reader"); }
    void showStatus(int id) override {
        act();
        check(id == IDS_EXECUTE || id == IDS_ALLOCATING || id == IDS_FREEING ||
                  (id >= IDS_EXTERNAL_COMMAND && id <= IDS_COMPLETED && id != IDS_RUNNING),
              "unexpected status");
    }
    std::string loadString(int id) override { return "S" + std::to_string(id); }
    int messageBox(const char* text, int captionId, unsigned) override {
        act();
        if (captionId == IDS_INFORMATION) {
            check(std::strchr(text, ' ') == nullptr && std::strlen(text) < ScriptReader::kLineLimit,
                  "pop-up text is not one token");
        }
        return box_styles::kIdYes;
    }
    void sleepMilliseconds(std::uint64_t ms) override {
        act();
        check(ms <= std::uint64_t{INT32_MAX} * 1000, "pause beyond the largest count");
    }
    void runCommand(const char* command) override {
        act();
        check(*command != '\0', "empty command handed over");
        check(std::strpbrk(command, " \n") == nullptr, "command holds a space or a line end");
    }

private:
    unsigned line_ = 0;  // 0: before the first line (the confirmation)
};

// The lines the check says the runner skips or never reaches. A line cut in
// pieces past 1,023 bytes may have a skipped first piece and an acted-on
// second one (the check names such lines with its line-split finding), or an
// acted-on first piece that ends the run and a rest that never runs.
void checkRecognisesActedLines(const std::uint8_t* data, std::size_t size, const std::set<unsigned>& acted) {
    std::set<unsigned> skipped, split;
    ScriptReader reader(data, size);
    checkScript(reader, [&](const CheckFinding& finding) {
        switch (finding.code) {
        case CheckCode::UnknownKeyword:
        case CheckCode::KeywordWithoutSpace:
        case CheckCode::TabInCommand: skipped.insert(finding.line); break;
        case CheckCode::Unreachable:
            // Past 1,023 bytes, the rest of the very line that ends the run.
            if (finding.detail != std::to_string(finding.line)) skipped.insert(finding.line);
            break;
        case CheckCode::LineSplit: split.insert(finding.line); break;
        default: break;
        }
    });
    for (unsigned line : acted) {
        if (skipped.count(line) && !split.count(line)) fail("the check calls skipped a line the runner acted on");
    }
}

// Pretends to allocate anything up to its commit limit and checks that only
// the block described last is ever released, and only once.
class PretendAllocator : public BlockAllocator {
public:
    void* takeNormal(std::uint64_t) override { return hand(); }
    void releaseNormal(void* block) override { give(block); }
    void* createHeap() override { return hand(); }
    void* takeFromHeap(void* heap, std::uint64_t) override {
        check(heap == current_ && live_, "block taken from a heap that is not the current one");
        return &arena_[0];
    }
    void destroyHeap(void* heap) override { give(heap); }
    bool makeResident(void* block, std::uint64_t bytes) override {
        check(block == &arena_[0] && bytes <= commitLimit(), "resident call on a block not taken");
        return true;
    }
    std::uint64_t commitLimit() override { return std::uint64_t{1} << 30; }

private:
    void* hand() {
        current_ = &arena_[1 + (served_++ % 63)];
        live_ = true;
        return current_;
    }
    void give(void* p) {
        check(p == current_ && live_, "release of a block not held");
        live_ = false;
    }
    unsigned char arena_[64] = {};
    unsigned served_ = 0;
    void* current_ = nullptr;
    bool live_ = false;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> expected = modelPieces(data, size);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{7}, ScriptReader::kChunkBytes}) {
        if (readerPieces(data, size, chunk) != expected) fail("reader and model disagree");
    }

    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) sum += data[i];
    const int physicalMode = static_cast<int>(size & 1);
    ScriptReader reader(data, size, 1 + sum % ScriptReader::kChunkBytes);
    YesHost host;
    PretendAllocator allocator;
    LoadBlock load;
    const int result = runOpenedScript(host, reader, load, allocator, physicalMode);
    check(result == 0 || result == 1, "result is neither 0 nor 1");
    checkRecognisesActedLines(data, size, host.acted);
    if (physicalMode) check(load.allocated == 0 && load.size == 0, "physical mode touched size or allocated");
    return 0;
}
