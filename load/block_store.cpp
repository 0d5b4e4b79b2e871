#include "block_store.h"

#include <atomic>
#include <chrono>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <emmintrin.h>
#endif

// How the classes were chosen. Measured on the bench machine (2-core AMD
// EPYC virtual machine, family 1Ah, ERMS and FSRM; bench/notes-store.md has
// the tables), each way over the same resident block, taking turns, 16 to 24
// rounds a size, natively (glibc 2.36) and in a MinGW program under Wine 8,
// as ratios to the runtime's memset:
//  - `rep stosb` under Wine: 1.42 to 1.51 at 1 MiB; 1.10 to 1.25 at 48 to
//    128 MiB in every run; 0.87 to 1.11 at 256 MiB and 0.97 to 1.00 at
//    1 GiB. At 4 to 24 MiB it ran either at the caches' speed (1.3 to 1.6,
//    two runs of six) or at the memory's (0.5 to 0.9, four runs), run by
//    run. Natively glibc's memset is a `rep stosb` from 2 KiB (its
//    rep_stosb_threshold, `ld.so --list-diagnostics`), and the two measure
//    alike (0.94 to 1.07; the same two speeds at 4 to 16 MiB).
//  - Non-temporal stores: 0.25 to 0.6 of either while the block fits the
//    caches, 0.80 to 0.97 of `rep stosb` at 256 MiB to 2 GiB, natively and
//    under Wine: this processor's fast string stores already write whole
//    lines without reading them first.
//  - Below 2 KiB `rep stosb` pays its start-up (tens of cycles); memset's
//    vector stores do not.
// So: with fast strings, memset below 2 KiB and `rep stosb` from there on;
// the blocks the access load is for (64 MiB and more) are where it leads or
// ties in every run. Without them (not measured here: the rule is the usual
// one), memset, and non-temporal stores once the block is four times the
// last-level cache, where every line would otherwise be read for ownership
// only to be overwritten.
//
// Past the caches no one way wins: timed later, with ordinary 16-byte stores
// (32 bytes a round, what Wine's memset does) beside the others, over 64 MiB
// to 1 GiB, 12 turns each:
//  - one thread, natively: the 16-byte stores 1.15 to 1.30 of `rep stosb`
//    from 256 MiB, run after run; two threads: 0.82 to 0.86 of it.
//  - under Wine, the runtime's memset (those stores) against `rep stosb` at
//    1 GiB, in two bench runs forty minutes apart on one commit: 1.35, then
//    1.05 on one thread; 1.30, then 0.81 on two.
// So each block of 512 MiB or more is timed over its first passes
// (calibrationStep): every way four times, each timed pass after a pass of
// its own, and the fastest way stores every pass after. Taken first as
// slices of one pass, then as one pass a way in turn, the timing misjudged:
// each way paid for the lines the way before it left dirty in the caches
// (non-temporal stores leave them to whoever comes next), and at 256 MiB
// kept the non-temporal stores where `rep stosb` was 9 % faster. With
// threads the whole pass is timed, not each thread's part: each part timed
// alone chose its own way, and the parts seldom agreed.
// The choice does not hold for good: two threads of ordinary stores wrote
// 1 GiB at 31 GB/s in one bench row and 48 to 50 in the next, a minute
// later (the virtual processors sharing a host core, or not), while
// `rep stosb` on two threads stayed at 39 to 49. So the steps run again
// every kRetimeAfterPasses passes. The timed passes are real passes: they
// cost at most the slowest way's extra, 24 passes in a thousand.
// Within one bench row too the two-thread ordinary stores fell from 49 to
// 52 GB/s to 28 to 31 and stayed there, with 40 passes in the row: so
// every pass in the chosen way is timed as well (a clock read at each end),
// and kSlowedPasses in a row under kSlowedShare of the rate it was chosen
// at run the steps again at once. One pass disturbed by the scheduler is
// not a change; in a steady bench row the middle half of the pass's
// repetitions lies within 5 to 8 % of their median, well above 0.85.
// Not below 512 MiB: timed from 16 MiB, in one bench run the 256 MiB blocks
// took memset under Wine and non-temporal stores natively, and `rep stosb`
// then ran 10 to 40 % faster over the rows (a 256 MiB pass is over in 7 to
// 10 ms, too short a look at a memory whose speed swings); at 64 and
// 256 MiB `rep stosb` led or tied in every run before. At 1 GiB the timing
// kept the row's leader or a way within 3 % of it in every row.
namespace {
constexpr std::uint64_t kStringFrom = 2048;
constexpr std::uint64_t kStreamCaches = 4;
constexpr std::uint64_t kCalibrateFrom = 512ull << 20;

inline void keepStores(unsigned char* start) {
    // The block is never read back here; this tells the compiler that the
    // memory escapes, so the stores are kept.
    asm volatile("" : : "r"(start) : "memory");
}

#if defined(__x86_64__)
// Leaf 4 (Intel) and 0x8000001D (AMD with topology extensions) describe one
// cache per subleaf in the same layout; the last level is the largest level.
std::uint64_t largestCacheOfLeaf(unsigned leaf) {
    std::uint64_t found = 0;
    unsigned foundLevel = 0;
    for (unsigned index = 0; index < 16; ++index) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid_count(leaf, index, &a, &b, &c, &d)) return 0;
        const unsigned type = a & 31;
        if (type == 0) break;
        if (type == 2) continue;  // instructions only
        const unsigned level = (a >> 5) & 7;
        const std::uint64_t bytes = std::uint64_t{(b >> 22) + 1} * (((b >> 12) & 0x3ff) + 1) * ((b & 0xfff) + 1) *
                                    (std::uint64_t{c} + 1);
        if (level >= foundLevel) {
            foundLevel = level;
            found = bytes;
        }
    }
    return found;
}

