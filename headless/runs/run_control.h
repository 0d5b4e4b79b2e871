// When a run stops and with what status: a stop signal, output that cannot
// be written, or the run's deadline (--timeout). Every wait of every run
// asks here between ticks; the recorder knows nothing of it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

// The run's deadline (--timeout): once passed, the run stops as at a stop,
// and ends with status 124.
void setRunDeadline(std::uint64_t milliseconds);
bool runTimedOut();

// A guard tripped (guard.h): the run stops as at a stop, and ends with
// 123, unless it was stopping already, since the first cause wins.
struct GuardTrip;
void noteGuardTrip(const GuardTrip& trip);
// The trip that stopped the run, if a guard was its first cause.
const GuardTrip* guardTripped();

// Whether the run should stop now: a stop signal, output that cannot be
// written, the deadline passed, or a guard tripped.
bool runShouldStop();

// Whether a write that waits for a slow reader of standard output or error
// may wait on: always while the run goes on; once it stops or its deadline
// passes, for 2 s in all, so that its closing lines still reach a reader
// that is only slow, while one that has stopped reading cannot hold up the
// end.
bool outputMayWaitOn();

// The status a stopped run ends with: 123 for a guard, 128 + signal, 124
// for the deadline, 1 for output lost; and the name the stop line gives its
// cause.
int stoppedRunStatus();
std::string stopCause();
// The same as the end event's reason: "guard", "stop", "timeout" or "error".
const char* stopReason();

// How a run ended, for its end event: filled by the run as it goes.
struct RunOutcome {
    const char* reason = "done";        // done, for, command, timeout, stop, guard, error
    bool reached = true;                // it held what was asked (a closed loop: kept its target)
    std::optional<double> fullSeconds;  // a hold: how long it held its whole size
    std::optional<double> inBand;       // a closed loop: its share of readings within the band
};
