#include "headless/runs/hold_run.h"
#include "headless/cli/exit_status.h"

#include <algorithm>
#include <cstdio>

#include "headless/memory/room_checked_allocator.h"
#include "headless/record/mebibytes.h"
#include "headless/record/run_log.h"
#include "headless/record/run_texts.h"
#include "headless/runs/command_wait.h"
#include "headless/runs/guards.h"
#include "headless/runs/held_kind.h"
#include "headless/runs/held_memory.h"
#include "headless/runs/held_pages.h"
#include "headless/runs/keep_available.h"
#include "headless/runs/pressure_run.h"
#include "headless/runs/run_control.h"
#include "headless/runs/stages.h"
#include "headless/runs/tick_wait.h"
#include "headless/runs/warm_load.h"
#include "headless/system/console_text.h"
#include "headless/system/external_command.h"
#include "headless/system/memory_room.h"
#include "headless/system/room_watch.h"
#include "headless/system/stop_request.h"
#include "shell/resource_ids.h"

namespace {
// How soon a burst signalled by the system is acted on.
constexpr std::uint32_t kWatchSliceMilliseconds = 5;

// --hold takes its memory in blocks of this size: few enough room checks
// for a take to run at the system's own speed, small enough that a take a
// stop cuts short ends within a fraction of a second.
constexpr std::uint64_t kHoldChunk = 256ull << 20;

constexpr int kKill = 9;

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
    Hold(const Options& options, BlockAllocator& allocator, RunOutcome& outcome)
        : options_(options),
          outcome_(outcome),
          keeping_(options.mode == RunMode::KeepAvailable),
          pressuring_(options.mode == RunMode::Pressure),
          memory_(allocator, keeping_ || pressuring_ || !options.lazy, keeping_ || pressuring_ ? kKeepBlock : kHoldChunk),
          start_(steadyClock().nowMilliseconds()),
          warm_(warmSettingsOf(options, heldKindInUse() == HeldKind::File), steadyClock()),
          guards_(guardsFor(options), options.intervalMilliseconds) {}

    int run();

private:
    int holdFixed(const MemoryRoom& room);
    int keepAvailable(const MemoryRoom& room);
    int holdAtPressure(const MemoryRoom& room);
    int followStages(const MemoryRoom& room);
    void stageTick();
    bool stageMove(std::size_t stage, std::uint64_t bytes);
    bool take(std::uint64_t target);
    int holdUntilTheEnd();
    int runCommand();
    int ended(int status);
    int notReached(const std::string& why);
    int refuse(const char* code, const std::string& why);
    std::string heldFor() const;
    void noteReading(std::uint64_t room);
    void settleOutcome();
    void adjust();
    void onBurst();
    void tick();
    bool forIsOver() const;
    bool shouldEnd() const { return runShouldStop() || forIsOver(); }
    WaitEnd waitFor(Awaited& awaited, std::optional<std::uint64_t> limit);
    void failAllocation();

    const Options& options_;
    RunOutcome& outcome_;
    const bool keeping_;
    const bool pressuring_;
    HeldMemory memory_;
    const std::uint64_t start_;
    std::uint64_t target_ = 0;  // --hold: what to hold; --keep-available: the room to leave
    std::optional<KeepController> keep_;
    std::optional<PressureLoop> pressure_;
    std::unique_ptr<RoomWatch> watch_;  // keep-available: a burst noticed between readings
    std::uint64_t nextAdjust_ = 0;
    bool roomUnreadable_ = false;
    std::optional<std::uint64_t> reachedAt_;  // when the whole size was first held
    // --keep-available's readings, and how many were within the band.
    unsigned readings_ = 0, inBand_ = 0;
    bool heldNothing_ = false;  // the room is under the target and nothing is left to give back
    WarmLoad warm_;  // -a, --access-rate or --touch
    void logWarm();
    GuardWatch guards_;
    std::optional<std::uint64_t> heldAtTrip_;  // what was held when a guard tripped and all was given back
    bool checkGuards();
    // --stages: the plan, when its first stage began, and whether the room
    // allowed less than a stage asked.
    std::optional<StageFollower> stages_;
    std::uint64_t stagesStart_ = 0;
    bool stageShort_ = false;
};

