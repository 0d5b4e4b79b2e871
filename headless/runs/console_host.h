// The script runner's host for a console: the file named on the command line
// instead of a dialog, lines on standard output instead of the status line
// and boxes, a question on the terminal for the confirmation, and waits in
// ticks that run the access load and notice a stop.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "headless/cli/options.h"
#include "headless/runs/guards.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/external_command.h"
#include "load/access_load.h"
#include "load/load_block.h"
#include "script/script_runner.h"

class ConsoleHost final : public ScriptHost {
public:
    ConsoleHost(const Options& options, LoadBlock& load, AccessLoad& access);

    Choice chooseFile(std::string& path) override;
    std::unique_ptr<ScriptSource> openScript(const std::string& path) override;
    void showStatus(int stringId) override;
    std::string loadString(int stringId) override;
    int messageBox(const char* text, int captionId, unsigned style) override;
    void sleepMilliseconds(std::uint64_t milliseconds) override;
    void runCommand(const char* command) override;
    bool stopRequested() override;
    void beginLine(unsigned lineNumber, const char* keyword) override;
    void skippedLine() override;
    // Says how many lines the run skipped and why, when it skipped any.
    void reportSkipped();

    // The script to run, already open (--strict read it once to check it);
    // the path is then only its name.
    void runFrom(std::unique_ptr<ScriptSource> script) { provided_ = std::move(script); }

    // Whether the confirmation was answered No or could not be asked.
    bool refused() const { return refused_; }
    // Says where a stopped run stopped, and what stopped it.
    void reportStop();
    // A line of torvane-run's own on standard error ("error" kind), with
    // its fixed code.
    void explain(const char* code, const std::string& text);

private:
    int confirm(const std::string& question);
    WaitEnd wait(Awaited& awaited, const WaitRules& rules);
    void tick();

    const Options& options_;
    CommandFolder folder_;
    LoadBlock& load_;
    AccessLoad& access_;
    bool refused_ = false;
    unsigned lineNumber_ = 0;  // the line begun last; 0 before the first
    std::string keyword_;
    bool stoppedInWait_ = false;
    std::unique_ptr<ScriptSource> provided_;
    std::map<std::string, std::vector<unsigned>> skipped_;  // a --check code, and the lines it was why
    GuardWatch guards_;  // checked before the first line and every --interval
};
