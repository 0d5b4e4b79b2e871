#include "headless/runs/warm_load.h"

#include <algorithm>
#include <cstdio>

#include "headless/cli/options.h"
#include "headless/memory/stall_window.h"
#include "headless/metrics/live_figures.h"
#include "headless/record/mebibytes.h"
#include "headless/record/run_texts.h"
#include "headless/runs/held_memory.h"
#include "headless/runs/parallel_fill.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/cpu_time.h"
#include "shell/resource_ids.h"

namespace {
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kFirstReportMilliseconds = 5000;

std::string rateText(double bytesPerSecond) {
    return mebibytesText(static_cast<std::uint64_t>(bytesPerSecond)) + "/s";
}
}  // namespace

WarmSettings warmSettingsOf(const Options& options, bool pageCache) {
    WarmSettings settings;
    settings.content = options.content;
    settings.workers = options.workers;
    settings.touchMilliseconds = options.touchIntervalMilliseconds;
    settings.readOnly = pageCache;
    if (options.touch) {
        settings.way = WarmWay::Touch;
    } else if (options.accessLoad && options.accessRate) {
        settings.way = WarmWay::Rate;
        settings.rate = *options.accessRate;
    } else if (options.accessLoad) {
        settings.way = WarmWay::Passes;
    }
    return settings;
}

std::uint64_t RatePacer::due(std::uint64_t now, std::uint64_t held) {
    if (held == 0 || rate_ == 0) {
        from_.reset();
        return 0;
    }
    if (!from_ || now < *from_) {
        from_ = now;
        written_ = 0;
        return 0;
    }
    // In 128-bit steps: a rate of terabytes a second over days stays exact.
    const unsigned __int128 owed = static_cast<unsigned __int128>(rate_) * (now - *from_) / 1000;
    std::uint64_t bytes = owed > written_ ? static_cast<std::uint64_t>(owed - written_) : 0;
    if (bytes > rate_) {
        // Behind by more than a second: the last second's bytes now, the
        // rest forgiven.
        from_ = now - 1000;
        written_ = 0;
        bytes = rate_;
    }
    return bytes / kPage * kPage;
}

// How far ahead a touch asks for pages: the processor's prefetchers stop at
// a page's end, so each touch would wait out its own miss. A bare loop over
// 1 GiB of 4 KiB pages here took 20.8 ms a pass, 6.4 ms asking 16 pages
// ahead (no better at 64).
constexpr std::uint64_t kTouchAhead = 16 * kPage;

void touchPages(unsigned char* start, std::uint64_t bytes, bool writeBack) {
    // Volatile: the loads and stores are the point, and no compiler may
    // drop a load whose value is unused or a store of the value just read.
    for (std::uint64_t at = 0; at + sizeof(std::uint64_t) <= bytes; at += kPage) {
        if (at + kTouchAhead < bytes) {
            if (writeBack) {
                __builtin_prefetch(start + at + kTouchAhead, 1);
            } else {
                __builtin_prefetch(start + at + kTouchAhead, 0);
            }
        }
        volatile std::uint64_t* word = reinterpret_cast<volatile std::uint64_t*>(start + at);
        const std::uint64_t value = *word;
        if (writeBack) *word = value;
    }
}

// A pass's own content: the window's next fill byte, zeros, or for random
// and compressible:N a new key that each word is XORed with (page_content.h
// says why that keeps their character).
void WarmLoad::beginPass() {
    ++pass_;
    value_ = settings_.content.kind == PageContent::Kind::Zero ? 0 : takeFillByte(cycle_);
    key_ = passKey(pass_, 0x746f7276616e65ull);
}

void WarmLoad::write(unsigned char* start, std::uint64_t bytes) {
    if (settings_.content.generated()) {
        // On this thread alone: the workers' threads write a fill value only.
        xorWords(start, bytes, key_);
    } else {
        fillInParts(start, bytes, value_, settings_.workers);
    }
}