std::uint64_t lastLevelCache() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) && a >= 4) {
        if (const std::uint64_t bytes = largestCacheOfLeaf(4)) return bytes;
    }
    if (!__get_cpuid(0x80000000, &a, &b, &c, &d)) return 0;
    const unsigned extended = a;
    if (extended >= 0x8000001D && __get_cpuid(0x80000001, &a, &b, &c, &d) && (c >> 22 & 1)) {
        if (const std::uint64_t bytes = largestCacheOfLeaf(0x8000001D)) return bytes;
    }
    if (extended >= 0x80000006 && __get_cpuid(0x80000006, &a, &b, &c, &d)) {
        if (const std::uint64_t l3 = std::uint64_t{d >> 18} * 512 * 1024) return l3;
        return std::uint64_t{c >> 16} * 1024;  // L2, when no L3 is named
    }
    return 0;
}
#endif

void storeMemset(unsigned char* start, std::uint64_t bytes, unsigned char value) {
    std::memset(start, value, static_cast<std::size_t>(bytes));
}

void storeRepStosb(unsigned char* start, std::uint64_t bytes, unsigned char value) {
#if defined(__x86_64__)
    std::uint64_t count = bytes;
    asm volatile("rep stosb" : "+D"(start), "+c"(count) : "a"(value) : "memory");
#else
    storeMemset(start, bytes, value);
#endif
}

#if defined(__x86_64__)
// The head up to a 16-byte boundary and the tail under one round by memset;
// the body by `storeRound`, each round `kRound` bytes of aligned 16-byte
// registers holding `value`.
template <std::uint64_t kRound, typename StoreRound>
void storeAlignedRounds(unsigned char* start, std::uint64_t bytes, unsigned char value, StoreRound storeRound) {
    std::uint64_t head = (16 - (reinterpret_cast<std::uintptr_t>(start) & 15)) & 15;
    if (head > bytes) head = bytes;
    storeMemset(start, head, value);
    unsigned char* body = start + head;
    const std::uint64_t rounds = (bytes - head) / kRound;
    const __m128i pattern = _mm_set1_epi8(static_cast<char>(value));
    auto* line = reinterpret_cast<__m128i*>(body);
    for (std::uint64_t k = 0; k < rounds; ++k, line += kRound / 16) storeRound(line, pattern);
    storeMemset(body + rounds * kRound, bytes - head - rounds * kRound, value);
}
#endif

void storeStream(unsigned char* start, std::uint64_t bytes, unsigned char value) {
#if defined(__x86_64__)
    storeAlignedRounds<64>(start, bytes, value, [](__m128i* line, __m128i pattern) {
        _mm_stream_si128(line, pattern);
        _mm_stream_si128(line + 1, pattern);
        _mm_stream_si128(line + 2, pattern);
        _mm_stream_si128(line + 3, pattern);
    });
    // Streaming stores are weakly ordered: the fence makes them visible
    // before anything the caller does next (another thread's next part, the
    // pass's end).
    _mm_sfence();
#else
    storeMemset(start, bytes, value);
#endif
}

void storeVector(unsigned char* start, std::uint64_t bytes, unsigned char value) {
#if defined(__x86_64__)
    storeAlignedRounds<32>(start, bytes, value, [](__m128i* line, __m128i pattern) {
        _mm_store_si128(line, pattern);
        _mm_store_si128(line + 1, pattern);
    });
#else
    storeMemset(start, bytes, value);
#endif
}