// Checks the guards when due; a trip gives everything back at once, before
// a command is stopped and the run ends.
bool Hold::checkGuards() {
    if (!guards_.check()) return false;
    if (!heldAtTrip_) {
        heldAtTrip_ = memory_.held();
        memory_.releaseAll();
    }
    return true;
}

bool Hold::forIsOver() const {
    return options_.forMilliseconds && steadyClock().nowMilliseconds() - start_ >= *options_.forMilliseconds;
}

void Hold::failAllocation() {
    logEvent(errorEvent("alloc-failed", localText(IDS_ERROR) + ": " + localText(IDS_ALLOC_FAILED)));
}

void Hold::tick() {
    reapOrphans();  // as a container's first process, whatever a command left behind
    if (checkGuards()) return;
    if (stages_) stageTick();
    if (keeping_ && steadyClock().nowMilliseconds() >= nextAdjust_) {
        adjust();
        nextAdjust_ = steadyClock().nowMilliseconds() + options_.intervalMilliseconds;
    }
    if (pressure_ && steadyClock().nowMilliseconds() >= nextAdjust_) {
        pressure_->adjust(steadyClock().nowMilliseconds(), [] { return !runShouldStop(); });
        nextAdjust_ = steadyClock().nowMilliseconds() + options_.intervalMilliseconds;
    }
    checkOutputReader();
    sampleIfDue();
    warm_.tick(memory_);
    if (warm_.firstReportDue()) logWarm();
}

// What keeping the memory warm achieved so far; nothing before it began.
void Hold::logWarm() {
    const std::string text = warm_.summary();
    if (text.empty()) return;
    logEvent(warmEvent(options_.touch ? "touch-rate" : "access-rate", text, warm_.achievedRate(), warm_.askedRate(),
                       warm_.busyShare()));
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
    const MemoryRoom room = roomLessOwnCache(readMemoryRoom());
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
    noteReading(room.available);
    std::string sign;
    std::uint64_t moved = 0;
    if (change == 0) {
        // nothing to move
    } else if (change > 0) {
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
            const MemoryRoom now = roomLessOwnCache(readMemoryRoom());
            if (!now.known) break;
            asked = moved + keep_->stillToTake(steadyClock().nowMilliseconds(), now.available, asked, moved);
        }
        sign = "+";
    } else {
        moved = memory_.shrinkExactly(static_cast<std::uint64_t>(-change));
        keep_->moved(-static_cast<std::int64_t>(moved));
        sign = "-";
    }
    if (moved > 0) {
        logEvent(adjustEvent(change > 0 ? "adjust-grow" : "adjust-shrink",
                             runSaid(IDS_RUN_ADJUSTED, {sign + mebibytesText(moved), mebibytesText(memory_.held()),
                                                        roomText(room.available, room.availableSource)})));
    }
    // The target is above what the room holds even with nothing held: said
    // each time that begins and ends, since the run then does nothing.
    const KeepSettings& keep = keep_->settings();
    const bool nothing = memory_.held() == 0 && room.available + keep.band < keep.target;
    if (nothing && !heldNothing_) {
        logEvent(adjustEvent("keep-nothing", runSaid(IDS_RUN_KEEP_NOTHING,
                                                     {roomText(room.available, room.availableSource),
                                                      mebibytesText(target_)})));
    } else if (!nothing && heldNothing_ && memory_.held() > 0) {
        logEvent(adjustEvent("keep-again", runSaid(IDS_RUN_KEEP_AGAIN, {mebibytesText(target_)})));
    }
    if (nothing || memory_.held() > 0) heldNothing_ = nothing;
}

// A reading within the band counts toward the share the end event gives.
void Hold::noteReading(std::uint64_t room) {
    const KeepSettings& s = keep_->settings();
    ++readings_;
    if (room + s.band >= s.target && room <= s.target + s.band) ++inBand_;
}

