#include "script_runner.h"

#include "box_styles.h"
#include "script_keywords.h"
#include "script_reader.h"
#include "shell/resource_ids.h"

namespace {
using namespace box_styles;

constexpr unsigned kErrorBox = kOk | kIconError;

void errorBox(ScriptHost& host, int textId, int captionId = IDS_ERROR) {
    host.messageBox(host.loadString(textId).c_str(), captionId, kErrorBox);
}

int loadFailure(ScriptHost& host, const std::string& path) {
    host.messageBox(formatLoadFailure(host.loadString(IDS_SCRIPT_LOAD_FAILED), path).c_str(), IDS_ERROR, kErrorBox);
    return 1;
}

// A keyword written last in the file (or in a 1,023-byte piece) may have no
// argument token at all; its number then reads as an empty token's, 0.
std::int32_t numberOf(const char* argument) { return argument ? parseNumber(argument) : 0; }

// Byte counts in 64 bits; a negative count has no size and is refused.
std::uint64_t bytesOf(std::int32_t number, SizeUnit unit) {
    switch (unit) {
    case SizeUnit::Kilobytes: return kilobytesToBytes(number);
    case SizeUnit::Megabytes: return megabytesToBytes(number);
    case SizeUnit::Bytes: break;
    }
    return number < 0 ? UINT64_MAX : static_cast<std::uint64_t>(number);
}

// The line end stays on a last token; cmd would stop at it anyway, and with it
// stripped the same command runs under every interpreter. A command that is
// empty then is not handed over: an empty command line starts an interactive
// interpreter that would wait for input forever.
void runCommand(ScriptHost& host, const char* argument) {
    host.showStatus(IDS_EXTERNAL_COMMAND);
    if (!argument) return;
    std::string command(argument);
    if (!command.empty() && command.back() == '\n') command.pop_back();
    if (!command.empty()) host.runCommand(command.c_str());
}

void pause(ScriptHost& host, const char* argument) {
    host.showStatus(IDS_PAUSE);
    const std::int32_t seconds = numberOf(argument);
    // Formed in 64 bits so that long pauses are not cut short; negative: none.
    host.sleepMilliseconds(seconds > 0 ? static_cast<std::uint64_t>(seconds) * 1000 : 0);
    // A pause cut short by a stop does not claim to go on.
    if (!host.stopRequested()) host.showStatus(IDS_EXECUTE);
}
}  // namespace

std::string formatLoadFailure(const std::string& format, const std::string& path) {
    std::string text;
    text.reserve(format.size() + path.size());
    bool pathPlaced = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == '%') {
                text += '%';
                ++i;
                continue;
            }
            if (format[i + 1] == 's' && !pathPlaced) {
                text += path;
                pathPlaced = true;
                ++i;
                continue;
            }
        }
        text += format[i];
    }
    return text;
}

int runOpenedScript(ScriptHost& host, ScriptReader& reader, LoadBlock& load,
                    BlockAllocator& allocator, int physicalMode, const std::string& path) {
    if (!reader.readMagicLine()) {
        if (reader.failed()) return loadFailure(host, path);
        errorBox(host, IDS_NOT_EVK, IDS_ILLEGAL_FILE);
        return 1;
    }
    // Only an explicit Yes runs the script, even should the box itself fail.
    if (host.messageBox(host.loadString(IDS_CONFIRM_SCRIPT).c_str(), IDS_CONFIRM_CAPTION,
                        kYesNo | kIconQuestion) != kIdYes) {
        return 1;
    }

    bool scriptAllocated = false;  // a block taken by this run is held
    // A stopped run gives back what it holds, as its release command would.
    auto stopped = [&] {
        if (!host.stopRequested()) return false;
        if (scriptAllocated) {
            host.showStatus(IDS_FREEING);
            releaseBlock(load, allocator, physicalMode);
        }
        return true;
    };
    ScriptLine line;
    for (;;) {
        if (stopped()) return kScriptStopped;
        if (!reader.readLine(line)) {
            if (!reader.failed()) break;
            // The rest of the script is lost: what it would release or end
            // cannot be known, so the run gives back its block and fails.
            if (scriptAllocated) {
                host.showStatus(IDS_FREEING);
                releaseBlock(load, allocator, physicalMode);
            }
            return loadFailure(host, path);
        }
        const char* keyword = line.keyword;
        if (!keyword) continue;
        const char* argument = line.argument;
        host.beginLine(reader.lineNumber(), keyword);

        const ScriptKeyword* command = scriptKeywordOf(keyword);
        if (!command) {
            host.skippedLine();  // anything else is skipped without a word
            continue;
        }
        switch (command->act) {
        case ScriptAct::Run:
            runCommand(host, argument);
            if (stopped()) return kScriptStopped;
            break;
        case ScriptAct::Sleep:
            pause(host, argument);
            if (stopped()) return kScriptStopped;
            break;
        case ScriptAct::Comment: break;
        case ScriptAct::Popup:
            host.messageBox(argument ? argument : "", IDS_INFORMATION, kOk | kIconInformation);
            if (stopped()) return kScriptStopped;
            break;
        case ScriptAct::Allocate:
            host.showStatus(command->statusId);
            if (allocateBlock(load, allocator, physicalMode, bytesOf(numberOf(argument), command->unit),
                              PageTouch::WriteAll) != 0) {
                errorBox(host, command->failureId);
                return 1;
            }
            scriptAllocated = true;
            break;
        case ScriptAct::Release:
            host.showStatus(IDS_FREEING);
            // Only this run's own block: one left by an earlier run stays.
            if (!scriptAllocated) {
                errorBox(host, IDS_CANNOT_FREE);
                return 1;
            }
            releaseBlock(load, allocator, physicalMode);
            scriptAllocated = false;
            break;
        case ScriptAct::End:
            host.showStatus(IDS_COMPLETED);
            return 0;
        case ScriptAct::AskToQuit:
            errorBox(host, IDS_ERROR);
            return 0;
        }
    }
    host.showStatus(IDS_COMPLETED);
    return 0;
}

int runScript(ScriptHost& host, LoadBlock& load, BlockAllocator& allocator, int physicalMode) {
    std::string path;
    switch (host.chooseFile(path)) {
    case ScriptHost::Choice::Cancelled: return 1;
    case ScriptHost::Choice::Failed: return loadFailure(host, path);
    case ScriptHost::Choice::Chosen: break;
    }
    if (path.empty()) return 1;  // nothing chosen after all: as a cancel

    ScriptReader reader(host.openScript(path));  // closed on every way out
    if (!reader.isOpen()) return loadFailure(host, path);
    return runOpenedScript(host, reader, load, allocator, physicalMode, path);
}
