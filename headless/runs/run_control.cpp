#include "headless/runs/run_control.h"

#include <optional>

#include "headless/cli/exit_status.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/console_text.h"
#include "headless/system/stop_request.h"

namespace {
std::optional<std::uint64_t> deadline;
bool timedOut = false;
}  // namespace

void setRunDeadline(std::uint64_t milliseconds) { deadline = steadyClock().nowMilliseconds() + milliseconds; }

bool runTimedOut() {
    // Once passed, it stays passed, whatever the clock is asked later.
    if (!timedOut && deadline && steadyClock().nowMilliseconds() >= *deadline) timedOut = true;
    return timedOut;
}

bool runShouldStop() { return stopSignalled() || outputLost() || runTimedOut(); }

int stoppedRunStatus() {
    if (stopSignalled()) return stoppedCode(stopSignal());
    if (runTimedOut()) return exitCode(Exit::TimedOut);
    return exitCode(Exit::Failed);
}

std::string stopCause() {
    if (stopSignalled()) return stopName(stopSignal());
    if (runTimedOut()) return "timeout";
    return "output lost";
}
