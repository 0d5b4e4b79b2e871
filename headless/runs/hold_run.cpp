#include "headless/runs/hold_run.h"
#include "headless/cli/exit_status.h"

#include <algorithm>
#include <cstdio>

#include "headless/memory/room_checked_allocator.h"
#include "headless/metrics/live_figures.h"
#include "headless/record/mebibytes.h"
#include "headless/record/run_log.h"
#include "headless/runs/command_wait.h"
#include "headless/runs/held_memory.h"
#include "headless/runs/keep_available.h"
#include "headless/runs/parallel_fill.h"
#include "headless/runs/run_control.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/console_text.h"
#include "headless/system/external_command.h"
#include "headless/system/memory_room.h"
#include "headless/system/room_watch.h"
#include "headless/system/stop_request.h"
#include "load/access_load.h"
#include "shell/resource_ids.h"

namespace {
// How soon a burst signalled by the system is acted on.
constexpr std::uint32_t kWatchSliceMilliseconds = 5;

// --hold takes its memory in blocks of this size: few enough room checks
// for a take to run at the system's own speed, small enough that a take a
// stop cuts short ends within a fraction of a second.
constexpr std::uint64_t kHoldChunk = 256ull << 20;

constexpr int kKill = 9;

std::string seconds(std::uint64_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(milliseconds) / 1000.0);
    return text;
}

std::string roomText(std::uint64_t bytes, LimitSource source) {
    std::string text = mebibytesText(bytes);
    if (source != LimitSource::Host) text += std::string(" (") + limitSourceName(source) + ")";
    return text;
}

// The command as a person would type it again: arguments with spaces or
// quotes in single quotes.
std::string commandText(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& argument : argv) {
        if (!text.empty()) text += ' ';
        if (!argument.empty() && argument.find_first_of(" \t'\"\\$") == std::string::npos) {
            text += argument;
            continue;
        }
        text += '\'';
        for (char c : argument) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
        text += '\'';
    }
    return fromScript(text);
}

// Whether `bytes` resident fits `room`, or the largest part of it that
// does, in whole 4 KiB pages.
std::uint64_t largestFitting(std::uint64_t bytes, const MemoryRoom& room) {
    if (fitsRoom(bytes, room)) return bytes;
    return std::min(bytes, mostResidentIn(room.available) / 4096 * 4096);
}

class Hold {
public:
    Hold(const Options& options, BlockAllocator& allocator)
        : options_(options),
          keeping_(options.mode == RunMode::KeepAvailable),
          memory_(allocator, keeping_ || !options.lazy, keeping_ ? kKeepBlock : kHoldChunk),
          start_(steadyClock().nowMilliseconds()) {}

    int run();

private:
    int holdFixed(const MemoryRoom& room);
    int keepAvailable(const MemoryRoom& room);
    bool take(std::uint64_t target);
    int holdUntilTheEnd();
    int runCommand();
    int ended(int status);
    void adjust();
    void onBurst();
    void tick();
    bool forIsOver() const;
    bool shouldEnd() const { return runShouldStop() || forIsOver(); }
    WaitEnd waitFor(Awaited& awaited, std::optional<std::uint64_t> limit);
    void failAllocation();

    const Options& options_;
    const bool keeping_;
    HeldMemory memory_;
    const std::uint64_t start_;
    std::uint64_t target_ = 0;  // --hold: what to hold; --keep-available: the room to leave
    std::optional<KeepController> keep_;
    std::unique_ptr<RoomWatch> watch_;  // keep-available: a burst noticed between readings
    std::uint64_t nextAdjust_ = 0;
    bool roomUnreadable_ = false;
    AccessLoad fill_;  // the window's cycle of values, 1 to 64
};

bool Hold::forIsOver() const {
    return options_.forMilliseconds && steadyClock().nowMilliseconds() - start_ >= *options_.forMilliseconds;
}

void Hold::failAllocation() {
    logEvent(errorEvent("alloc-failed", localText(IDS_ERROR) + ": " + localText(IDS_ALLOC_FAILED)));
}

void Hold::tick() {
    reapOrphans();  // as a container's first process, whatever a command left behind
    if (keeping_ && steadyClock().nowMilliseconds() >= nextAdjust_) {
        adjust();
        nextAdjust_ = steadyClock().nowMilliseconds() + options_.intervalMilliseconds;
    }
    checkOutputReader();
    sampleIfDue();
    if (!options_.accessLoad) return;
    memory_.fillAll(fillWithWorkers(options_.workers), takeFillByte(fill_));
}

WaitEnd Hold::waitFor(Awaited& awaited, std::optional<std::uint64_t> limit) {
    SlicedWait watched(awaited, kWatchSliceMilliseconds, [this] { onBurst(); });
    return waitInTicks(watch_ ? static_cast<Awaited&>(watched) : awaited, steadyClock(), WaitRules{limit, true},
                       [this] { return shouldEnd(); }, [this] { tick(); });
}