// Takes the memory at once, or step by step with --ramp; false when it
// could not all be had (a stop, the end of --for, or the room shrinking).
bool Hold::take(std::uint64_t target) {
    const std::uint64_t began = steadyClock().nowMilliseconds();
    const auto going = [this] { return !shouldEnd(); };
    if (!options_.ramp) {
        // A take at once is not cut by --for, only by a stop: --for 0 takes
        // and gives back, and the end line says how long the size was held.
        memory_.grow(target, [] { return !runShouldStop(); });
    } else {
        while (memory_.held() < target && !shouldEnd()) {
            const std::uint64_t step = std::min(options_.ramp->bytes, target - memory_.held());
            if (memory_.grow(step, going) < step) break;
            logEvent(rampEvent(
                runSaid(IDS_RUN_RAMP_STEP, {mebibytesText(step), mebibytesText(memory_.held()), mebibytesText(target)})));
            if (memory_.held() >= target) break;
            Pause interval;
            waitFor(interval, options_.ramp->intervalMilliseconds);
        }
    }
    if (memory_.held() < target) return false;
    reachedAt_ = steadyClock().nowMilliseconds();
    logEvent(holdReachedEvent(runSaid(IDS_RUN_REACHED, {mebibytesText(target), secondsText(*reachedAt_ - began)}) +
                              kindResidentText() + hugeNote()));
    return true;
}

int Hold::holdFixed(const MemoryRoom& room) {
    std::uint64_t target = resolveSize(options_.size, room);
    // With the access load, lazy memory is written whole at once: resident.
    const bool resident = !options_.lazy || options_.accessLoad;
    std::string what = runSaid(resident ? IDS_RUN_RESIDENT : IDS_RUN_COMMITTED, {mebibytesText(target)});
    const std::string margin = mebibytesText(kRoomMargin);
    if (options_.size.kind == SizeRequest::Kind::PercentOfTotal) {
        char share[32];
        std::snprintf(share, sizeof share, "%g%%", options_.size.percent);
        std::string of = roomText(room.total, room.totalSource);
        if (target + kRoomMargin >= room.total) of = runSaid(IDS_RUN_LESS_MARGIN, {of, margin});
        what = runSaid(IDS_RUN_SHARE_OF, {what, share, of});
    } else if (options_.size.kind == SizeRequest::Kind::AllBut) {
        what = runSaid(IDS_RUN_ALL_BUT, {what, mebibytesText(options_.size.bytes), margin});
        if (target == 0) {
            const std::string why =
                runSaid(IDS_RUN_ALL_BUT_NOTHING, {mebibytesText(options_.size.bytes),
                                                  roomText(room.available, room.availableSource), margin});
            if (!options_.partial) return refuse("room-refused", why);
            logEvent(holdPartialEvent("partial-fit", runSaid(IDS_RUN_PARTIAL_NOTHING, {why})));
            outcome_.reached = false;
        }
    }
    // The run's own page cache is bounded by its disk, not by the room
    // (RoomCheckedAllocator::setRoomCounts says why).
    const bool ownCache = heldKindInUse() == HeldKind::File;
    if (ownCache) {
        if (const std::string fault = kindRoomFault(target); !fault.empty()) return refuse("disk-refused", fault);
    }
    // The hugetlb pool's pages are not the memory room's: checked against the pool below.
    if (resident && !ownCache && options_.huge != HugePages::Pool && !fitsRoom(target, room)) {
        const std::uint64_t fitting = largestFitting(target, room);
        const std::string why = runSaid(IDS_RUN_NOT_FIT, {mebibytesText(target),
                                                          roomText(room.available, room.availableSource), margin});
        if (!options_.partial || fitting == 0) return refuse("room-refused", why);
        logEvent(holdPartialEvent("partial-fit", runSaid(IDS_RUN_PARTIAL_FIT,
                                                         {mebibytesText(fitting), mebibytesText(target),
                                                          roomText(room.available, room.availableSource)})));
        target = fitting;
        what = runSaid(IDS_RUN_RESIDENT, {mebibytesText(target)});
        outcome_.reached = false;
    }
    if (!resident) {
        // Lazy memory is checked whole: each chunk alone would pass.
        const std::uint64_t commit = readCommitRoom();
        if (target > commit) {
            const std::string why = mebibytesText(target) + " cannot be committed: the system commits at most " +
                                    mebibytesText(commit) + " more";
            if (!options_.partial || commit == 0) return refuse("commit-refused", why);
            logEvent(holdPartialEvent("partial-fit", "--partial: " + mebibytesText(commit) + " of the " +
                                                         mebibytesText(target) + " asked; " + why));
            target = commit / 4096 * 4096;
            what = runSaid(IDS_RUN_COMMITTED, {mebibytesText(target)});
            outcome_.reached = false;
        }
    }
    if (const PagesRefusal pages = pagesRefusal(options_, target); pages.code) return refuse(pages.code, pages.why);
    if (options_.ramp && options_.forMilliseconds && target > 0) {
        // The last step comes (steps - 1) intervals after the first.
        const std::uint64_t steps = (target + options_.ramp->bytes - 1) / options_.ramp->bytes;
        const std::uint64_t needs = (steps - 1) * options_.ramp->intervalMilliseconds;
        if (needs > 0 && needs >= *options_.forMilliseconds) {
            logEvent(errorEvent("for-before-ramp", "torvane-run: --for " + secondsText(*options_.forMilliseconds) +
                                                       " ends before --ramp reaches " + mebibytesText(target) +
                                                       ", which takes " + secondsText(needs) +
                                                       (options_.partial ? "; --partial holds what it reaches"
                                                                         : "; the run will end with status 1")));
        }
    }
    setRequested(target);
    logEvent(holdStartEvent(runSaid(IDS_RUN_TAKING, {what}) + kindTakingText()));
    if (!take(target)) {
        if (runShouldStop()) {
            outcome_.reached = false;
            return ended(exitCode(Exit::Done));
        }
        if (forIsOver()) {
            return notReached(runSaid(IDS_RUN_NOT_REACHED, {mebibytesText(memory_.held()), mebibytesText(target),
                                                            secondsText(steadyClock().nowMilliseconds() - start_)}));
        }
        const std::string got = mebibytesText(memory_.held()) + " of " + mebibytesText(target);
        if (!options_.partial) {
            memory_.releaseAll();
            return refuse("room-shrank", "the room allowed " + got);
        }
        outcome_.reached = false;
        logEvent(holdPartialEvent("partial-taken", runSaid(IDS_RUN_PARTIAL_HOLDING, {mebibytesText(memory_.held())})));
    }
    return options_.command.empty() ? holdUntilTheEnd() : runCommand();
}

