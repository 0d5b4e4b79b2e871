#include "headless/check/check_command.h"
#include "headless/cli/exit_status.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "headless/check/script_check.h"
#include "headless/record/one_line.h"
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

// Opens and checks the script; null, with `why`, when it cannot be opened.
std::unique_ptr<CheckSummary> check(const std::string& path, const std::function<void(const CheckFinding&)>& report,
                                    std::string& why) {
    std::unique_ptr<ScriptSource> source = openScriptFile(path, why);
    if (!source) return nullptr;
    ScriptReader reader(std::move(source));
    auto summary = std::make_unique<CheckSummary>(checkScript(reader, report));
    if (summary->readFailed) why = "the read failed before its end";
    return summary;
}
}  // namespace

int runCheckCommand(const Options& options) {
    const std::string path = escaped(options.script);  // a path from argv: ANSI on Windows
    std::string why;
    const auto summary = check(
        options.script,
        [&](const CheckFinding& finding) {
            writeLine(Stream::Out, options.json ? jsonLine(jsonFinding(finding)) : textLine(path, finding));
        },
        why);
    const int status = summary ? statusOf(*summary) : exitCode(Exit::CheckUnreadable);
    if (status == exitCode(Exit::CheckUnreadable)) writeLine(Stream::Err, "torvane-run: cannot read " + path + ": " + why);
    const unsigned faults = summary ? summary->faults : 0;
    const unsigned notes = summary ? summary->notes : 0;
    if (options.json) {
        nlohmann::ordered_json last = {{"event", "check"}, {"faults", faults}, {"notes", notes}, {"status", status}};
        if (status == exitCode(Exit::CheckUnreadable)) last["error"] = "cannot read " + path + ": " + why;
        writeLine(Stream::Out, jsonLine(last));
    } else if (status != exitCode(Exit::CheckUnreadable)) {
        writeLine(Stream::Out, path + ": " + count(faults, "fault") + ", " + count(notes, "note") +
                                   (faults > 0 ? ": the runner would not do what the script seems to say"
                                               : ": the runner does what the script says"));
    }
    return status;
}

bool scriptPassesCheck(const Options& options) {
    const std::string path = escaped(options.script);
    std::string why;
    // Faults are printed only once it is known that the run is refused.
    std::vector<CheckFinding> faults;
    const auto summary = check(
        options.script,
        [&](const CheckFinding& finding) {
            if (severityOf(finding.code) == Severity::Fault && faults.size() < kStrictShown) faults.push_back(finding);
        },
        why);
    if (!summary || summary->readFailed || faults.empty()) return true;
    for (const CheckFinding& finding : faults) writeLine(Stream::Err, textLine(path, finding));
    if (summary->faults > faults.size()) {
        writeLine(Stream::Err, path + ": and " + count(summary->faults - faults.size(), "more fault"));
    }
    writeLine(Stream::Err, "torvane-run: not run: --strict refuses a script with faults (" +
                               count(summary->faults, "fault") + "); fix them, or run without --strict");
    return false;
}
