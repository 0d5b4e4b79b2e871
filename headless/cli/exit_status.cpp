#include "headless/cli/exit_status.h"

const ExitStatusRow kExitStatuses[] = {
    {Exit::Done, 0, "0", "done", kScriptRun | kHoldRun,
     "the script ran to its end (end, asktoquit or its last line); a hold\n"
     "reached the end of --for, or a stop when it had neither --for nor\n"
     "a command"},
    {Exit::Failed, 1, "1", "failed", kScriptRun | kHoldRun,
     "the script could not be read, stopped on an error, the memory\n"
     "could not be had, the output, the --report or the --metrics-file\n"
     "file could not be written, or the --metrics port could not be had"},
    {Exit::Usage, 2, "2", "usage", kScriptRun | kHoldRun,
     "usage error (a --report or --metrics-file path that is a folder, a\n"
     "FIFO, a device or the script included), or the confirmation was\n"
     "refused or could not be asked"},
    // Just below the timeout's: both are the run ending itself early.
    {Exit::Guarded, 123, "123", "guard", kScriptRun | kHoldRun,
     "a guard (--stop-if-...) ended the run, with or without a command;\n"
     "the memory was released and a guard line printed"},
    // 124 as the common timeout command has it.
    {Exit::TimedOut, 124, "124", "timeout", kScriptRun | kHoldRun, "--timeout ended the run"},
    {Exit::NotStarted, 127, "127", "not-started", kHoldRun, "a hold's command could not be started"},
    {Exit::CommandStatus, 0, "N", "command", kHoldRun, "otherwise with a hold's command: the command's own status"},
    {Exit::Stopped, 128, "128+N", "signal", kScriptRun | kHoldRun,
     "stopped by signal N: 130 SIGINT (Ctrl-C), 143 SIGTERM, 129 SIGHUP;\n"
     "the memory was released and a stop line printed"},
    {Exit::CheckClean, 0, "0", "clean", kCheckRun, "--check: nothing would surprise (notes alone do not count)"},
    {Exit::CheckFaults, 1, "1", "faults", kCheckRun, "--check: the runner would not do what the script seems to say"},
    {Exit::CheckUnreadable, 2, "2", "unreadable", kCheckRun, "--check: the script cannot be read, or a usage error"},
};
const unsigned kExitStatusCount = sizeof kExitStatuses / sizeof kExitStatuses[0];

int exitCode(Exit exit) {
    for (const ExitStatusRow& row : kExitStatuses) {
        if (row.exit == exit) return row.code;
    }
    return 1;  // every Exit has its row; not reached
}

int stoppedCode(int signal) { return exitCode(Exit::Stopped) + signal; }

std::string exitStatusHelp(unsigned modes) {
    std::string text = "Exit status:";
    for (const ExitStatusRow& row : kExitStatuses) {
        if ((row.modes & modes) == 0) continue;
        std::string shown = row.shown;
        shown.resize(7, ' ');
        text += "\n  " + shown;
        for (const char* c = row.meaning; *c; ++c) {
            if (*c == '\n') {
                text += "\n         ";
            } else {
                text += *c;
            }
        }
    }
    return text;
}
