// A guard: a condition, given on the command line, that ends a run when it
// holds (exit 123). Each kind of guard (the room, a health command, the
// kernel's stall figures, the system's low-memory signal) is one class
// behind this interface, so the runs check them all the same way: once
// before anything is taken and then every --interval.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What a tripped guard reports: its option as given and the figure that
// tripped it, for the guard event and the end event.
struct GuardTrip {
    std::string guard;   // e.g. "--stop-if-room-below 1 GiB"
    std::string figure;  // e.g. "the room is 812 MiB"
};

class Guard {
public:
    virtual ~Guard() = default;
    // One check at `nowMilliseconds` (the run's steady clock); a trip ends
    // the run. A guard that needs several readings (a window, two failures
    // in a row) keeps them itself and is called at least every --interval.
    virtual std::optional<GuardTrip> check(std::uint64_t nowMilliseconds) = 0;
};

using Guards = std::vector<std::unique_ptr<Guard>>;
