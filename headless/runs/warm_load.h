// Keeping the held memory warm: the access load's whole passes (-a), the
// same writes spread at a rate (--access-rate), or each page's first word
// touched (--touch); and what each achieved, for the log. Portable: the
// pacing runs on a scripted clock in the tests.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "headless/memory/page_content.h"
#include "load/access_load.h"

class HeldMemory;
struct Options;
struct TickClock;

enum class WarmWay { None, Passes, Rate, Touch };

struct WarmSettings {
    WarmWay way = WarmWay::None;
    std::uint64_t rate = 0;                   // Rate: bytes a second
    std::uint64_t touchMilliseconds = 1000;   // Touch: how often every page is touched
    bool readOnly = false;                    // Touch: page cache is read, never written
    PageContent content;                      // what the passes keep the pages holding
    unsigned workers = 1;
};
// `pageCache`: the hold is --kind file.
WarmSettings warmSettingsOf(const Options& options, bool pageCache);

// --access-rate's pacing: the bytes owed since writing began, in whole
// pages. A time with nothing held is not owed afterwards, nor is more than a
// second's worth: a tick held up by a take or a command start writes at
// most a second's bytes, not a burst of everything missed (what it did not
// write shows in the rate achieved).
class RatePacer {
public:
    explicit RatePacer(std::uint64_t bytesPerSecond) : rate_(bytesPerSecond) {}
    std::uint64_t due(std::uint64_t now, std::uint64_t held);
    void wrote(std::uint64_t bytes) { written_ += bytes; }

private:
    std::uint64_t rate_;
    std::optional<std::uint64_t> from_;  // when the bytes owed began to count
    std::uint64_t written_ = 0;          // since then
};

// Reads the first 8-byte word of each 4 KiB page of [start, start + bytes)
// and, with `writeBack`, stores it again: every page referenced (and, with
// the store, dirty) for reclaim at one cache line a page.
void touchPages(unsigned char* start, std::uint64_t bytes, bool writeBack);

// What the warm load did while memory was held.
struct WarmFigures {
    std::uint64_t bytes = 0;         // written (passes, rate) or touched pages' bytes (touch)
    std::uint64_t milliseconds = 0;      // time warmed with memory held
    std::uint64_t rateMilliseconds = 0;  // the time `bytes` took: to the last touch
    double busySeconds = 0;              // processor time spent writing or touching
};

class WarmLoad {
public:
    WarmLoad(WarmSettings settings, TickClock& clock) : settings_(settings), clock_(clock), pacer_(settings.rate) {}
    WarmLoad(const WarmLoad&) = delete;
    WarmLoad& operator=(const WarmLoad&) = delete;

    // On every tick: a whole pass, the bytes the rate owes, or a touch of
    // every page once one is due.
    void tick(HeldMemory& memory);
    const WarmFigures& figures() const { return figures_; }
    bool active() const { return settings_.way != WarmWay::None; }

    // True once, when five seconds have been warmed: the log says early
    // what the rate is, as well as at the end.
    bool firstReportDue();
    // "access load: 1024.0MiB/s written of 1024.0MiB/s asked over 60.00 s,
    // 5.1% of a core"; empty when nothing was warmed.
    std::string summary() const;
    // The rate achieved (bytes a second; touch: bytes of pages touched a
    // second) and the share of one processor's time it took.
    std::optional<double> achievedRate() const;
    std::optional<double> busyShare() const;
    std::optional<double> askedRate() const;

private:
    void writeSpans(HeldMemory& memory, std::uint64_t bytes);
    void beginPass();
    void write(unsigned char* start, std::uint64_t bytes);

    WarmSettings settings_;
    TickClock& clock_;
    RatePacer pacer_;
    WarmFigures figures_;
    std::optional<std::uint64_t> lastTick_;  // of a tick with memory held
    std::optional<std::uint64_t> lastWork_;  // of the last pass, rate's writes or touch
    std::uint64_t touchDue_ = 0;             // Touch: when the next is due
    std::uint64_t cursor_ = 0;  // Rate: where the pass under way goes on
    std::uint64_t pass_ = 0;
    std::uint64_t key_ = 0;       // random, compressible: the pass's key
    unsigned char value_ = 0;     // fill: the pass's byte
    AccessLoad cycle_;            // the window's cycle of fill values
    bool reported_ = false;
};
