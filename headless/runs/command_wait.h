// Waiting for a command that a run started, so that a stop of the run ends
// the command too and nothing of it is left behind.
#pragma once
#include <cstdint>
#include <functional>

#include "headless/system/external_command.h"

// Waits for `running`, calling `onTick` every 50 ms. A stop of the run is
// passed on to the command's whole group, which then has `graceMilliseconds`
// to end; whatever is left of it after that, or at a second stop, is killed.
// Returns true when the wait ended because the run was stopped.
// `waited`, when given, is what the waits wait on in place of `running`
// itself: the command wrapped (a SlicedWait).
bool awaitCommand(ExternalCommand& running, std::uint64_t graceMilliseconds, const std::function<void()>& onTick,
                  Awaited* waited = nullptr);
