#include "headless/runs/command_wait.h"
#include "headless/cli/exit_status.h"

#include "headless/runs/run_control.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/stop_request.h"

namespace {
// What a command is sent when the run stops for lost output or its deadline
// rather than a signal: the request to end that orchestrators send.
constexpr int kEndRequest = 15;  // SIGTERM; on Windows the job ends it instead
constexpr int kInterrupt = 2;     // SIGINT on every system
}  // namespace

bool awaitCommand(ExternalCommand& running, std::uint64_t graceMilliseconds, const std::function<void()>& onTick,
                  Awaited* waited) {
    Awaited& awaited = waited ? *waited : running;
    if (waitInTicks(awaited, steadyClock(), WaitRules{std::nullopt, true}, runShouldStop, onTick) != WaitEnd::Stopped) {
        // A Ctrl-C typed while the command had the terminal reached only the
        // command; it stops the run as it would have without one.
        if (running.hadTerminal() && running.status() == stoppedCode(kInterrupt)) noteStop(kInterrupt);
        return runShouldStop();
    }
    running.passOn(stopSignalled() ? stopSignal() : kEndRequest);
    // After a guard's trip every stop signal is a second stop, even one
    // that came while the trip was being acted on.
    const unsigned stopsSoFar = guardTripped() ? 0 : stopCount();
    const WaitEnd graceEnd = waitInTicks(
        awaited, steadyClock(), WaitRules{graceMilliseconds, true}, [stopsSoFar] { return stopCount() > stopsSoFar; },
        onTick);
    if (graceEnd != WaitEnd::Ended) {
        running.killAll();
        // SIGKILL cannot be caught; a second is ample for the system to end them.
        waitInTicks(awaited, steadyClock(), WaitRules{1000, false}, [] { return false; }, onTick);
    }
    return true;
}