// Between readings: the system signalled that the room is running out.
// The decision is the interval's own, made now; it gives back first and
// logs after.
void Hold::onBurst() {
    if (!watch_ || !watch_->fired()) return;
    adjust();
    nextAdjust_ = steadyClock().nowMilliseconds() + options_.intervalMilliseconds;
}

// One reading of the room and one decision: a room above the band is taken
// down to it, a room below is given back at once.
void Hold::adjust() {
    const MemoryRoom room = readMemoryRoom();
    if (!room.known) {
        // Without the room there is nothing to steer by: hold nothing rather
        // than guess, and say so once.
        if (!roomUnreadable_)
            logEvent(errorEvent("room-unreadable", "torvane-run: the memory room cannot be read (" + room.error +
                                                       "); holding nothing until it can"));
        roomUnreadable_ = true;
        memory_.releaseAll();
        return;
    }
    roomUnreadable_ = false;
    const std::int64_t change = keep_->decide(steadyClock().nowMilliseconds(), room.available, memory_.held());
    if (change == 0) return;
    std::string sign;
    std::uint64_t moved = 0;
    if (change > 0) {
        // In steps of at most kKeepStep with the room read again between
        // them: a holder beside this one that took the excess first ends the
        // take here.
        std::uint64_t asked = static_cast<std::uint64_t>(change);
        while (moved < asked && !runShouldStop()) {
            const std::uint64_t step = std::min(kKeepStep, asked - moved);
            const std::uint64_t got = memory_.grow(step, [] { return !runShouldStop(); });
            keep_->moved(static_cast<std::int64_t>(got));
            moved += got;
            if (got < step) break;
            const MemoryRoom now = readMemoryRoom();
            if (!now.known) break;
            asked = moved + keep_->stillToTake(steadyClock().nowMilliseconds(), now.available, asked, moved);
        }
        sign = "+";
    } else {
        moved = memory_.shrinkExactly(static_cast<std::uint64_t>(-change));
        keep_->moved(-static_cast<std::int64_t>(moved));
        sign = "-";
    }
    if (moved == 0) return;
    logEvent(adjustEvent(change > 0 ? "adjust-grow" : "adjust-shrink",
                         sign + mebibytesText(moved) + ": holding " + mebibytesText(memory_.held()) + ", room was " +
                             roomText(room.available, room.availableSource)));
}

// Takes the memory at once, or step by step with --ramp; false when it
// could not all be had (a stop, the end of --for, or the room shrinking).
bool Hold::take(std::uint64_t target) {
    const std::uint64_t began = steadyClock().nowMilliseconds();
    const auto going = [this] { return !shouldEnd(); };
    if (!options_.ramp) {
        memory_.grow(target, going);
    } else {
        while (memory_.held() < target && !shouldEnd()) {
            const std::uint64_t step = std::min(options_.ramp->bytes, target - memory_.held());
            if (memory_.grow(step, going) < step) break;
            logEvent(rampEvent("+" + mebibytesText(step) + ": holding " + mebibytesText(memory_.held()) + " of " +
                               mebibytesText(target)));
            if (memory_.held() >= target) break;
            Pause interval;
            waitFor(interval, options_.ramp->intervalMilliseconds);
        }
    }
    if (memory_.held() < target) return false;
    logEvent(holdReachedEvent("reached " + mebibytesText(target) + " in " +
                              seconds(steadyClock().nowMilliseconds() - began)));
    return true;
}

int Hold::holdFixed(const MemoryRoom& room) {
    std::uint64_t target = resolveSize(options_.size, room);
    // With the access load, lazy memory is written whole at once: resident.
    const bool resident = !options_.lazy || options_.accessLoad;
    std::string what = mebibytesText(target) + (resident ? " resident" : " committed");
    if (options_.size.kind == SizeRequest::Kind::PercentOfTotal) {
        char share[32];
        std::snprintf(share, sizeof share, "%g%%", options_.size.percent);
        what += std::string(", ") + share + " of " + roomText(room.total, room.totalSource);
    } else if (options_.size.kind == SizeRequest::Kind::AllBut) {
        what += ", all the room holds but " + mebibytesText(options_.size.bytes);
    }
    if (resident && !fitsRoom(target, room)) {
        const std::uint64_t fitting = largestFitting(target, room);
        if (!options_.partial || fitting == 0) {
            logEvent(errorEvent("room-refused", "torvane-run: " + mebibytesText(target) +
                                                    " does not fit the memory room of " +
                                                    roomText(room.available, room.availableSource)));
            failAllocation();
            return exitCode(Exit::Failed);
        }
        logEvent(holdPartialEvent("partial-fit", "--partial: " + mebibytesText(fitting) + " of the " +
                                                     mebibytesText(target) + " asked, all that fits the memory room of " +
                                                     roomText(room.available, room.availableSource)));
        target = fitting;
        what = mebibytesText(target) + " resident";
    }
    setRequested(target);
    logEvent(holdStartEvent("taking " + what));
    if (!take(target)) {
        if (shouldEnd()) return ended(0);
        if (!options_.partial) {
            memory_.releaseAll();
            failAllocation();
            return exitCode(Exit::Failed);
        }
        logEvent(holdPartialEvent("partial-taken",
                                  "--partial: holding " + mebibytesText(memory_.held()) + "; the room allowed no more"));
    }
    return options_.command.empty() ? holdUntilTheEnd() : runCommand();
}