// A hold that could not be had: why, then the window's own words for it.
int Hold::refuse(const char* code, const std::string& why) {
    logEvent(errorEvent(code, "torvane-run: " + why));
    failAllocation();
    outcome_.reason = "error";
    outcome_.reached = false;
    return exitCode(Exit::Failed);
}

// --for ended a take before its size: a failure unless --partial.
int Hold::notReached(const std::string& why) {
    outcome_.reached = false;
    if (!options_.partial) {
        const std::uint64_t held = memory_.held();
        memory_.releaseAll();
        logEvent(errorEvent("not-reached", "torvane-run: " + why + "; released " + mebibytesText(held)));
        outcome_.reason = "for";
        return exitCode(Exit::Failed);
    }
    logEvent(holdPartialEvent("partial-taken", runSaid(IDS_RUN_PARTIAL_REASON, {why})));
    return ended(exitCode(Exit::Done));
}

// " (the whole size held 2.40 s)": how long a hold had all it was asked.
std::string Hold::heldFor() const {
    if (!reachedAt_ || keeping_ || pressuring_) return {};
    return runSaid(IDS_RUN_WHOLE_HELD, {secondsText(steadyClock().nowMilliseconds() - *reachedAt_)});
}

int Hold::keepAvailable(const MemoryRoom& room) {
    target_ = resolveSize(options_.size, room);
    std::string raised;
    if (target_ < kRoomMargin) {
        // Below the margin the holder itself would be the one at risk.
        raised = runSaid(IDS_RUN_KEEP_RAISED, {mebibytesText(target_)});
        target_ = kRoomMargin;
    }
    if (const std::string clash = keepBelowRoomGuard(options_, target_, room); !clash.empty()) {
        logEvent(errorEvent("usage", "torvane-run: " + clash + " (try --help)", TextForm::Bare));
        outcome_.reason = "error";
        outcome_.reached = false;
        return exitCode(Exit::Usage);
    }
    const std::uint64_t band = options_.band ? std::max<std::uint64_t>(resolveSize(*options_.band, room), 1)
                                             : defaultKeepBand(room.total);
    std::optional<std::uint64_t> most;
    if (options_.most) most = resolveSize(*options_.most, room);
    if (const PagesRefusal pages = pagesRefusal(options_, 0); pages.code) return refuse(pages.code, pages.why);
    if (options_.lock) {
        // Locked pages within the lock limit: a level kept never holds more.
        const std::uint64_t lockable = lockableBytes(readPageLockRoom()) / 4096 * 4096;
        if (lockable != UINT64_MAX / 4096 * 4096) most = std::min(most.value_or(UINT64_MAX), lockable);
    }
    keep_.emplace(KeepSettings{target_, band, most, roomFigureLags(room)});
    setTargetRoom(target_, band);
    setRequested(std::nullopt);
    RoomWatchStart watching = watchRoom(room, target_);
    watch_ = std::move(watching.watch);
    logEvent(keepEvent(runSaid(IDS_RUN_KEEPING, {mebibytesText(target_), raised, mebibytesText(band),
                                                secondsText(options_.intervalMilliseconds)}) +
                       kindTakingText(true) + (most ? runSaid(IDS_RUN_KEEP_MOST, {mebibytesText(*most)}) : std::string()) +
                       runSaid(watch_ ? IDS_RUN_KEEP_WATCHED : IDS_RUN_KEEP_POLLED, {watching.how})));
    adjust();
    nextAdjust_ = steadyClock().nowMilliseconds() + options_.intervalMilliseconds;
    return options_.command.empty() ? holdUntilTheEnd() : runCommand();
}

