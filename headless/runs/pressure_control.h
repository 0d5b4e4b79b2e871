// --pressure: hold whatever keeps the kernel's stall share near a target.
// The stall curve is steep and noisy (a 700 MiB group re-reading a 500 MiB
// file: 0 % at 100 MiB held, about 13 % at 350 MiB, 50 % once at 250 MiB
// during the first squeeze), so no fixed size aims at it and a step is
// only judged once the window has seen it. Portable: the tests run it on a
// scripted clock against synthetic and recorded curves.
#pragma once
#include <cstdint>
#include <optional>

#include "headless/memory/stall_window.h"

struct PressureSettings {
    StallLine line = StallLine::Some;
    double target = 0.10;  // the share aimed at, 0..1
    double band = 0.025;   // the half-width either side of it
    std::uint64_t windowMilliseconds = 5000;
    std::optional<std::uint64_t> most;  // --max
};

// Steps are whole multiples of this: near a steep knee, 16 MiB can be the
// whole band (a 20 MiB rise from 0 % to 60 % is seen).
constexpr std::uint64_t kLeastStep = 4ull << 20;

class PressureController {
public:
    explicit PressureController(PressureSettings settings, std::uint64_t startMilliseconds = 0);
    const PressureSettings& settings() const { return settings_; }

    // A reading of the line's `total` (microseconds) at `now`.
    void read(std::uint64_t now, std::uint64_t totalMicroseconds);

    // The next move: bytes to take (> 0), to give back (< 0), or 0. `room`
    // is what may still be taken before the floor (negative: the floor is
    // already passed by that much), so a take never passes it and a room
    // below it is given back at once, as is a hold above --max. Otherwise:
    // above the band, a give-back half a window after the last step; below
    // it, a take a whole window after (half one while the share is under
    // half the target); each sized by the share's distance from the target
    // and by what is held, and never past the midpoint to the last size
    // seen on the other side of the band (a bisection whose bracket keeps a
    // size, widening after a few windows, since the workload moves the curve).
    // Once the sizes below and above the band are within one least step, a
    // cliff: no size between holds the band, so the hold alternates between
    // the two, up while the stall since the alternation began is short of
    // the target's, down while it is past it, each move still only on the
    // last reading's share being below (a take) or above (a give-back) the
    // band.
    std::int64_t decide(std::uint64_t now, std::uint64_t held, std::int64_t room);

    // Whether the last move decide asked was one of those alternations.
    bool alternating() const { return alternating_; }
    // The sizes alternated between, while alternating.
    std::uint64_t kneeBelow() const { return below_.value_or(0); }
    std::uint64_t kneeAbove() const { return above_.value_or(0); }

    // A step was made at `now` (what decide asked, or less).
    void moved(std::uint64_t now, std::int64_t bytes);

    // The share the last decision went by: over the window, but not before
    // the last step; nothing before a reading covers a quarter second.
    std::optional<double> share() const { return window_.share(lastStep_, 250); }
    // The share over the whole window, the step or not (the events' figure).
    std::optional<double> windowShare() const { return window_.share(0, 250); }

private:
    std::uint64_t stepOf(double bytes, int direction);
    std::optional<std::int64_t> alternate(std::uint64_t now, std::uint64_t held, std::int64_t room);
    void widenBracket(std::uint64_t now, std::uint64_t held);

    PressureSettings settings_;
    double gain_ = 1;
    int lastDirection_ = 0;
    StallWindow window_;
    std::uint64_t lastStep_;
    bool stepped_ = false;
    // The last held sizes seen below and above the band, and when.
    std::optional<std::uint64_t> below_, above_;
    std::uint64_t belowAt_ = 0, aboveAt_ = 0;
    unsigned widenings_ = 0;  // of the size above, since the share was last above the band
    bool alternating_ = false;
    // At the cliff: the stall (ms) short of the target's since the
    // alternation began, negative when past it; and the last reading.
    double owed_ = 0;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> lastReading_;
    std::optional<double> lastShare_;  // between the last two readings
    // The last take not yet seen answered, and the longest a take took to
    // show past the band.
    std::optional<std::uint64_t> takenAt_, answer_;
};
