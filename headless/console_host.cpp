#include "console_host.h"

#include "console_text.h"
#include "external_command.h"
#include "line_input.h"
#include "log_line.h"
#include "memory_figures.h"
#include "script/box_styles.h"
#include "stop_request.h"

using namespace box_styles;

ConsoleHost::ConsoleHost(const Options& options, LoadBlock& load, AccessLoad& access)
    : options_(options), folder_(folderOf(options.script)), load_(load), access_(access) {}

ScriptHost::Choice ConsoleHost::chooseFile(std::string& path) {
    path = options_.script;
    return Choice::Chosen;
}

void ConsoleHost::emit(const char* kind, const std::string& text, bool onError) {
    writeLine(onError ? Stream::Err : Stream::Out, formatLogLine(localTimeNow(), readMemoryFigures(), kind, text));
}

void ConsoleHost::showStatus(int stringId) { emit("status", loadString(stringId)); }

std::string ConsoleHost::loadString(int stringId) { return localText(stringId); }

int ConsoleHost::messageBox(const char* text, int captionId, unsigned style) {
    const std::string captioned = loadString(captionId) + ": " + text;
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

WaitEnd ConsoleHost::wait(Awaited& awaited, const WaitRules& rules) {
    const WaitEnd end = waitInTicks(
        awaited, steadyClock(), rules, [] { return stopSignalled(); },
        [this] {
            if (options_.accessLoad) accessLoadIfHeld(load_, access_);
        });
    if (end == WaitEnd::Stopped) stoppedInWait_ = true;
    return end;
}

void ConsoleHost::sleepMilliseconds(std::uint64_t milliseconds) {
    Pause pause;
    wait(pause, WaitRules{milliseconds, true});
}

void ConsoleHost::runCommand(const char* command) {
    emit("command", command);
    ExternalCommand running(command, folder_);
    // A Ctrl-C reaches the command as well; the run stops once it has ended.
    wait(running, WaitRules{std::nullopt, false});
}

bool ConsoleHost::stopRequested() { return stopSignalled(); }

void ConsoleHost::beginLine(unsigned lineNumber, const char* keyword) {
    lineNumber_ = lineNumber;
    keyword_ = keyword;
    stoppedInWait_ = false;
}

void ConsoleHost::reportStop() {
    std::string text = "Ctrl-C: ";
    if (lineNumber_ == 0) {
        text += "stopped before the first command";
    } else {
        text += stoppedInWait_ ? "stopped during line " : "stopped after line ";
        text += std::to_string(lineNumber_) + " (" + oneLine(keyword_) + ")";
    }
    emit("stop", text);
}
