// The one store routine of the access load's pass: how a run of bytes gets
// one value, by size class. The classes and their thresholds are chosen once
// from the processor's features (CPUID), never by timing at start-up; blocks
// of 512 MiB and more are timed over their own passes, since there the
// fastest way depends on the memory's state and the number of threads
// storing, not on the processor. See block_store.cpp for what was measured
// to choose. No platform headers: compiler intrinsics only, so it is
// unit-tested natively.
#pragma once
#include <cstddef>
#include <cstdint>

// The ways of storing a value over a run of bytes.
enum class StoreWay {
    Memset,    // the C library's memset
    RepStosb,  // one `rep stosb` (fast string stores)
    Stream,    // non-temporal 16-byte stores, then a store fence
    Vector,    // ordinary 16-byte stores, 32 bytes a round
};

// "memset", "rep stosb", "stream", "vector".
const char* storeWayName(StoreWay way);

// What the choice rests on, as read from CPUID.
struct StoreFeatures {
    bool fastStrings = false;                // ERMS: CPUID 7.0 EBX bit 9
    std::uint64_t lastLevelCacheBytes = 0;   // 0 when CPUID does not say
};

// The size classes: below stringFrom bytes memset, from stringFrom up to
// streamFrom `rep stosb`, from streamFrom non-temporal stores. A threshold of
// UINT64_MAX leaves its class out. Blocks from calibrateFrom bytes are timed
// over their first passes (beginStorePass).
struct StorePlan {
    std::uint64_t stringFrom = UINT64_MAX;
    std::uint64_t streamFrom = UINT64_MAX;
    std::uint64_t calibrateFrom = UINT64_MAX;
};

// The processor this runs on (all false/0 off x86-64).
StoreFeatures probeStoreFeatures();

// The classes for a processor with these features.
StorePlan planStores(const StoreFeatures& features);

// The plan of this process: planStores(probeStoreFeatures()), made on first
// use and kept.
const StorePlan& processStorePlan();

// Which way `plan` takes for a block of `classBytes`.
StoreWay storeWayFor(const StorePlan& plan, std::uint64_t classBytes);

// Writes `value` over [start, start + bytes) the given way; nothing outside
// it is written. The compiler may not drop the stores (the block escapes).
void storeWith(StoreWay way, unsigned char* start, std::uint64_t bytes, unsigned char value);

// One pass over a whole block: the way every part of it is stored (a pass
// split across threads stores each part as the whole block would be
// stored, since the class is about the block against the caches), and
// whether the pass is timed.
struct StorePass {
    StoreWay way = StoreWay::Memset;
    int timing = -1;          // 0 and up: calibration step `timing`, or kWatchedPass
    std::uint64_t began = 0;  // the clock when a timed pass began
    unsigned parts = 1;       // the threads storing it, one part each
};

// The next pass over the block at [block, block + bytes), stored in `parts`
// parts. A block of plan.calibrateFrom bytes or more is remembered by its
// start, length and parts (two threads storing halves can be fastest in
// another way than one thread storing the whole): its first pass is stored
// in its class's way (it may be faulting pages in), the next as
// calibrationStep says, the timed ones timed from here to endStorePass, and
// the later passes in the fastest way (fastestWay), the steps running again
// after every kRetimeAfterPasses of those, or once kSlowedPasses of those in
// a row ran under kSlowedShare of the chosen way's timed rate (those passes
// are timed too: kWatchedPass). Every pass writes exactly the block,
// whatever the way: the content never depends on the choice.
StorePass beginStorePass(const StorePlan& plan, const unsigned char* block, std::uint64_t bytes,
                         unsigned parts = 1);

// Called once every part of the pass is written; records a timed pass.
void endStorePass(const unsigned char* block, std::uint64_t bytes, const StorePass& pass);

// A whole pass on the calling thread: begin, store, end.
void storeBlock(const StorePlan& plan, unsigned char* block, std::uint64_t bytes, unsigned char value);

// The ways the timed passes take.
inline constexpr StoreWay kCalibratedWays[] = {StoreWay::RepStosb, StoreWay::Vector, StoreWay::Memset,
                                               StoreWay::Stream};

// The passes after a large block's first: each way in turn for three
// passes, the first untimed (it pays for what the way before left in the
// caches), the other two timed; then the same in the mirrored order, so
// that drifts in the memory's speed hit every way alike. Every way is timed
// four times, each time after a pass of its own, as it runs once chosen.
struct CalibrationStep {
    StoreWay way;
    bool timed;
};
inline constexpr int kStepsPerWay = 3;
inline constexpr int kRetimeAfterPasses = 1000;
inline constexpr int kCalibrationStepCount = 2 * kStepsPerWay * 4;
inline constexpr int kWatchedPass = kCalibrationStepCount;  // StorePass::timing of a chosen way's pass
inline constexpr int kSlowedPasses = 8;
inline constexpr double kSlowedShare = 0.85;
constexpr CalibrationStep calibrationStep(int step) {
    const int round = step / (kStepsPerWay * 4), inRound = step % (kStepsPerWay * 4);
    const int order = inRound / kStepsPerWay;
    return {kCalibratedWays[round == 0 ? order : 3 - order], inRound % kStepsPerWay != 0};
}
// The step of the `n`th timed pass (counting from 0), or -1 past the last.
constexpr int timedStepNumber(int n) {
    for (int step = 0; step < kCalibrationStepCount; ++step)
        if (calibrationStep(step).timed && n-- == 0) return step;
    return -1;
}
static_assert(sizeof kCalibratedWays / sizeof *kCalibratedWays == 4);
static_assert(calibrationStep(kCalibrationStepCount - 1).timed, "the choice is made as the last step is timed");

// One timed store: the way, the bytes, how long.
struct TimedStore {
    StoreWay way;
    std::uint64_t bytes;
    std::uint64_t nanoseconds;
};

// The way that wrote the most bytes a nanosecond, each way's figure the mean
// of its stores' rates with its slowest one left out (one pass disturbed by
// the scheduler says nothing about the way); `fallback` when none was timed
// (a clock that did not move says nothing). Ties go to the way earlier in
// kCalibratedWays. `rate`, when given, is set to the chosen way's figure
// (0 with the fallback).
StoreWay fastestWay(const TimedStore* stores, std::size_t count, StoreWay fallback, double* rate = nullptr);

// The way the timed passes last chose for the block at [block, block +
// bytes) stored in `parts` parts, or false before they first chose (or once
// it was forgotten).
bool calibratedWay(const unsigned char* block, std::uint64_t bytes, StoreWay& way, unsigned parts = 1);

// Tests: the clock the timed passes read (nanoseconds); null for the steady
// clock. Forgets every block met so far.
void setStoreClockForTesting(std::uint64_t (*now)());