int Hold::keepAvailable(const MemoryRoom& room) {
    target_ = resolveSize(options_.size, room);
    setTargetRoom(target_);  // for --metrics
    keep_.emplace(KeepSettings{target_, defaultKeepBand(room.total), std::nullopt});
    RoomWatchStart watching = watchRoom(room, target_);
    watch_ = std::move(watching.watch);
    logEvent(keepEvent("keeping the memory room at " + mebibytesText(target_) + ", within " +
                       mebibytesText(keep_->settings().band) + " either side, every " +
                       seconds(options_.intervalMilliseconds) +
                       (watch_ ? "; between readings, bursts are noticed through " + watching.how
                               : "; the room is only read every interval: " + watching.how)));
    adjust();
    nextAdjust_ = steadyClock().nowMilliseconds() + options_.intervalMilliseconds;
    return options_.command.empty() ? holdUntilTheEnd() : runCommand();
}

int Hold::holdUntilTheEnd() {
    Pause pause;
    waitFor(pause, std::nullopt);
    return ended(0);
}

int Hold::runCommand() {
    if (shouldEnd()) return ended(0);
    const RunEvent start = commandStartEvent(options_.command, commandText(options_.command));
    logEvent(start);
    const std::uint64_t began = steadyClock().nowMilliseconds();
    const CommandFolder here("");
    ExternalCommand running(CommandLine{options_.command, false}, here);
    if (!running.started()) {
        logEvent(errorEvent("command-not-started", "torvane-run: " + running.failure()));
        memory_.releaseAll();
        logEvent(commandEndEvent(start, "command-not-started",
                                 "not started: status " + std::to_string(exitCode(Exit::NotStarted)),
                                 exitCode(Exit::NotStarted), 0));
        return exitCode(Exit::NotStarted);
    }
    SlicedWait watched(running, kWatchSliceMilliseconds, [this] { onBurst(); });
    const bool stopped =
        awaitCommand(running, options_.graceMilliseconds, [this] { tick(); }, watch_ ? &watched : nullptr);
    const std::uint64_t took = steadyClock().nowMilliseconds() - began;
    int status = running.status();
    std::string how = "status " + std::to_string(status);
    if (status > stoppedCode(0)) how += " (signal " + std::to_string(status - stoppedCode(0)) + ")";
    logEvent(commandEndEvent(start, "command-end", how + " after " + seconds(took), status,
                             static_cast<double>(took) / 1000.0));
    const std::uint64_t held = memory_.held();
    memory_.releaseAll();
    if (stopped) {
        // Killed after the grace period: the stop's status, not the kill's;
        // the deadline's always.
        if (status == stoppedCode(kKill) || runTimedOut()) status = stoppedRunStatus();
        logEvent(stopEvent(stopCause() + ": released " + mebibytesText(held) + "; the command was stopped with it"));
        return status;
    }
    logEvent(releaseEvent("released " + mebibytesText(held)));
    return status;
}

// The end of a hold without a command, or before its command started.
int Hold::ended(int status) {
    const std::uint64_t held = memory_.held();
    memory_.releaseAll();
    if (runShouldStop()) {
        logEvent(stopEvent(stopCause() + ": released " + mebibytesText(held)));
        // A signal is the normal end of a hold that has neither --for nor a
        // command; the deadline and lost output are not.
        const bool normalEnd = stopSignalled() && !options_.forMilliseconds && options_.command.empty();
        return normalEnd ? 0 : stoppedRunStatus();
    }
    logEvent(releaseEvent("released " + mebibytesText(held) + " after " +
                          seconds(steadyClock().nowMilliseconds() - start_)));
    return status;
}

int Hold::run() {
    const MemoryRoom room = readMemoryRoom();
    if (!room.known) {
        logEvent(errorEvent("room-unreadable",
                            "torvane-run: the memory room cannot be read (" + room.error + "), so nothing is held"));
        failAllocation();
        return exitCode(Exit::Failed);
    }
    return keeping_ ? keepAvailable(room) : holdFixed(room);
}
}  // namespace

int runHold(const Options& options, BlockAllocator& allocator) {
    Hold hold(options, allocator);
    return hold.run();
}
