#include "headless/runs/pressure_control.h"

#include <algorithm>
#include <cmath>

namespace {
// A take from nothing (or little) is judged on this much: the first steps
// from 0 are 64, 64 and 96 MiB, not a few blocks.
constexpr std::uint64_t kGrowBase = 128ull << 20;
// A step moves at most half of what is held (or of the base): the curve is
// steep, and the window will say where the next step should go.
constexpr double kGain = 0.5;
// A size seen on the other side of the band is trusted for this many
// windows; then the bracket widens (twice as far each time), since the
// workload's cache changes and with it the curve. Dropped outright, the
// next step would be a whole first step again, into the knee.
constexpr std::uint64_t kTrustWindows = 2;

constexpr double kLeastGain = 1.0 / 16;

std::uint64_t wholeSteps(std::uint64_t bytes) { return bytes / kLeastStep * kLeastStep; }
}  // namespace

PressureController::PressureController(PressureSettings settings, std::uint64_t start)
    : settings_(settings), window_(settings.windowMilliseconds), lastStep_(start) {}

void PressureController::read(std::uint64_t now, std::uint64_t total) {
    window_.add(now, total);
    lastShare_.reset();
    if (lastReading_ && now > lastReading_->first && total >= lastReading_->second) {
        const double passed = static_cast<double>(now - lastReading_->first);
        const double stalled = static_cast<double>(total - lastReading_->second) / 1000.0;
        // A counter that jumps (another group's file) counts as no more
        // than the time passed, as the window takes it.
        owed_ += settings_.target * passed - std::min(stalled, passed);
        lastShare_ = std::min(stalled, passed) / passed;
    }
    lastReading_ = {now, total};
    // How long the stall took to answer a take, the longest seen: a take
    // that no reading within a window showed past the band says nothing.
    if (takenAt_ && now >= *takenAt_) {
        if (lastShare_ && *lastShare_ > settings_.target + settings_.band) {
            answer_ = std::max(answer_.value_or(0), now - *takenAt_);
            takenAt_.reset();
        } else if (now - *takenAt_ > settings_.windowMilliseconds) {
            takenAt_.reset();
        }
    }
}

void PressureController::moved(std::uint64_t now, std::int64_t bytes) {
    if (bytes == 0) return;
    lastStep_ = now;
    stepped_ = true;
    takenAt_.reset();
    if (bytes > 0) takenAt_ = now;
}

std::int64_t PressureController::decide(std::uint64_t now, std::uint64_t held, std::int64_t room) {
    const PressureSettings& s = settings_;
    alternating_ = false;
    if (room < 0) return -static_cast<std::int64_t>(std::min<std::uint64_t>(held, static_cast<std::uint64_t>(-room)));
    if (s.most && held > *s.most) return -static_cast<std::int64_t>(held - *s.most);
    widenBracket(now, held);
    const std::optional<double> measured = share();
    if (!measured) return 0;
    const double share = *measured;
    if (const std::optional<std::int64_t> turn = alternate(now, held, room)) return *turn;
    const std::uint64_t since = now - lastStep_;
    const double target = std::max(s.target, 1e-6);
    // Far from the target, half a window already tells the direction; near
    // it, only the whole window does.
    const std::uint64_t quick = s.windowMilliseconds / 2, whole = s.windowMilliseconds;

    // Once a take has been seen answered past the band, a share far from
    // the target is judged after twice that answer (see the take below).
    const std::uint64_t glance = s.windowMilliseconds / 5;
    const std::uint64_t answered = answer_ ? std::clamp(2 * *answer_, glance, quick) : quick;
    if (share > s.target + s.band) {
        if (since < (share > 2 * s.target ? answered : whole)) return 0;
        above_ = held;
        aboveAt_ = now;
        widenings_ = 0;
        if (held == 0) return 0;
        if (below_ && *below_ >= held) below_.reset();  // the curve moved
        const double distance = std::min(1.0, (share - s.target) / target);
        std::uint64_t step = std::min(held, stepOf(static_cast<double>(held) * kGain * distance, -1));
        if (below_) step = std::min(step, std::max(wholeSteps((held - *below_) / 2), kLeastStep));
        return -static_cast<std::int64_t>(step);
    }
    if (share < s.target - s.band) {
        // Nothing taken yet, there is no step for the window to see: a
        // fifth of a window of readings tells the first take. Once a take
        // has been seen answered past the band, a share since the step
        // under a quarter of the target is judged after twice that answer:
        // here the stall follows a move within one 250 ms reading, and the
        // bisection from the first squeeze took 2.7 s a size waiting half a
        // window, 11 of its 23 s to settle; a plant that answers 2 s late
        // still gets half a window.
        std::uint64_t far = stepped_ ? quick : glance;
        if (stepped_ && share < s.target / 4) far = answered;
        if (since < (share < s.target / 2 ? far : whole)) return 0;
        below_ = held;
        belowAt_ = now;
        if (above_ && *above_ <= held) above_.reset();
        const double distance = std::min(1.0, (s.target - share) / target);
        std::uint64_t step = stepOf(static_cast<double>(std::max(held, kGrowBase)) * kGain * distance, 1);
        // Within a least step of a size seen above the band: as near as steps go.
        if (above_) step = std::min(step, wholeSteps((*above_ - held) / 2));
        step = std::min(step, static_cast<std::uint64_t>(room));
        if (s.most) step = std::min(step, *s.most - held);
        step = wholeSteps(step);  // never past the floor by a part of a step
        if (step == 0) return 0;
        return static_cast<std::int64_t>(step);
    }
    return 0;
}

