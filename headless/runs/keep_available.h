// --keep-available: hold whatever keeps the memory room near a target while
// other processes take and free memory. The decision is portable and runs
// on a scripted clock in the tests; the hold reads the room and takes or
// gives back blocks.
#pragma once
#include <cstdint>
#include <optional>

// The band's default half-width: max(16 MiB, 0.25 % of the room's total),
// 60 MiB on a 24 GiB machine. Takes and give-backs both close the distance
// to the byte, so the room lands on the target after each step and only
// the rest of the system can move it out: nothing to undo at the next
// reading, no oscillation. Measured (bench row 10, tools/bench.sh, two
// runs of 2026-12-08): in a 2 GiB group at this default's 16 MiB, with a
// competitor taking and freeing 300 MiB, the room was in band in all 500
// samples 10 ms apart of each of three rounds while the competitor held
// still, and back in band 0.4 to 1.1 intervals (medians) after its steps.
std::uint64_t defaultKeepBand(std::uint64_t total);

// Held memory is taken and given back in blocks of this size.
constexpr std::uint64_t kKeepBlock = 16ull << 20;
// A take grows by at most this much before the room is read again, so that
// holders sharing a room see each other's takes and none takes an excess
// that another took first.
constexpr std::uint64_t kKeepStep = 64ull << 20;
// Where the system's figure lags (figureLags), a reading that has not
// changed since a step is the system's old figure, until this long after.
constexpr std::uint64_t kStaleMilliseconds = 2000;

struct KeepSettings {
    std::uint64_t target = 0;            // the room to leave
    std::uint64_t band = 0;              // the half-width either side of it
    std::optional<std::uint64_t> most;   // --max: never hold more than this
    // The system's figure may trail what was moved (roomFigureLags). Where
    // it does not, every reading is taken as it stands: another process
    // taking about as much as the last step moved would otherwise read as an
    // unchanged figure, and the holder would undo its own step.
    bool figureLags = false;
};

class KeepController {
public:
    explicit KeepController(KeepSettings settings) : settings_(settings) {}
    const KeepSettings& settings() const { return settings_; }

    // The room as the controller takes a reading made at `now`: the reading
    // itself where the figure does not lag, or once it has changed since the
    // last step by at least a quarter of what the step moved (or stood 2 s);
    // else the reading before the step less what the steps since then took.
    std::uint64_t room(std::uint64_t now, std::uint64_t reading);

    // The next move from a reading: bytes to take (> 0), to give back (< 0),
    // or 0 within the band. A take closes the whole distance to the target
    // (up to --max), a give-back the whole shortfall (HeldMemory::shrinkTo
    // gives back exactly that), never more than is held; while a reading is
    // stale, no further step in the direction of the last one.
    std::int64_t decide(std::uint64_t now, std::uint64_t reading, std::uint64_t held);

    // What a take may still add once `taken` of it is in and the room has
    // been read again: the distance left to the target, never more than the
    // take asked for at first.
    std::uint64_t stillToTake(std::uint64_t now, std::uint64_t reading, std::uint64_t asked, std::uint64_t taken);

    // Bytes moved by a step (taken > 0, given back < 0), for the stale rule.
    void moved(std::int64_t bytes) { ownSince_ += bytes; }

private:
    KeepSettings settings_;
    std::optional<std::uint64_t> trusted_;  // the last reading taken as it stood
    std::uint64_t trustedAt_ = 0;
    std::int64_t ownSince_ = 0;  // what this run moved since that reading
    bool stale_ = false;
};
