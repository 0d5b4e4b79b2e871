// The figures the metrics show, as the run goes: what the run's thread
// counts and sets (atomics, read by the endpoint's thread at any time), one
// reading of them with the system's own figures, and the one table that
// turns a reading into metric families. Portable.
#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "headless/cli/options.h"
#include "headless/metrics/exposition.h"
#include "headless/record/event_sink.h"

// Written by the run's thread only; read from any thread. Relaxed: each
// figure stands alone, and a scrape that sees one a pass older is right for
// its moment.
struct LiveFigures {
    static constexpr std::uint64_t kNone = UINT64_MAX;
    std::atomic<std::uint64_t> requested{kNone};   // the size the run last asked for
    std::atomic<std::uint64_t> targetRoom{kNone};  // --keep-available: the room it keeps
    std::atomic<std::uint64_t> adjustments{0};     // --keep-available's takes and gives
    std::atomic<std::uint64_t> accessPasses{0};    // access-load passes written
    std::atomic<std::uint64_t> accessWritten{0};   // bytes those passes wrote
    std::atomic<bool> commandRunning{false};
    // --pressure: the stall shares over the window, 0..1; negative: none yet.
    std::atomic<double> pressureSome{-1}, pressureFull{-1};
};

// The process's own.
LiveFigures& liveFigures();

// One access-load pass has written `bytes`.
void countAccessPass(std::uint64_t bytes);
// --access-rate: `bytes` more of a pass written; `passEnded`, the pass with them.
void countAccessPart(std::uint64_t bytes, bool passEnded);

// The figures that follow the run's events: the size asked for, the room
// kept, each adjustment, a command between its start and its end.
class LiveFiguresSink final : public EventSink {
public:
    explicit LiveFiguresSink(LiveFigures& figures) : figures_(figures) {}
    void take(const RunEvent& event) override;

private:
    LiveFigures& figures_;
};

// The figures of one moment. Unknown ones stay empty and their metric is
// left out.
struct FiguresReading {
    std::optional<std::uint64_t> held, requested, targetRoom;
    std::optional<std::uint64_t> resident, committed, room, roomTotal;
    std::string totalSource;  // what sets the total: host, cgroup, job
    std::uint64_t adjustments = 0, accessPasses = 0, accessWritten = 0;
    bool commandRunning = false;
    std::optional<double> pressureSome, pressureFull;
    std::string version, mode, kind;
};

// One metric: its name, type and help, and how a reading gives its samples.
struct MetricRow {
    const char* name;
    MetricType type;
    const char* help;
    std::vector<Sample> (*read)(const FiguresReading& reading);
};
extern const MetricRow kMetricRows[];
extern const unsigned kMetricRowCount;

// Every row's family for `reading`, in the table's order.
std::vector<MetricFamily> metricFamilies(const FiguresReading& reading);

// "script", "hold", "keep-available": the mode label.
const char* runModeName(RunMode mode);

// `live` and `held` with the process's and the memory room's figures read
// now (system/memory_figures.h, system/memory_room.h).
FiguresReading readFiguresNow(const LiveFigures& live, std::uint64_t held, RunMode mode);
