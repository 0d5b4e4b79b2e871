#include "headless/runs/guards.h"

#include "headless/cli/sizes.h"
#include "headless/record/mebibytes.h"
#include "headless/record/run_log.h"
#include "headless/record/run_texts.h"
#include "headless/runs/pressure_guard.h"
#include "headless/runs/probe_guard.h"
#include "headless/runs/run_control.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/low_memory_signal.h"
#include "headless/system/memory_room.h"

namespace {
// --stop-if-low-memory: the system's own signal (low_memory_signal.h). One
// that cannot be asked trips too: the run was to be guarded, and is not.
class LowMemoryGuard final : public Guard {
public:
    std::optional<GuardTrip> check(std::uint64_t) override {
        const std::optional<bool> low = signal_.low();
        if (low && !*low) return std::nullopt;
        return GuardTrip{"--stop-if-low-memory", low ? runSaid(IDS_RUN_GUARD_LOW_MEMORY) : signal_.failure()};
    }

private:
    LowMemorySignal signal_;
};
}  // namespace

RoomGuard::RoomGuard(Options::RoomGuardOption below, std::function<MemoryRoom()> read)
    : below_(std::move(below)), read_(std::move(read)) {}

std::optional<GuardTrip> RoomGuard::check(std::uint64_t) {
    const MemoryRoom room = read_();
    if (!room.known) return std::nullopt;
    // Bytes as given, whatever the total: a guard above the whole room
    // trips at the start rather than being refused.
    const std::uint64_t below = resolveSize(below_.below, room);
    if (room.available >= below) return std::nullopt;
    std::string shown = mebibytesText(room.available);
    if (room.availableSource != LimitSource::Host) shown += std::string(" (") + limitSourceName(room.availableSource) + ")";
    return GuardTrip{"--stop-if-room-below " + below_.given, runSaid(IDS_RUN_GUARD_ROOM, {shown, mebibytesText(below)})};
}

std::string keepBelowRoomGuard(const Options& options, std::uint64_t target, const MemoryRoom& room) {
    for (const Options::RoomGuardOption& guard : options.roomBelow) {
        const std::uint64_t below = resolveSize(guard.below, room);
        if (target >= below) continue;
        return "--keep-available keeps the room at " + mebibytesText(target) + ", below --stop-if-room-below " +
               guard.given + " (" + mebibytesText(below) +
               "), which would end the run once the room is kept; keep at least that or lower the guard";
    }
    return {};
}

Guards guardsFor(const Options& options) {
    Guards guards;
    for (const Options::RoomGuardOption& below : options.roomBelow) {
        guards.push_back(std::make_unique<RoomGuard>(below, readMemoryRoom));
    }
    for (const std::string& probe : options.probes) {
        guards.push_back(std::make_unique<ProbeGuard>(
            probe, probeCommandLine(probe), options.probeIntervalMilliseconds,
            options.probeTimeoutMilliseconds.value_or(options.probeIntervalMilliseconds)));
    }
    if (options.lowMemory) guards.push_back(std::make_unique<LowMemoryGuard>());
    appendPressureGuards(options, guards);
    return guards;
}

GuardWatch::GuardWatch(Guards guards, std::uint64_t intervalMilliseconds)
    : guards_(std::move(guards)), interval_(intervalMilliseconds) {}

bool GuardWatch::check() {
    // A run already stopping has its cause; the first one wins.
    if (tripped_ || guards_.empty() || runShouldStop()) return tripped_;
    const std::uint64_t now = steadyClock().nowMilliseconds();
    if (next_ && now < *next_) return false;
    for (const std::unique_ptr<Guard>& guard : guards_) {
        const std::optional<GuardTrip> trip = guard->check(now);
        if (!trip) continue;
        tripped_ = true;
        // Noted before it is said: a stop that comes while the line is
        // written is a second stop, not the first cause. One that came while
        // the guard looked is the first, and the trip goes unsaid.
        noteGuardTrip(*trip);
        if (guardTripped()) {
            logEvent(guardEvent(trip->guard, trip->figure, runSaid(IDS_RUN_GUARD_TRIPPED, {trip->guard, trip->figure})));
        }
        return true;
    }
    // From the end of this check: a slow first probe does not make the
    // next check come at once.
    next_ = steadyClock().nowMilliseconds() + interval_;
    return false;
}
