#include "headless/check/check_command.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "headless/check/script_check.h"
#include "headless/cli/exit_status.h"
#include "headless/record/one_line.h"
#include "headless/record/run_log.h"
#include "headless/runs/run_control.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/console_text.h"
#include "headless/system/script_file.h"

namespace {
constexpr std::size_t kStrictShown = 100;  // faults printed before a refusal; the count covers the rest

// Script bytes as every other printed text: converted, then kept on one line.
std::string escaped(const std::string& bytes) { return oneLine(fromScript(bytes)); }

std::string count(unsigned n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string textLine(const std::string& path, const CheckFinding& finding) {
    const FindingWords words = describe(finding, escaped);
    return path + ":" + std::to_string(finding.line) + ": " + severityName(severityOf(finding.code)) + ": " +
           words.action + "; " + words.fix;
}

std::string jsonLine(const nlohmann::ordered_json& object) {
    // Every text in it has been through oneLine, so it is valid UTF-8 already.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::ordered_json jsonFinding(const CheckFinding& finding) {
    const FindingWords words = describe(finding, escaped);
    return {{"line", finding.line},
            {"severity", severityName(severityOf(finding.code))},
            {"code", codeName(finding.code)},
            {"text", escaped(finding.text)},
            {"action", words.action},
            {"fix", words.fix}};
}

int statusOf(const CheckSummary& summary) {
    if (summary.readFailed) return exitCode(Exit::CheckUnreadable);
    return summary.faults > 0 ? exitCode(Exit::CheckFaults) : exitCode(Exit::CheckClean);
}

// Reads `file` as it comes, asking between waits whether the run should
// stop (a signal, --timeout, or output that has gone): a FIFO nobody writes
// to and an endless /dev/zero end the check as they end a run. A stop reads
// as the end of the file.
class StoppableSource final : public ScriptSource {
public:
    explicit StoppableSource(ScriptFile& file) : file_(file) {}
    long read(unsigned char* into, std::size_t max) override {
        for (;;) {
            if (runShouldStop()) return 0;
            if (file_.waitReadable(kTickMilliseconds)) return file_.read(into, max);
        }
    }

private:
    ScriptFile& file_;
};

// A script read whole into memory, run from there.
class MemorySource final : public ScriptSource {
public:
    explicit MemorySource(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
    long read(unsigned char* into, std::size_t max) override {
        const std::size_t n = std::min(max, bytes_.size() - at_);
        std::memcpy(into, bytes_.data() + at_, n);
        at_ += n;
        return static_cast<long>(n);
    }

private:
    std::vector<unsigned char> bytes_;
    std::size_t at_ = 0;
};

CheckSummary checkFrom(ScriptSource& source, const std::function<void(const CheckFinding&)>& report) {
    // Borrowed: the reader must not close the file, which the run may read again.
    struct Borrowed final : ScriptSource {
        explicit Borrowed(ScriptSource& s) : source(s) {}
        long read(unsigned char* into, std::size_t max) override { return source.read(into, max); }
        ScriptSource& source;
    };
    ScriptReader reader(std::make_unique<Borrowed>(source));
    return checkScript(reader, report, runShouldStop);
}

// "SIGTERM", "timeout": what ended a check before the script's end.
std::string stopWords() { return stopCause(); }
}  // namespace

int runCheckCommand(const Options& options) {
    const std::string path = escaped(options.script);  // a path from argv: ANSI on Windows
    std::string why;
    std::unique_ptr<ScriptFile> file = openScriptFile(options.script, why);
    std::optional<CheckSummary> summary;
    if (file) {
        StoppableSource source(*file);
        summary = checkFrom(source, [&](const CheckFinding& finding) {
            writeLine(Stream::Out, options.json ? jsonLine(jsonFinding(finding)) : textLine(path, finding));
        });
        if (summary->readFailed) why = "the read failed before its end";
    }
    const bool stopped = runShouldStop();
    int status = summary ? statusOf(*summary) : exitCode(Exit::CheckUnreadable);
    if (stopped) status = stoppedRunStatus();
    const bool unreadable = !stopped && status == exitCode(Exit::CheckUnreadable);
    if (unreadable) writeLine(Stream::Err, "torvane-run: cannot read " + path + ": " + why);
    const unsigned faults = summary ? summary->faults : 0;
    const unsigned notes = summary ? summary->notes : 0;
    if (options.json) {
        nlohmann::ordered_json last = {{"event", "check"}, {"faults", faults}, {"notes", notes}, {"status", status}};
        if (unreadable) last["error"] = "cannot read " + path + ": " + why;
        if (stopped) last["stopped"] = stopWords();
        writeLine(outputLost() ? Stream::Err : Stream::Out, jsonLine(last));
    } else if (stopped) {
        writeLine(Stream::Err, "torvane-run: " + path + ": the check was stopped (" + stopWords() +
                                   ") before the script's end; " + count(faults, "fault") + " so far");
    } else if (!unreadable) {
        writeLine(Stream::Out, path + ": " + count(faults, "fault") + ", " + count(notes, "note") +
                                   (faults > 0 ? ": the runner would not do what the script seems to say"
                                               : ": the runner does what the script says"));
    }
    return status;
}

StrictCheck checkStrictly(const Options& options) {
    StrictCheck outcome;
    const std::string path = escaped(options.script);
    std::string why;
    std::unique_ptr<ScriptFile> file = openScriptFile(options.script, why);
    // Unreadable: the run itself reports it, as without --strict.
    if (!file) return outcome;
    std::unique_ptr<ScriptSource> script;
    std::vector<unsigned char> bytes;
    if (!file->rewindable()) {
        // A pipe, a FIFO or a terminal gives its bytes once: read them all,
        // check them, and run what was checked. A stop is obeyed while waiting.
        unsigned char chunk[ScriptReader::kChunkBytes];
        StoppableSource source(*file);
        for (;;) {
            const long got = source.read(chunk, sizeof chunk);
            if (got <= 0) break;  // the end, a failed read (the run reports none of it), or a stop
            if (bytes.size() + static_cast<std::size_t>(got) > kStrictMostBytes) {
                logEvent(errorEvent("strict-too-long",
                                    "torvane-run: not run: --strict checks a script that is not a file on disk "
                                    "in memory, up to 16 MiB, and " + path +
                                        " is longer; save it to a file and give that",
                                    TextForm::Bare));
                outcome.run = false;
                outcome.status = exitCode(Exit::Failed);
                return outcome;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        if (runShouldStop()) {
            outcome.run = false;
            outcome.status = stoppedRunStatus();
            return outcome;
        }
    }
    // Faults are printed only once it is known that the run is refused.
    std::vector<CheckFinding> faults;
    const auto keep = [&](const CheckFinding& finding) {
        if (severityOf(finding.code) == Severity::Fault && faults.size() < kStrictShown) faults.push_back(finding);
    };
    CheckSummary summary;
    if (file->rewindable()) {
        StoppableSource source(*file);
        summary = checkFrom(source, keep);
        if (!file->rewind()) summary.readFailed = true;
        script = std::move(file);
    } else {
        MemorySource source(bytes);
        summary = checkFrom(source, keep);
        script = std::make_unique<MemorySource>(std::move(bytes));
    }
    if (runShouldStop()) {
        outcome.run = false;
        outcome.status = stoppedRunStatus();
        return outcome;
    }
    outcome.script = std::move(script);
    if (summary.readFailed || faults.empty()) return outcome;
    for (const CheckFinding& finding : faults) {
        logEvent(errorEvent(codeName(finding.code), textLine(path, finding), TextForm::Bare));
    }
    if (summary.faults > faults.size()) {
        logEvent(errorEvent("strict-more", path + ": and " + count(summary.faults - faults.size(), "more fault"),
                            TextForm::Bare));
    }
    logEvent(errorEvent("strict-refused", "torvane-run: not run: --strict refuses a script with faults (" +
                                              count(summary.faults, "fault") + "); fix them, or run without --strict",
                        TextForm::Bare));
    outcome.script.reset();
    outcome.run = false;
    outcome.status = exitCode(Exit::Failed);
    return outcome;
}
