// --stop-if-pressure LINE=N%: a guard that trips once the stall share over
// --pressure-window passes N, read from the file --pressure-from names.
#pragma once
#include <functional>
#include <string>

#include "headless/cli/options.h"
#include "headless/cli/stall_target.h"
#include "headless/runs/guard.h"

class PressureGuard final : public Guard {
public:
    // `read` gives one reading of the stall file (readStallFigures, or a
    // script in the tests); `file` names it in the trip.
    PressureGuard(StallTarget limit, std::uint64_t windowMilliseconds, std::string file,
                  std::function<StallCounters()> read);

    // Until a reading a quarter second after the first covers some of the
    // window, the kernel's own 10 s average stands in for it, so that a
    // stall already past N at the start trips there. A file that cannot be
    // read trips too: the guard can no longer say the stall is under N.
    std::optional<GuardTrip> check(std::uint64_t nowMilliseconds) override;

private:
    std::string name() const;
    StallTarget limit_;
    std::string file_;
    std::function<StallCounters()> read_;
    StallWindow window_;
};

// Why --stop-if-pressure cannot be checked on this system (its file cannot
// be named or read), for an exit 1 before anything is taken; "" when it can
// or none is asked.
std::string pressureGuardsUnreadable(const Options& options);

// The guards --stop-if-pressure asks for, each reading as --pressure-from
// says; a file that cannot be named or read is a guard that trips at once,
// with the reason.
void appendPressureGuards(const Options& options, Guards& guards);
