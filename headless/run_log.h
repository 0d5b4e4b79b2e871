// The events of a run as they reach the user: one line each, with the time
// and the memory figures of that moment. The script host and the hold both
// report through here.
#pragma once
#include <cstdint>
#include <string>

// One event of `kind` (status, popup, hold, adjust, command, exit, stop,
// error, ...) on standard output, or standard error for errors.
void logEvent(const char* kind, const std::string& text, bool onError = false);

// The run's deadline (--timeout): once passed, the run stops as at a stop,
// and ends with status 124.
void setRunDeadline(std::uint64_t milliseconds);
bool runTimedOut();

// Whether the run should stop now: a stop signal, output that cannot be
// written, or the deadline passed.
bool runShouldStop();

// The status a stopped run ends with: 128 + signal, 124 for the deadline,
// 1 for output lost; and the name the stop line gives its cause.
int stoppedRunStatus();
std::string stopCause();
