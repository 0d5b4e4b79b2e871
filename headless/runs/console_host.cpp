#include "headless/runs/console_host.h"

#include "headless/check/script_check.h"

#include "headless/record/event_codes.h"
#include "headless/record/one_line.h"
#include "headless/record/run_log.h"
#include "headless/record/run_texts.h"
#include "headless/runs/command_wait.h"
#include "headless/metrics/live_figures.h"
#include "headless/runs/parallel_fill.h"
#include "headless/runs/run_control.h"
#include "headless/system/console_text.h"
#include "headless/system/line_input.h"
#include "headless/system/script_file.h"
#include "headless/system/stop_request.h"
#include "script/box_styles.h"

using namespace box_styles;

ConsoleHost::ConsoleHost(const Options& options, LoadBlock& load, AccessLoad& access)
    : options_(options),
      folder_(folderOf(options.script)),
      load_(load),
      access_(access),
      guards_(guardsFor(options), options.intervalMilliseconds) {}

ScriptHost::Choice ConsoleHost::chooseFile(std::string& path) {
    path = options_.script;
    return Choice::Chosen;
}

std::unique_ptr<ScriptSource> ConsoleHost::openScript(const std::string& path) {
    if (provided_) return std::move(provided_);
    std::string why;
    std::unique_ptr<ScriptSource> source = openScriptFile(path, why);
    if (!source)
        explain("script-unreadable",
                "torvane-run: cannot read " + fromScript(path) + ": " + why);  // a path from argv: ANSI on Windows
    return source;
}

void ConsoleHost::explain(const char* code, const std::string& text) { logEvent(errorEvent(code, text)); }

void ConsoleHost::showStatus(int stringId) { logEvent(statusEvent(codeOfText(stringId), localText(stringId))); }

std::string ConsoleHost::loadString(int stringId) { return runnerText(stringId); }

int ConsoleHost::messageBox(const char* text, int captionId, unsigned style) {
    const std::string captioned = localText(captionId) + ": " + fromScript(text);
    if (style & kYesNo) return confirm(captioned);
    if (style & kIconError) {
        logEvent(errorEvent(codeOfBoxText(text, captionId, runnerText), captioned));
        return kIdOk;
    }
    // A pop-up's text is the script's own, whatever words it has.
    logEvent(popupEvent(captioned));
    if (options_.waitPopups) {
        if (inputIsTerminal()) writePrompt("[Enter] ");
        LineInput enter;
        wait(enter, WaitRules{std::nullopt, true});
    }
    return kIdOk;
}

int ConsoleHost::confirm(const std::string& question) {
    if (options_.yes) {
        logEvent(confirmEvent("confirmed", question + " yes (--yes)"));
        return kIdYes;
    }
    if (!inputIsTerminal()) {
        logEvent(errorEvent("no-terminal",
                            "torvane-run: not run: standard input is no terminal to ask for confirmation "
                            "on; give --yes to run the script unattended (it may start external commands)",
                            TextForm::Bare));
        refused_ = true;
        return kIdNo;
    }
    writePrompt(oneLine(question) + " [y/N] ");
    LineInput answer;
    if (wait(answer, WaitRules{std::nullopt, true}) == WaitEnd::Stopped) {
        writePrompt("\n");
        return kIdNo;
    }
    const std::string reply = answer.line();
    const bool yes = reply == "y" || reply == "Y" || reply == "yes" || reply == "Yes" || reply == "YES";
    logEvent(confirmEvent(yes ? "confirmed" : "declined", question + (yes ? " yes" : " no")));
    refused_ = !yes;
    return yes ? kIdYes : kIdNo;
}

void ConsoleHost::tick() {
    guards_.check();
    checkOutputReader();
    reapOrphans();  // what a command left behind ends during later lines too
    sampleIfDue();
    if (!options_.accessLoad) return;
    std::uint64_t written = 0;
    const auto fill = fillWithWorkers(options_.workers);
    if (accessLoadIfHeld(load_, access_, [&](unsigned char* start, std::uint64_t bytes, unsigned char value) {
            fill(start, bytes, value);
            written += bytes;
        }))
        countAccessPass(written);
}

WaitEnd ConsoleHost::wait(Awaited& awaited, const WaitRules& rules) {
    const WaitEnd end = waitInTicks(awaited, steadyClock(), rules, runShouldStop, [this] { tick(); });
    if (end == WaitEnd::Stopped) stoppedInWait_ = true;
    return end;
}

void ConsoleHost::sleepMilliseconds(std::uint64_t milliseconds) {
    Pause pause;
    wait(pause, WaitRules{milliseconds, true});
}

void ConsoleHost::runCommand(const char* command) {
    const std::string text = fromScript(command);
    const RunEvent start = commandStartEvent({text}, text);
    logEvent(start);
    const std::uint64_t began = steadyClock().nowMilliseconds();
    ExternalCommand running(CommandLine{{command}, true}, folder_);
    if (!running.started()) {
        explain("command-not-started", "torvane-run: " + running.failure());
        return;
    }
    if (awaitCommand(running, options_.graceMilliseconds, [this] { tick(); })) stoppedInWait_ = true;
    // The text lines never had a script command's end; JSON and the report do.
    logEvent(commandEndEvent(start, "command-end", "status " + std::to_string(running.status()), running.status(),
                             static_cast<double>(steadyClock().nowMilliseconds() - began) / 1000.0, TextForm::None));
}

// Asked before each line, the first before anything is taken: the guards
// are checked here too, between the ticks of waits.
bool ConsoleHost::stopRequested() {
    guards_.check();
    return runShouldStop();
}

void ConsoleHost::beginLine(unsigned lineNumber, const char* keyword) {
    lineNumber_ = lineNumber;
    keyword_ = keyword;
    setScriptLine(lineNumber, fromScript(keyword));
    stoppedInWait_ = false;
}

void ConsoleHost::skippedLine() {
    if (const std::optional<CheckCode> code = skipCode(keyword_)) skipped_[codeName(*code)].push_back(lineNumber_);
}

void ConsoleHost::reportSkipped() {
    if (skipped_.empty()) return;
    std::size_t total = 0;
    std::string why;
    for (const auto& [code, lines] : skipped_) {
        total += lines.size();
        // "keyword-without-space 2, 7": the check's code and the lines, the first five.
        why += (why.empty() ? "" : "; ") + code;
        for (std::size_t i = 0; i < lines.size() && i < 5; ++i) why += (i ? ", " : " ") + std::to_string(lines[i]);
        if (lines.size() > 5) why += ", ...";
    }
    logEvent(errorEvent("skipped-lines",
                        "torvane-run: " + runSaid(IDS_RUN_SKIPPED, {std::to_string(total), why})));
}

void ConsoleHost::reportStop() {
    std::string text;
    if (lineNumber_ == 0) {
        text = runSaid(IDS_RUN_STOPPED_BEFORE, {stopCause()});
    } else {
        text = runSaid(stoppedInWait_ ? IDS_RUN_STOPPED_DURING : IDS_RUN_STOPPED_AFTER,
                       {stopCause(), std::to_string(lineNumber_), oneLine(fromScript(keyword_))});
    }
    logEvent(stopEvent(text));
}