// --pressure: the stall figures read once before anything is taken (none:
// exit 1 naming the file), then one reading and step each interval.
int Hold::holdAtPressure(const MemoryRoom& room) {
    pressure_.emplace(options_, memory_, room, steadyClock().nowMilliseconds());
    std::string why;
    if (!pressure_->open(why)) {
        pressure_.reset();
        logEvent(errorEvent("stall-unreadable", "torvane-run: " + why));
        outcome_.reason = "error";
        outcome_.reached = false;
        return exitCode(Exit::Failed);
    }
    setRequested(std::nullopt);
    logEvent(pressureEvent(pressure_->startText()));
    pressure_->adjust(steadyClock().nowMilliseconds(), [] { return !runShouldStop(); });
    nextAdjust_ = steadyClock().nowMilliseconds() + options_.intervalMilliseconds;
    return options_.command.empty() ? holdUntilTheEnd() : runCommand();
}

// --stages: every stage resolved and checked against the room as --hold
// checks its size, before anything is taken; then the stages are followed
// on every tick, through the command when there is one.
int Hold::followStages(const MemoryRoom& room) {
    std::vector<StageTarget> targets;
    const std::string margin = mebibytesText(kRoomMargin);
    for (std::size_t k = 0; k < options_.stages.size(); ++k) {
        const StageRequest& asked = options_.stages[k];
        const std::uint64_t bytes = resolveSize(asked.size, room);
        std::string why;
        if (asked.size.kind == SizeRequest::Kind::AllBut && bytes == 0) {
            why = runSaid(IDS_RUN_ALL_BUT_NOTHING, {mebibytesText(asked.size.bytes),
                                                    roomText(room.available, room.availableSource), margin});
        } else if (!fitsRoom(bytes, room)) {
            why = runSaid(IDS_RUN_NOT_FIT, {mebibytesText(bytes), roomText(room.available, room.availableSource), margin});
        }
        if (!why.empty()) return refuse("room-refused", runSaid(IDS_RUN_STAGE_REFUSED, {std::to_string(k + 1), asked.text, why}));
        targets.push_back({asked.milliseconds, bytes});
    }
    stages_.emplace(std::move(targets));
    logEvent(stageEvent("stages-start", runSaid(IDS_RUN_STAGES, {std::to_string(stages_->count()),
                                                                 secondsText(stages_->totalMilliseconds()),
                                                                 mebibytesText(stages_->largest())}) +
                                                 kindTakingText()));
    stagesStart_ = steadyClock().nowMilliseconds();
    stageTick();
    if (!options_.command.empty()) return runCommand();
    while (!stages_->finished() && !stageShort_ && !shouldEnd()) {
        Pause pause;
        const std::uint64_t elapsed = steadyClock().nowMilliseconds() - stagesStart_;
        const std::uint64_t total = stages_->totalMilliseconds();
        waitFor(pause, total > elapsed ? total - elapsed : 0);
        stageTick();  // the wait may end just before the last stage's end
    }
    if (stageShort_ && !runShouldStop()) {
        memory_.releaseAll();
        outcome_.reached = false;
        return refuse("room-shrank", "the room allowed less than a stage asked; released what was held");
    }
    return ended(exitCode(Exit::Done));
}

