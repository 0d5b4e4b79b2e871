#include "headless/record/run_log.h"

#include <cstdint>
#include <optional>

#include "headless/system/console_text.h"
#include "headless/record/log_line.h"
#include "headless/system/memory_figures.h"
#include "headless/record/run_report.h"
#include "headless/runs/tick_wait.h"

namespace {
RunLogSetup setup;
std::uint64_t began = 0;
std::optional<unsigned> scriptLine;
std::string scriptKeyword;
std::optional<std::uint64_t> requestedOverride;
std::uint64_t nextSample = 0;

// Without --sample, a report's chart still needs points during long waits;
// the recorder thins them.
constexpr std::uint64_t kReportSampleMilliseconds = 250;


std::optional<std::uint64_t> requestedNow() {
    if (requestedOverride) return requestedOverride;
    return setup.requested ? setup.requested() : std::nullopt;
}

std::optional<std::uint64_t> sampleInterval() {
    if (setup.sampleMilliseconds) return setup.sampleMilliseconds;
    if (setup.recorder) return kReportSampleMilliseconds;
    return std::nullopt;
}
}  // namespace

void setUpRunLog(RunLogSetup newSetup) {
    setup = std::move(newSetup);
    began = steadyClock().nowMilliseconds();
    if (const auto interval = sampleInterval()) nextSample = began + *interval;
}

double runSeconds() { return static_cast<double>(steadyClock().nowMilliseconds() - began) / 1000.0; }

void logEvent(RunEvent event) {
    event.time = localTimeNow();
    event.elapsed = runSeconds();
    event.figures = readMemoryFigures();
    if (setup.held) event.held = setup.held();
    if (!event.requested) event.requested = requestedNow();
    if (!event.line && scriptLine) {
        event.line = scriptLine;
        event.keyword = scriptKeyword;
    }
    if (setup.recorder) setup.recorder->add(event);
    const bool printedSample = std::string(event.event) != "sample" || setup.sampleMilliseconds;
    if (!printedSample) return;
    if (setup.json) {
        // One stream holds the whole run, errors too; standard error only
        // when standard output is the stream that was lost.
        writeLine(outputLost() ? Stream::Err : Stream::Out, jsonLine(event));
    } else if (event.textForm != TextForm::None) {
        writeLine(event.onError ? Stream::Err : Stream::Out, textLine(event));
    }
}

void logEvent(const char* event, const std::string& code, const std::string& text, bool onError) {
    RunEvent record;
    record.event = event;
    record.code = code;
    record.text = text;
    record.onError = onError;
    logEvent(std::move(record));
}

void setScriptLine(unsigned line, const std::string& keyword) {
    scriptLine = line;
    scriptKeyword = keyword;
}

void setRequested(std::optional<std::uint64_t> bytes) { requestedOverride = bytes; }

void sampleIfDue() {
    const auto interval = sampleInterval();
    if (!interval) return;
    const std::uint64_t now = steadyClock().nowMilliseconds();
    if (now < nextSample) return;
    // Due again a full interval on: a late tick does not bring a burst.
    nextSample = now + *interval;
    const std::uint64_t held = setup.held ? setup.held() : 0;
    std::string text = "held " + mebibytesText(held);
    const std::optional<std::uint64_t> requested = requestedNow();
    if (requested) text += " of " + mebibytesText(*requested) + " asked";
    logEvent("sample", "sample", text);
}
