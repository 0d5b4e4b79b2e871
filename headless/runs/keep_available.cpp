#include "headless/runs/keep_available.h"

#include <algorithm>

#include "headless/memory/room_checked_allocator.h"

std::uint64_t defaultKeepBand(std::uint64_t total) { return std::max<std::uint64_t>(16ull << 20, total / 400); }

std::uint64_t KeepController::room(std::uint64_t now, std::uint64_t reading) {
    // Unchanged: as read before the steps since, to within a quarter of what
    // they moved. A lagging figure still drifts by the rest of the machine's
    // small changes (Wine's: 0.8 MiB after a 322 MiB give-back), which an
    // equality test would take for the new figure.
    const std::uint64_t own = static_cast<std::uint64_t>(ownSince_ < 0 ? -ownSince_ : ownSince_);
    const bool unchanged = settings_.figureLags && trusted_ &&
                           (reading > *trusted_ ? reading - *trusted_ : *trusted_ - reading) < own / 4;
    if (!unchanged || ownSince_ == 0 || now - trustedAt_ >= kStaleMilliseconds) {
        trusted_ = reading;
        trustedAt_ = now;
        ownSince_ = 0;
        stale_ = false;
        return reading;
    }
    stale_ = true;
    const std::int64_t adjusted = static_cast<std::int64_t>(reading) - ownSince_;
    return adjusted > 0 ? static_cast<std::uint64_t>(adjusted) : 0;
}

std::int64_t KeepController::decide(std::uint64_t now, std::uint64_t reading, std::uint64_t held) {
    const std::uint64_t room = this->room(now, reading);
    const KeepSettings& s = settings_;
    if (room > s.target && room - s.target > s.band) {
        if (stale_ && ownSince_ > 0) return 0;
        // A block needs 1/512 more for its page tables and the margin stays
        // free (fitsRoom); matters when the target is small.
        std::uint64_t take = std::min(room - s.target, mostResidentIn(room));
        if (s.most) take = held >= *s.most ? 0 : std::min(take, *s.most - held);
        return static_cast<std::int64_t>(take);
    }
    if (room < s.target && s.target - room > s.band) {
        if (stale_ && ownSince_ < 0) return 0;
        return -static_cast<std::int64_t>(std::min(held, s.target - room));
    }
    // Over --max with the room in band (the cap was lowered, or the room
    // moved): give back what is over.
    if (s.most && held > *s.most) return -static_cast<std::int64_t>(held - *s.most);
    return 0;
}

std::uint64_t KeepController::stillToTake(std::uint64_t now, std::uint64_t reading, std::uint64_t asked,
                                          std::uint64_t taken) {
    if (taken >= asked) return 0;
    const std::uint64_t room = this->room(now, reading);
    if (room <= settings_.target) return 0;
    return std::min({asked - taken, room - settings_.target, mostResidentIn(room)});
}
