// The script runner behind Script Exec.: choose a file, check its magic line,
// confirm, then carry out its commands line by line. It reaches the window,
// the dialogs, the clock and the command interpreter only through ScriptHost,
// so it builds and is tested without the Windows API.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "load/load_block.h"
#include "script_reader.h"

struct ScriptHost {
    virtual ~ScriptHost() = default;

    enum class Choice { Chosen, Cancelled, Failed };
    // The open-file dialog. On Failed, `path` holds whatever the dialog left
    // (possibly only a file name) for the error message.
    virtual Choice chooseFile(std::string& path) = 0;
    // Opens the chosen script; null when it cannot be read. The window reads
    // through the C runtime (openScriptStream).
    virtual std::unique_ptr<ScriptSource> openScript(const std::string& path) {
        return openScriptStream(path.c_str());
    }
    // Shows string `stringId` in the status line.
    virtual void showStatus(int stringId) = 0;
    // The text of string `stringId` from the string table.
    virtual std::string loadString(int stringId) = 0;
    // A modal box owned by the main window; `style` and the answer use the
    // values of box_styles.h.
    virtual int messageBox(const char* text, int captionId, unsigned style) = 0;
    // Pauses the thread; counts past the platform's 32-bit limit are served in full.
    virtual void sleepMilliseconds(std::uint64_t milliseconds) = 0;
    // Hands `command` to the command interpreter and waits until it ends.
    virtual void runCommand(const char* command) = 0;
    // Asked before each line and after each pause, command and pop-up: true
    // ends the run there. The window never asks to stop.
    virtual bool stopRequested() { return false; }
    // The line about to be carried out: its number in the file (the magic
    // line is 1) and its first token.
    virtual void beginLine(unsigned /*lineNumber*/, const char* /*keyword*/) {}
    // The line just begun is skipped: its first token is no keyword. The
    // window says nothing of it, as ever.
    virtual void skippedLine() {}
};

// The result of a run that ended because the host asked to stop; the block
// that the run took, if it still held one, has been released.
constexpr int kScriptStopped = 2;

// A whole run. Returns 0 when the script ran to its end ("end", "asktoquit",
// end of file), 1 when no script ran or it stopped on an error, kScriptStopped
// when the host asked to stop.
int runScript(ScriptHost& host, LoadBlock& load, BlockAllocator& allocator, int physicalMode);

// The run from the magic line on, over a reader that is already open. A read
// that fails (only a host's own source reports one) ends the run as the
// file's failure to load, naming `path`.
int runOpenedScript(ScriptHost& host, ScriptReader& reader, LoadBlock& load,
                    BlockAllocator& allocator, int physicalMode, const std::string& path = {});

// String 38's text with the path put in place of its %s ("%%" gives "%");
// nothing else in the text is interpreted, and the path may be of any length.
std::string formatLoadFailure(const std::string& format, const std::string& path);
