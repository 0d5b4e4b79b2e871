// The guards a command line asks for, and their checking during a run:
// each kind of guard.h's Guard, made from the options, and the watch that
// checks them all before anything is taken and every --interval after.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "headless/cli/options.h"
#include "headless/memory/room_rules.h"
#include "headless/runs/guard.h"

// Every guard of `options`, in the order given per kind.
Guards guardsFor(const Options& options);

// --keep-available's resolved target below a --stop-if-room-below of the
// room `room`: the usage error naming both, or empty. For a share against
// bytes, which the command line alone cannot compare.
std::string keepBelowRoomGuard(const Options& options, std::uint64_t target, const MemoryRoom& room);

// --stop-if-room-below: the room, as the hold reads it, below a size. A
// share is of the room's total at each reading; a room that cannot be read
// trips nothing (the hold then holds nothing until it can).
class RoomGuard final : public Guard {
public:
    RoomGuard(Options::RoomGuardOption below, std::function<MemoryRoom()> read);
    std::optional<GuardTrip> check(std::uint64_t nowMilliseconds) override;

private:
    Options::RoomGuardOption below_;
    std::function<MemoryRoom()> read_;
};

// Checks the guards of a run: the first check() at once, then one each
// --interval. A trip is said as the guard event and stops the run
// (run_control's noteGuardTrip), so every wait ends as at a stop.
class GuardWatch {
public:
    GuardWatch(Guards guards, std::uint64_t intervalMilliseconds);
    // True once a guard has tripped (this check or before).
    bool check();
    bool tripped() const { return tripped_; }
    bool empty() const { return guards_.empty(); }

private:
    Guards guards_;
    std::uint64_t interval_;
    std::optional<std::uint64_t> next_;
    bool tripped_ = false;
};