// The steps the stages ask for now, taken in order.
void Hold::stageTick() {
    if (stageShort_ && options_.command.empty()) return;
    for (const StageStep& step : stages_->advance(steadyClock().nowMilliseconds() - stagesStart_)) {
        const std::string place = std::to_string(step.stage + 1), count = std::to_string(stages_->count());
        const StageTarget& stage = stages_->stage(step.stage);
        switch (step.kind) {
        case StageStep::Kind::Begin:
            setRequested(stage.bytes);
            logEvent(stageEvent("stage-begin",
                                runSaid(IDS_RUN_STAGE_BEGIN, {place, count, options_.stages[step.stage].text,
                                                              mebibytesText(step.bytes), mebibytesText(stage.bytes),
                                                              secondsText(stage.milliseconds)})));
            break;
        case StageStep::Kind::Move: stageMove(step.stage, step.bytes); break;
        case StageStep::Kind::Reached:
            if (stageMove(step.stage, step.bytes)) {
                logEvent(stageEvent("stage-reached",
                                    runSaid(IDS_RUN_STAGE_REACHED, {place, count, mebibytesText(memory_.held())})));
            }
            break;
        }
    }
}

// Holds `bytes`; false, said once, when the room allows less. With a
// command the run goes on and asks again at the next step; the end event
// says the stages were not all held.
bool Hold::stageMove(std::size_t stage, std::uint64_t bytes) {
    if (memory_.held() > bytes) memory_.shrinkExactly(memory_.held() - bytes);
    if (memory_.held() < bytes) memory_.grow(bytes - memory_.held(), [] { return !runShouldStop(); });
    if (memory_.held() >= bytes) return true;
    if (!stageShort_) {
        logEvent(errorEvent("stage-short", "torvane-run: " + runSaid(IDS_RUN_STAGE_SHORT,
                                                                     {std::to_string(stage + 1),
                                                                      std::to_string(stages_->count()),
                                                                      mebibytesText(memory_.held()),
                                                                      mebibytesText(bytes)})));
    }
    stageShort_ = true;
    outcome_.reached = false;
    return false;
}

int Hold::holdUntilTheEnd() {
    Pause pause;
    waitFor(pause, std::nullopt);
    return ended(exitCode(Exit::Done));
}

// What the end event says of a closed loop: its share of readings in band,
// and whether the last reading was (what --max or the room allowed may
// have kept it from).
void Hold::settleOutcome() {
    if (reachedAt_) outcome_.fullSeconds = static_cast<double>(steadyClock().nowMilliseconds() - *reachedAt_) / 1000.0;
    if (pressure_) {
        outcome_.inBand = pressure_->inBand();
        // The bench's goal: 80 % of the readings in band once it first was.
        outcome_.reached = pressure_->settled() && pressure_->inBand() >= 0.8;
    }
    if (!keeping_) return;
    outcome_.inBand = readings_ ? static_cast<double>(inBand_) / readings_ : 0.0;
    outcome_.reached = readings_ > 0 && inBand_ == readings_;
}

