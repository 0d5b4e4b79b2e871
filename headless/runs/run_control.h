// When a run stops and with what status: a stop signal, output that cannot
// be written, or the run's deadline (--timeout). Every wait of every run
// asks here between ticks; the recorder knows nothing of it.
#pragma once
#include <cstdint>
#include <string>

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
