#include "headless/runs/run_control.h"

#include <optional>

#include "headless/cli/exit_status.h"
#include "headless/runs/guard.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/console_text.h"
#include "headless/system/stop_request.h"

namespace {
std::optional<std::uint64_t> deadline;
bool timedOut = false;
std::optional<GuardTrip> tripped;
std::optional<std::uint64_t> endingSince;  // when a wait for output first saw the run stopping
// Well inside the time orchestrators leave between their stop and a kill
// (Kubernetes: 30 s by default), and long enough for a reader that is busy.
constexpr std::uint64_t kEndingOutputWaitMilliseconds = 2000;
}  // namespace

void setRunDeadline(std::uint64_t milliseconds) { deadline = steadyClock().nowMilliseconds() + milliseconds; }

bool runTimedOut() {
    // Once passed, it stays passed, whatever the clock is asked later.
    if (!timedOut && deadline && steadyClock().nowMilliseconds() >= *deadline) timedOut = true;
    return timedOut;
}

void noteGuardTrip(const GuardTrip& trip) {
    if (!tripped && !runShouldStop()) tripped = trip;
}

const GuardTrip* guardTripped() { return tripped ? &*tripped : nullptr; }

bool runShouldStop() { return tripped.has_value() || stopSignalled() || outputLost() || runTimedOut(); }

bool outputMayWaitOn() {
    if (!stopSignalled() && !runTimedOut()) return true;
    const std::uint64_t now = steadyClock().nowMilliseconds();
    if (!endingSince) endingSince = now;
    return now - *endingSince < kEndingOutputWaitMilliseconds;
}

int stoppedRunStatus() {
    if (tripped) return exitCode(Exit::Guarded);
    if (stopSignalled()) return stoppedCode(stopSignal());
    if (runTimedOut()) return exitCode(Exit::TimedOut);
    return exitCode(Exit::Failed);
}

const char* stopReason() {
    if (tripped) return "guard";
    if (stopSignalled()) return "stop";
    if (runTimedOut()) return "timeout";
    return "error";
}

std::string stopCause() {
    if (tripped) return tripped->guard;
    if (stopSignalled()) return stopName(stopSignal());
    if (runTimedOut()) return "timeout";
    return "output lost";
}
