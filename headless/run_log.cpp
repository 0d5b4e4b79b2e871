#include "run_log.h"

#include <cstdint>
#include <optional>

#include "console_text.h"
#include "log_line.h"
#include "memory_figures.h"
#include "stop_request.h"
#include "tick_wait.h"

namespace {
std::optional<std::uint64_t> deadline;
bool timedOut = false;

constexpr int kExitFailed = 1;
constexpr int kExitTimedOut = 124;  // as the common timeout command has it
constexpr int kExitSignalBase = 128;
}  // namespace

void logEvent(const char* kind, const std::string& text, bool onError) {
    writeLine(onError ? Stream::Err : Stream::Out, formatLogLine(localTimeNow(), readMemoryFigures(), kind, text));
}

void setRunDeadline(std::uint64_t milliseconds) { deadline = steadyClock().nowMilliseconds() + milliseconds; }

bool runTimedOut() {
    // Once passed, it stays passed, whatever the clock is asked later.
    if (!timedOut && deadline && steadyClock().nowMilliseconds() >= *deadline) timedOut = true;
    return timedOut;
}

bool runShouldStop() { return stopSignalled() || outputLost() || runTimedOut(); }

int stoppedRunStatus() {
    if (stopSignalled()) return kExitSignalBase + stopSignal();
    if (runTimedOut()) return kExitTimedOut;
    return kExitFailed;
}

std::string stopCause() {
    if (stopSignalled()) return stopName(stopSignal());
    if (runTimedOut()) return "timeout";
    return "output lost";
}