// The bytes the rate owes, from where the pass under way stopped; a pass
// that ends begins the next, with its own content.
void WarmLoad::writeSpans(HeldMemory& memory, std::uint64_t bytes) {
    const std::uint64_t held = memory.held();
    if (cursor_ >= held) cursor_ = 0;  // what was held shrank under the pass
    while (bytes > 0) {
        if (cursor_ == 0) beginPass();
        const std::uint64_t piece = std::min(bytes, held - cursor_);
        memory.visit(cursor_, piece, [this](unsigned char* start, std::uint64_t part) { write(start, part); });
        cursor_ += piece;
        bytes -= piece;
        const bool ended = cursor_ == held;
        if (ended) cursor_ = 0;
        countAccessPart(piece, ended);
    }
}

void WarmLoad::tick(HeldMemory& memory) {
    if (settings_.way == WarmWay::None) return;
    const std::uint64_t now = clock_.nowMilliseconds();
    const std::uint64_t held = memory.held();
    if (held == 0) {
        lastTick_.reset();
        lastWork_.reset();
        pacer_.due(now, 0);
        return;
    }
    if (lastTick_) figures_.milliseconds += now - *lastTick_;
    lastTick_ = now;
    if (settings_.way == WarmWay::Touch) {
        // Due by the clock, not a whole interval after the tick that
        // touched: ticks come late by their own work, and a touch that came
        // late does not push every later one back. One that fell a whole
        // interval behind starts afresh rather than touch twice at once.
        if (lastWork_ && now < touchDue_) return;
        touchDue_ = lastWork_ ? touchDue_ + settings_.touchMilliseconds : now + settings_.touchMilliseconds;
        if (touchDue_ <= now) touchDue_ = now + settings_.touchMilliseconds;
    }
    const std::optional<double> began = processCpuSeconds();
    std::uint64_t done = held;
    switch (settings_.way) {
    case WarmWay::None: return;
    case WarmWay::Passes:
        beginPass();
        memory.fillAll([this](unsigned char* start, std::uint64_t bytes, unsigned char) { write(start, bytes); },
                       value_);
        break;
    case WarmWay::Rate:
        done = pacer_.due(now, held);
        writeSpans(memory, done);
        pacer_.wrote(done);
        break;
    case WarmWay::Touch:
        memory.visit(0, held, [this](unsigned char* start, std::uint64_t bytes) {
            touchPages(start, bytes, !settings_.readOnly);
        });
        break;
    }
    // The first work since memory was held starts the count: a touch at 0 s
    // and one at 1 s are one touch a second, not two.
    const std::optional<std::uint64_t> previous = lastWork_;
    lastWork_ = now;
    if (!previous) return;
    figures_.rateMilliseconds += now - *previous;
    figures_.bytes += done;
    const std::optional<double> ended = processCpuSeconds();
    if (began && ended && *ended > *began) figures_.busySeconds += *ended - *began;
}

bool WarmLoad::firstReportDue() {
    if (reported_ || figures_.milliseconds < kFirstReportMilliseconds) return false;
    reported_ = true;
    return true;
}

std::optional<double> WarmLoad::achievedRate() const {
    if (!active() || figures_.rateMilliseconds == 0) return std::nullopt;
    return static_cast<double>(figures_.bytes) * 1000.0 / static_cast<double>(figures_.rateMilliseconds);
}

std::optional<double> WarmLoad::busyShare() const {
    if (!active() || figures_.milliseconds == 0) return std::nullopt;
    return figures_.busySeconds * 1000.0 / static_cast<double>(figures_.milliseconds);
}

std::optional<double> WarmLoad::askedRate() const {
    if (settings_.way != WarmWay::Rate) return std::nullopt;
    return static_cast<double>(settings_.rate);
}

std::string WarmLoad::summary() const {
    const std::optional<double> rate = achievedRate();
    if (!rate) return {};
    const std::string over = secondsText(figures_.milliseconds), busy = shareText(*busyShare());
    switch (settings_.way) {
    case WarmWay::None: break;
    case WarmWay::Passes: return runSaid(IDS_RUN_WARM_PASSES, {rateText(*rate), over, busy});
    case WarmWay::Rate:
        return runSaid(IDS_RUN_WARM_RATE, {rateText(*rate), rateText(static_cast<double>(settings_.rate)), over, busy});
    case WarmWay::Touch:
        return runSaid(IDS_RUN_WARM_TOUCH, {rateText(*rate), secondsText(settings_.touchMilliseconds), over, busy});
    }
    return {};
}
