// --pressure inside a hold: each interval one reading of the stall figures
// and of the room, one decision of the controller (pressure_control.h), and
// the step made in the hold's memory, with an event that carries the
// shares.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "headless/cli/options.h"
#include "headless/memory/room_rules.h"
#include "headless/runs/held_memory.h"
#include "headless/runs/pressure_control.h"

// The floor's default: the room, all page cache counted, never below this
// beyond the margin.
constexpr std::uint64_t kDefaultPressureFloor = 64ull << 20;

class PressureLoop {
public:
    PressureLoop(const Options& options, HeldMemory& memory, const MemoryRoom& room, std::uint64_t now);

    // The stall file --pressure-from names, read once: false, with a
    // sentence naming the file, when there are no figures to steer by.
    bool open(std::string& why);
    // The start line's text.
    std::string startText() const;

    // One reading and one decision at `now`; `keepGoing` may cut a take.
    void adjust(std::uint64_t now, const std::function<bool()>& keepGoing);

    // The share of readings in band once the share was first in it (the
    // end event's in_band), and whether it was ever.
    double inBand() const { return settledReadings_ ? static_cast<double>(inBand_) / settledReadings_ : 0.0; }
    bool settled() const { return settledReadings_ > 0; }

private:
    const Options& options_;
    HeldMemory& memory_;
    PressureController controller_;
    std::string file_;
    std::uint64_t floor_;
    StallWindow some_, full_;
    bool unreadable_ = false;
    bool alternating_ = false;  // the alternation at a cliff said, and still going on
    unsigned settledReadings_ = 0, inBand_ = 0;
};