// The knee measured in a 700 MiB group re-reading a 500 MiB file is a
// cliff: 0 % at 183 MiB held, 34-42 % at 184 MiB and flat on to 210 MiB, so
// no size, however fine the step, holds 10 %. The stall follows a move
// within one 250 ms reading either way (26-50 % in the first reading after
// a step up, under 3 % in the first after a step down), so alternating
// between the sizes either side of it holds the window's share instead.
// What turns it is the stall owed since the alternation began: turned by
// the window's share instead, which still holds the last 5 s, it locked
// into a 5 s swing, 7-14 % window to window on the scripted cliff.
std::optional<std::int64_t> PressureController::alternate(std::uint64_t now, std::uint64_t held, std::int64_t room) {
    if (!below_ || !above_ || *above_ <= *below_ || *above_ - *below_ > kLeastStep ||
        (held != *below_ && held != *above_)) {
        owed_ = 0;
        return std::nullopt;
    }
    // Which side of the band this size is on goes by the last reading: the
    // share since the step still holds the first reading after it, which is
    // the other size's stall, and kept every take waiting 5 readings on the
    // scripted cliff.
    if (!lastShare_) return 0;
    const double share = *lastShare_;
    const PressureSettings& s = settings_;
    const std::uint64_t gap = *above_ - *below_;
    if (held == *above_) {
        // Under the band here: the curve has moved, the usual take finds it.
        if (share < s.target - s.band) return std::nullopt;
        if (share <= s.target + s.band) return 0;  // in band: a size that holds it
        aboveAt_ = now;
        widenings_ = 0;
        if (owed_ >= 0) return 0;
        alternating_ = true;
        return -static_cast<std::int64_t>(gap);
    }
    if (share > s.target + s.band) return std::nullopt;  // above it here: the usual give-back
    if (share >= s.target - s.band) return 0;
    belowAt_ = now;
    if (owed_ <= 0) return 0;
    if (room < static_cast<std::int64_t>(gap) || (s.most && held + gap > *s.most)) return 0;
    alternating_ = true;
    return static_cast<std::int64_t>(gap);
}

void PressureController::widenBracket(std::uint64_t now, std::uint64_t held) {
    const std::uint64_t trust = kTrustWindows * settings_.windowMilliseconds;
    // Counted from the last step too: a bisection still closing in on a
    // size is no sign that the curve moved. Counted from when the size was
    // seen alone, the size above widened while the steps down from the
    // first squeeze were still halving towards it (192 MiB seen, 160, 176,
    // 184, 188 MiB taken half a window apart, then 196 MiB, into the cliff
    // again, measured here).
    const std::uint64_t aboveAt = std::max(aboveAt_, lastStep_), belowAt = std::max(belowAt_, lastStep_);
    if (above_ && now - aboveAt > trust) {
        // Each widening in a row twice the last: a workload that has gone
        // leaves room that is found in a few windows, not by 16 MiB steps.
        const std::uint64_t gap = *above_ > held ? *above_ - held : 0;
        above_ = *above_ + std::max(2 * gap, (4 * kLeastStep) << std::min(widenings_, 6u));
        ++widenings_;
        aboveAt_ = now;
    }
    if (below_ && now - belowAt > trust) {
        const std::uint64_t gap = held > *below_ ? held - *below_ : 0;
        const std::uint64_t widen = std::max(2 * gap, 4 * kLeastStep);
        if (*below_ > widen) {
            below_ = *below_ - widen;
            belowAt_ = now;
        } else {
            below_.reset();
        }
    }
}

// The gain halves at each turn and doubles back (to 1) with each step in
// the same direction: a limit cycle between two sizes shrinks to nothing,
// and a moved curve is found again in a few steps.
std::uint64_t PressureController::stepOf(double bytes, int direction) {
    if (lastDirection_ != 0) gain_ = direction == lastDirection_ ? std::min(1.0, gain_ * 2) : std::max(kLeastGain, gain_ / 2);
    lastDirection_ = direction;
    const double scaled = bytes * gain_;
    const std::uint64_t whole = static_cast<std::uint64_t>(scaled) / kLeastStep * kLeastStep;
    return std::max(whole, kLeastStep);
}