int Hold::runCommand() {
    if (shouldEnd()) return ended(exitCode(Exit::Done));
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
        outcome_.reason = "error";
        outcome_.reached = false;
        return exitCode(Exit::NotStarted);
    }
    SlicedWait watched(running, kWatchSliceMilliseconds, [this] { onBurst(); });
    const bool stopped =
        awaitCommand(running, options_.graceMilliseconds, [this] { tick(); }, watch_ ? &watched : nullptr);
    const std::uint64_t took = steadyClock().nowMilliseconds() - began;
    int status = running.status();
    std::string how = "status " + std::to_string(status);
    if (status > stoppedCode(0)) how += " (signal " + std::to_string(status - stoppedCode(0)) + ")";
    logEvent(commandEndEvent(start, "command-end", how + " after " + secondsText(took), status,
                             static_cast<double>(took) / 1000.0));
    settleOutcome();
    logWarm();
    const std::string heldWhole = heldFor();
    const std::uint64_t held = heldAtTrip_.value_or(memory_.held());
    memory_.releaseAll();
    if (stopped) {
        // Killed after the grace period: the stop's status, not the kill's;
        // the deadline's always.
        if (status == stoppedCode(kKill) || runTimedOut() || guardTripped()) status = stoppedRunStatus();
        outcome_.reason = stopReason();
        logEvent(stopEvent(runSaid(IDS_RUN_STOPPED_WITH_COMMAND, {stopCause(), mebibytesText(held)}) + heldWhole));
        return status;
    }
    outcome_.reason = "command";
    logEvent(releaseEvent(runSaid(IDS_RUN_RELEASED, {mebibytesText(held)}) + heldWhole));
    return status;
}

// The end of a hold without a command, or before its command started.
int Hold::ended(int status) {
    settleOutcome();
    logWarm();
    const std::string heldWhole = heldFor();
    const std::uint64_t held = heldAtTrip_.value_or(memory_.held());
    memory_.releaseAll();
    if (runShouldStop()) {
        logEvent(stopEvent(runSaid(IDS_RUN_STOPPED_RELEASED, {stopCause(), mebibytesText(held)}) + heldWhole));
        outcome_.reason = stopReason();
        // A signal is the normal end of a hold that has neither --for nor a
        // command; the deadline and lost output are not.
        // Stages end by themselves, as --for does: a stop before is not their end.
        const bool normalEnd = !guardTripped() && stopSignalled() && !options_.forMilliseconds &&
                               options_.command.empty() && options_.mode != RunMode::Stages;
        return normalEnd ? exitCode(Exit::Done) : stoppedRunStatus();
    }
    if (forIsOver()) outcome_.reason = "for";
    logEvent(releaseEvent(
        runSaid(IDS_RUN_RELEASED_AFTER, {mebibytesText(held), secondsText(steadyClock().nowMilliseconds() - start_)}) +
        heldWhole));
    return status;
}

int Hold::run() {
    // Before anything is taken: a guard that holds already ends the run now.
    if (checkGuards()) {
        outcome_.reached = false;
        return ended(exitCode(Exit::Done));
    }
    const MemoryRoom room = readMemoryRoom();
    if (!room.known) {
        return refuse("room-unreadable", "the memory room cannot be read (" + room.error + "), so nothing is held");
    }
    if (!room.cacheUnread.empty()) {
        logEvent(errorEvent("cache-unread", "torvane-run: the group's page cache cannot be read (" + room.cacheUnread +
                                                "), so none of it counts as room"));
    }
    if (pressuring_) return holdAtPressure(room);
    if (options_.mode == RunMode::Stages) return followStages(room);
    return keeping_ ? keepAvailable(room) : holdFixed(room);
}
}  // namespace

int runHold(const Options& options, BlockAllocator& allocator, RunOutcome& outcome) {
    Hold hold(options, allocator, outcome);
    return hold.run();
}