std::uint64_t steadyNanoseconds() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// The blocks met so far, by start, length and parts: a few at once at most
// (the window holds one; torvane-run one, or its chunks).
// Beyond that the oldest is forgotten and timed again when met. A block
// given back and taken anew at the same place and length, stored by as many
// threads, keeps its choice: the same memory, the same way. Not across part
// counts: under Wine, one thread over 1 GiB was as fast with ordinary stores
// as with `rep stosb` (28.4 against 27.1 GB/s) while two threads storing
// halves wrote 37.3 GB/s with `rep stosb` and 29.5 with ordinary stores;
// sharing the entry, the two-thread pass kept the one-thread choice.
class Calibrations {
public:
    // What the next pass over a block does: its class's way untimed (the
    // first pass), calibration step `timing`, or the chosen way.
    StorePass next(const unsigned char* start, std::uint64_t bytes, unsigned parts, StoreWay planned) {
        Lock lock(busy_);
        if (Entry* found = find(start, bytes, parts)) {
            Entry& entry = *found;
            if (!entry.timing) {
                if (++entry.sinceChosen < kRetimeAfterPasses) {
                    return {entry.way, entry.chosenRate > 0 ? kWatchedPass : -1};
                }
                retime(entry);
            }
            // Past the last step while its time is not yet in: the old way.
            if (entry.step >= kCalibrationStepCount) return {entry.way};
            const int step = entry.step++;
            const CalibrationStep what = calibrationStep(step);
            return {what.way, what.timed ? step : -1};
        }
        Entry& fresh = entries_[next_];
        fresh = Entry{};
        fresh.start = start;
        fresh.bytes = bytes;
        fresh.parts = parts;
        fresh.planned = fresh.way = planned;
        next_ = (next_ + 1) % kEntries;
        return {planned};
    }

    // Step `step` took `nanoseconds`; as the last step is timed, the
    // fastest way is kept.
    void timed(const unsigned char* start, std::uint64_t bytes, unsigned parts, int step,
               std::uint64_t nanoseconds) {
        Lock lock(busy_);
        Entry* entry = find(start, bytes, parts);
        if (!entry) return;
        if (step == kWatchedPass) {
            if (entry->timing || nanoseconds == 0) return;
            const double rate = static_cast<double>(bytes) / static_cast<double>(nanoseconds);
            entry->slowPasses = rate < entry->chosenRate * kSlowedShare ? entry->slowPasses + 1 : 0;
            if (entry->slowPasses >= kSlowedPasses) retime(*entry);
            return;
        }
        if (!entry->timing) return;
        entry->steps[step] = TimedStore{calibrationStep(step).way, bytes, nanoseconds};
        if (step == kCalibrationStepCount - 1) {
            entry->way = fastestWay(entry->steps, kCalibrationStepCount, entry->planned, &entry->chosenRate);
            entry->chosen = true;
            entry->timing = false;
        }
    }

    bool chosen(const unsigned char* start, std::uint64_t bytes, unsigned parts, StoreWay& way) {
        Lock lock(busy_);
        const Entry* entry = find(start, bytes, parts);
        if (!entry || !entry->chosen) return false;
        way = entry->way;
        return true;
    }

    void forget() {
        Lock lock(busy_);
        for (Entry& entry : entries_) entry = Entry{};
    }

    std::uint64_t (*clock)() = steadyNanoseconds;

private:
    struct Entry {
        const unsigned char* start = nullptr;
        std::uint64_t bytes = 0;
        unsigned parts = 1;
        StoreWay planned = StoreWay::Memset;  // the class's way, kept if no pass says
        StoreWay way = StoreWay::Memset;      // `planned` until chosen, then the last choice
        bool chosen = false;                  // a choice has been made
        bool timing = true;                   // the steps are running
        int step = 0;                         // the next step
        int sinceChosen = 0;                  // passes since the last choice
        double chosenRate = 0;                // bytes/ns the choice was timed at; 0: not watched
        int slowPasses = 0;                   // chosen-way passes in a row under kSlowedShare of it
        TimedStore steps[kCalibrationStepCount] = {};  // untimed steps stay empty
    };

    // The steps from the start; the old choice stores until they choose.
    static void retime(Entry& entry) {
        entry.timing = true;
        entry.step = 0;
        entry.sinceChosen = 0;
        entry.slowPasses = 0;
        for (TimedStore& timed : entry.steps) timed = TimedStore{};
    }

    // The entry of the block at `start` of `bytes` in `parts`, under the
    // lock; a slot never used (null, 0) is no block's, since timed blocks
    // are large.
    Entry* find(const unsigned char* start, std::uint64_t bytes, unsigned parts) {
        for (Entry& entry : entries_)
            if (entry.start == start && entry.bytes == bytes && entry.parts == parts) return &entry;
        return nullptr;
    }

    // A spin lock: held for a few loads twice a pass, and MinGW's
    // win32 thread model has no std::mutex.
    struct Lock {
        explicit Lock(std::atomic_flag& flag) : flag_(flag) {
            while (flag_.test_and_set(std::memory_order_acquire)) {
            }
        }
        ~Lock() { flag_.clear(std::memory_order_release); }
        std::atomic_flag& flag_;
    };
    static constexpr std::size_t kEntries = 64;
    std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    Entry entries_[kEntries];
    std::size_t next_ = 0;
};

