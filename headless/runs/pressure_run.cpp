#include "headless/runs/pressure_run.h"

#include <cstdio>

#include "headless/memory/room_checked_allocator.h"
#include "headless/record/mebibytes.h"
#include "headless/record/run_log.h"
#include "headless/record/run_texts.h"
#include "headless/runs/held_kind.h"
#include "headless/system/squeeze_room.h"
#include "headless/system/stall_figures.h"
#include "shell/resource_ids.h"

namespace {
PressureSettings settingsOf(const Options& options, const MemoryRoom& room) {
    PressureSettings s;
    s.line = options.pressure.line;
    s.target = options.pressure.share;
    s.band = options.pressureBand.value_or(options.pressure.share / 4);
    s.windowMilliseconds = options.pressureWindowMilliseconds;
    if (options.most) s.most = resolveSize(*options.most, room);
    return s;
}

// "5 s": the window as it was given.
std::string windowText(std::uint64_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(milliseconds) / 1000.0);
    return text;
}

std::string shareOrNone(const std::optional<double>& share) { return share ? shareText(*share) : "-"; }
}  // namespace

PressureLoop::PressureLoop(const Options& options, HeldMemory& memory, const MemoryRoom& room, std::uint64_t now)
    : options_(options),
      memory_(memory),
      controller_(settingsOf(options, room), now),
      floor_(options.floor ? resolveSize(*options.floor, room) : kDefaultPressureFloor),
      some_(options.pressureWindowMilliseconds),
      full_(options.pressureWindowMilliseconds) {}

bool PressureLoop::open(std::string& why) {
    const StallSource source = stallSourceFor(options_.pressureFrom);
    if (source.path.empty()) {
        why = "--pressure: " + source.error;
        return false;
    }
    const StallCounters counters = readStallFigures(source.path);
    if (!counters.ok) {
        why = "--pressure: the stall figures cannot be read, so there is nothing to hold the stall by: " +
              counters.error;
        return false;
    }
    file_ = source.path;
    return true;
}

std::string PressureLoop::startText() const {
    const PressureSettings& s = controller_.settings();
    std::string text = runSaid(IDS_RUN_PRESSURE_HOLDING,
                               {stallLineName(s.line), shareText(s.target), shareText(s.band),
                                windowText(s.windowMilliseconds), file_, secondsText(options_.intervalMilliseconds), mebibytesText(floor_)});
    if (s.most) text += runSaid(IDS_RUN_KEEP_MOST, {mebibytesText(*s.most)});
    return text;
}

void PressureLoop::adjust(std::uint64_t now, const std::function<bool()>& keepGoing) {
    const StallCounters counters = readStallFigures(file_);
    if (!counters.ok) {
        // Nothing to steer by: hold nothing rather than guess, said once.
        if (!unreadable_) {
            logEvent(errorEvent("stall-unreadable", "torvane-run: " + counters.error + "; holding nothing until the "
                                                                                       "stall figures can be read"));
        }
        unreadable_ = true;
        memory_.releaseAll();
        return;
    }
    unreadable_ = false;
    const PressureSettings& s = controller_.settings();
    controller_.read(now, counters.total(s.line));
    some_.add(now, counters.someTotal);
    full_.add(now, counters.fullTotal);
    const PressureFigures figures{some_.share(0, 250), full_.share(0, 250), s.target, s.band};
    setPressureFigures(figures);

    const std::optional<double> mine = s.line == StallLine::Some ? figures.some : figures.full;
    if (mine) {
        const bool in = *mine >= s.target - s.band && *mine <= s.target + s.band;
        if (in || settledReadings_ > 0) {
            ++settledReadings_;
            inBand_ += in;
        }
    }

    // The run's own page cache (--kind file) is no room to squeeze.
    const MemoryRoom room = roomLessOwnCache(readSqueezeRoom());
    if (!room.known) {
        if (!unreadable_) {
            logEvent(errorEvent("room-unreadable", "torvane-run: the memory room cannot be read (" + room.error +
                                                       "); holding nothing until it can"));
        }
        unreadable_ = true;
        memory_.releaseAll();
        return;
    }
    const std::int64_t headroom =
        static_cast<std::int64_t>(mostResidentIn(room.available)) - static_cast<std::int64_t>(floor_);
    const std::int64_t change = controller_.decide(now, memory_.held(), headroom);
    std::uint64_t moved = 0;
    if (change > 0) {
        moved = memory_.grow(static_cast<std::uint64_t>(change), keepGoing);
        controller_.moved(now, static_cast<std::int64_t>(moved));
    } else if (change < 0) {
        moved = memory_.shrinkExactly(static_cast<std::uint64_t>(-change));
        controller_.moved(now, -static_cast<std::int64_t>(moved));
    }
    if (moved == 0) return;
    const std::string step = (change > 0 ? "+" : "-") + mebibytesText(moved);
    if (headroom < 0) {
        alternating_ = false;
        logEvent(adjustEvent("pressure-floor", runSaid(IDS_RUN_PRESSURE_FLOOR,
                                                       {step, mebibytesText(memory_.held()),
                                                        mebibytesText(room.available), mebibytesText(floor_)})));
        return;
    }
    // At a cliff the hold moves every reading or two; one event says so,
    // and the samples show what is held meanwhile.
    if (controller_.alternating()) {
        if (alternating_) return;
        alternating_ = true;
        logEvent(adjustEvent("pressure-alternate",
                             runSaid(IDS_RUN_PRESSURE_ALTERNATING,
                                     {step, mebibytesText(memory_.held()), mebibytesText(controller_.kneeBelow()),
                                      mebibytesText(controller_.kneeAbove()), shareOrNone(figures.some),
                                      shareOrNone(figures.full)})));
        return;
    }
    alternating_ = false;
    logEvent(adjustEvent(change > 0 ? "pressure-grow" : "pressure-shrink",
                         runSaid(IDS_RUN_PRESSURE_ADJUSTED, {step, mebibytesText(memory_.held()),
                                                             shareOrNone(figures.some), shareOrNone(figures.full)})));
}
