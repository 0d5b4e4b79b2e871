// torvane-run's exit statuses: one table that the runs return from, --help
// prints and the reference lists. A status means one thing per mode: 2 is a
// usage error for a run and an unreadable script for --check.
#pragma once
#include <string>

enum class Exit {
    Done,            // 0
    Failed,          // 1
    Usage,           // 2
    Guarded,         // 123
    TimedOut,        // 124
    NotStarted,      // 127
    CommandStatus,   // N: a hold's command's own
    Stopped,         // 128 + signal
    CheckClean,      // --check: 0
    CheckFaults,     // --check: 1
    CheckUnreadable, // --check: 2
};

// The modes a row applies to.
enum ExitModes : unsigned {
    kScriptRun = 1u << 0,  // torvane-run SCRIPT
    kHoldRun = 1u << 1,    // --hold, --keep-available
    kCheckRun = 1u << 2,   // --check
};

struct ExitStatusRow {
    Exit exit;
    int code;            // for CommandStatus and Stopped: the base the number is added to
    const char* shown;   // as --help writes it: "0", "N", "128+N"
    const char* name;    // fixed, for the reference and for tests
    unsigned modes;
    const char* meaning; // as --help words it; "\n" where its lines break
};

extern const ExitStatusRow kExitStatuses[];
extern const unsigned kExitStatusCount;

// The number a run returns for `exit`.
int exitCode(Exit exit);
// Stopped by signal `signal`: 128 + signal.
int stoppedCode(int signal);

// The rows for `modes` (any of them), as --help's "Exit status:" block.
std::string exitStatusHelp(unsigned modes);