Calibrations& calibrations() {
    static Calibrations table;
    return table;
}
}  // namespace

const char* storeWayName(StoreWay way) {
    switch (way) {
    case StoreWay::Memset: return "memset";
    case StoreWay::RepStosb: return "rep stosb";
    case StoreWay::Stream: return "stream";
    case StoreWay::Vector: return "vector";
    }
    return "?";
}

StoreFeatures probeStoreFeatures() {
    StoreFeatures features;
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) && a >= 7 && __get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        features.fastStrings = (b >> 9) & 1;
    }
    features.lastLevelCacheBytes = lastLevelCache();
#endif
    return features;
}

StorePlan planStores(const StoreFeatures& features) {
    StorePlan plan;
    if (features.fastStrings) {
        plan.stringFrom = kStringFrom;
    } else if (features.lastLevelCacheBytes != 0 && features.lastLevelCacheBytes <= UINT64_MAX / kStreamCaches) {
        plan.streamFrom = features.lastLevelCacheBytes * kStreamCaches;
    }
#if defined(__x86_64__)
    // Not from the cache size CPUID gives: a virtual machine's can be far off
    // (this bench machine's names 508 MiB, yet stores run at the memory's
    // speed from 48 MiB); from the size the measurements above support.
    plan.calibrateFrom = kCalibrateFrom;
#endif
    return plan;
}

const StorePlan& processStorePlan() {
    static const StorePlan plan = planStores(probeStoreFeatures());
    return plan;
}

StoreWay storeWayFor(const StorePlan& plan, std::uint64_t classBytes) {
    if (classBytes >= plan.streamFrom) return StoreWay::Stream;
    if (classBytes >= plan.stringFrom) return StoreWay::RepStosb;
    return StoreWay::Memset;
}

void storeWith(StoreWay way, unsigned char* start, std::uint64_t bytes, unsigned char value) {
    if (bytes == 0) return;
    switch (way) {
    case StoreWay::Memset: storeMemset(start, bytes, value); break;
    case StoreWay::RepStosb: storeRepStosb(start, bytes, value); break;
    case StoreWay::Stream: storeStream(start, bytes, value); break;
    case StoreWay::Vector: storeVector(start, bytes, value); break;
    }
    keepStores(start);
}

StorePass beginStorePass(const StorePlan& plan, const unsigned char* block, std::uint64_t bytes, unsigned parts) {
    const StoreWay planned = storeWayFor(plan, bytes);
    if (bytes < plan.calibrateFrom) return {planned};
    Calibrations& table = calibrations();
    StorePass pass = table.next(block, bytes, parts, planned);
    pass.parts = parts;
    if (pass.timing >= 0) pass.began = table.clock();
    return pass;
}

void endStorePass(const unsigned char* block, std::uint64_t bytes, const StorePass& pass) {
    if (pass.timing < 0) return;
    Calibrations& table = calibrations();
    const std::uint64_t now = table.clock();
    table.timed(block, bytes, pass.parts, pass.timing, now > pass.began ? now - pass.began : 0);
}

void storeBlock(const StorePlan& plan, unsigned char* block, std::uint64_t bytes, unsigned char value) {
    const StorePass pass = beginStorePass(plan, block, bytes);
    storeWith(pass.way, block, bytes, value);
    endStorePass(block, bytes, pass);
}

StoreWay fastestWay(const TimedStore* stores, std::size_t count, StoreWay fallback, double* rate) {
    StoreWay best = fallback;
    double bestRate = 0;
    for (const StoreWay way : kCalibratedWays) {
        double sum = 0, slowest = 0;
        int rates = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const TimedStore& s = stores[k];
            if (s.way != way || s.nanoseconds == 0 || s.bytes == 0) continue;
            const double rate = static_cast<double>(s.bytes) / static_cast<double>(s.nanoseconds);
            if (rates == 0 || rate < slowest) slowest = rate;
            sum += rate;
            ++rates;
        }
        if (rates == 0) continue;
        const double mean = rates >= 3 ? (sum - slowest) / (rates - 1) : sum / rates;
        if (mean > bestRate) {
            best = way;
            bestRate = mean;
        }
    }
    if (rate) *rate = bestRate;
    return best;
}

bool calibratedWay(const unsigned char* block, std::uint64_t bytes, StoreWay& way, unsigned parts) {
    return calibrations().chosen(block, bytes, parts, way);
}

void setStoreClockForTesting(std::uint64_t (*now)()) {
    calibrations().forget();
    calibrations().clock = now ? now : steadyNanoseconds;
}
