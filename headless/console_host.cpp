#include "console_host.h"

#include "console_text.h"
#include "line_input.h"
#include "log_line.h"
#include "memory_figures.h"
#include "script/box_styles.h"
#include "script_file.h"
#include "stop_request.h"

using namespace box_styles;

namespace {
// What a command is sent when the run stops for lost output rather than a
// signal: the request to end that orchestrators send.
constexpr int kEndRequest = 15;  // SIGTERM; Windows has no signals to send
}  // namespace

bool runShouldStop() { return stopSignalled() || outputLost(); }

ConsoleHost::ConsoleHost(const Options& options, LoadBlock& load, AccessLoad& access)
    : options_(options), folder_(folderOf(options.script)), load_(load), access_(access) {}

ScriptHost::Choice ConsoleHost::chooseFile(std::string& path) {
    path = options_.script;
    return Choice::Chosen;
}

std::unique_ptr<ScriptSource> ConsoleHost::openScript(const std::string& path) {
    std::string why;
    std::unique_ptr<ScriptSource> source = openScriptFile(path, why);
    if (!source) explain("torvane-run: cannot read " + path + ": " + why);
    return source;
}

void ConsoleHost::emit(const char* kind, const std::string& text, bool onError) {
    writeLine(onError ? Stream::Err : Stream::Out, formatLogLine(localTimeNow(), readMemoryFigures(), kind, text));
}

void ConsoleHost::explain(const std::string& text) { emit("error", text, true); }

void ConsoleHost::showStatus(int stringId) { emit("status", localText(stringId)); }

std::string ConsoleHost::loadString(int stringId) { return runnerText(stringId); }

int ConsoleHost::messageBox(const char* text, int captionId, unsigned style) {
    const std::string captioned = localText(captionId) + ": " + fromScript(text);
    if (style & kYesNo) return confirm(captioned);
    if (style & kIconError) {
        emit("error", captioned, true);
        return kIdOk;
    }
    emit("popup", captioned);
    if (options_.waitPopups) {
        if (inputIsTerminal()) writePrompt("[Enter] ");
        LineInput enter;
        wait(enter, WaitRules{std::nullopt, true});
    }
    return kIdOk;
}

int ConsoleHost::confirm(const std::string& question) {
    if (options_.yes) {
        emit("confirm", question + " yes (--yes)");
        return kIdYes;
    }
    if (!inputIsTerminal()) {
        writeLine(Stream::Err, "torvane-run: not run: standard input is no terminal to ask for confirmation "
                               "on; give --yes to run the script unattended (it may start external commands)");
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
    emit("confirm", question + (yes ? " yes" : " no"));
    refused_ = !yes;
    return yes ? kIdYes : kIdNo;
}

void ConsoleHost::tick() {
    checkOutputReader();
    if (options_.accessLoad) accessLoadIfHeld(load_, access_);
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
    emit("command", fromScript(command));
    ExternalCommand running(CommandLine{{command}, true}, folder_);
    if (!running.started()) {
        explain("torvane-run: " + running.failure());
        return;
    }
    awaitCommand(running);
}

// A stop is passed on to the command's whole group, which then has the grace
// period to end; what is left of it after that, or at a second stop, is
// killed. The run goes on to its own stop only once nothing of it is left.
void ConsoleHost::awaitCommand(ExternalCommand& running) {
    if (wait(running, WaitRules{std::nullopt, true}) != WaitEnd::Stopped) {
        // Ctrl-C typed while the command had the terminal reached only the
        // command; it stops the run as it would have without one.
        if (running.hadTerminal() && running.status() == 128 + 2) noteStop(2);
        return;
    }
    running.passOn(stopSignalled() ? stopSignal() : kEndRequest);
    const unsigned stopsSoFar = stopCount();
    const WaitEnd graceEnd = waitInTicks(
        running, steadyClock(), WaitRules{options_.graceMilliseconds, true},
        [stopsSoFar] { return stopCount() > stopsSoFar; }, [this] { tick(); });
    if (graceEnd == WaitEnd::Ended) return;
    running.killAll();
    // SIGKILL cannot be caught; a second is ample for the system to end them.
    waitInTicks(running, steadyClock(), WaitRules{1000, false}, [] { return false; }, [this] { tick(); });
}

bool ConsoleHost::stopRequested() { return runShouldStop(); }

void ConsoleHost::beginLine(unsigned lineNumber, const char* keyword) {
    lineNumber_ = lineNumber;
    keyword_ = keyword;
    stoppedInWait_ = false;
}

void ConsoleHost::reportStop() {
    std::string text = stopSignalled() ? stopName(stopSignal()) : "output lost";
    text += ": ";
    if (lineNumber_ == 0) {
        text += "stopped before the first command";
    } else {
        text += stoppedInWait_ ? "stopped during line " : "stopped after line ";
        text += std::to_string(lineNumber_) + " (" + oneLine(fromScript(keyword_)) + ")";
    }
    emit("stop", text);
}
