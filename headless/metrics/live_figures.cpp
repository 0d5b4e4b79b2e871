#include "headless/metrics/live_figures.h"

#include "headless/record/run_event.h"
#include "headless/system/memory_figures.h"
#include "headless/system/memory_room.h"

#ifndef TORVANE_VERSION
#define TORVANE_VERSION "unknown"
#endif

LiveFigures& liveFigures() {
    static LiveFigures figures;
    return figures;
}

void countAccessPass(std::uint64_t bytes) { countAccessPart(bytes, true); }

void countAccessPart(std::uint64_t bytes, bool passEnded) {
    LiveFigures& figures = liveFigures();
    if (passEnded) figures.accessPasses.fetch_add(1, std::memory_order_relaxed);
    figures.accessWritten.fetch_add(bytes, std::memory_order_relaxed);
}

void LiveFiguresSink::take(const RunEvent& event) {
    if (event.requested) figures_.requested.store(*event.requested, std::memory_order_relaxed);
    if (event.targetRoom) figures_.targetRoom.store(*event.targetRoom, std::memory_order_relaxed);
    if (event.pressureSome) figures_.pressureSome.store(*event.pressureSome, std::memory_order_relaxed);
    if (event.pressureFull) figures_.pressureFull.store(*event.pressureFull, std::memory_order_relaxed);
    switch (event.kind) {
    case EventKind::Adjust: figures_.adjustments.fetch_add(1, std::memory_order_relaxed); break;
    case EventKind::CommandStart: figures_.commandRunning.store(true, std::memory_order_relaxed); break;
    case EventKind::CommandEnd: figures_.commandRunning.store(false, std::memory_order_relaxed); break;
    default: break;
    }
}

namespace {
std::vector<Sample> one(std::optional<std::uint64_t> value) {
    if (!value) return {};
    return {Sample{{}, static_cast<double>(*value)}};
}
std::vector<Sample> count(std::uint64_t value) { return {Sample{{}, static_cast<double>(value)}}; }
}  // namespace

// A new figure is one row here (and its field in FiguresReading).
const MetricRow kMetricRows[] = {
    {"torvane_info", MetricType::Gauge, "The run: torvane-run's version, its mode and the kind of memory it holds.",
     [](const FiguresReading& r) {
         return std::vector<Sample>{{{{"version", r.version}, {"mode", r.mode}, {"kind", r.kind}}, 1}};
     }},
    {"torvane_held_bytes", MetricType::Gauge, "Memory the run holds now: every block taken and not given back.",
     [](const FiguresReading& r) { return one(r.held); }},
    {"torvane_requested_bytes", MetricType::Gauge, "The size the run last asked for.",
     [](const FiguresReading& r) { return one(r.requested); }},
    {"torvane_target_room_bytes", MetricType::Gauge, "--keep-available: the memory room it keeps.",
     [](const FiguresReading& r) { return one(r.targetRoom); }},
    {"torvane_resident_bytes", MetricType::Gauge, "The process's pages in physical memory (resident set).",
     [](const FiguresReading& r) { return one(r.resident); }},
    {"torvane_committed_bytes", MetricType::Gauge,
     "What the process has committed (Linux VmData, Windows private bytes).",
     [](const FiguresReading& r) { return one(r.committed); }},
    {"torvane_room_bytes", MetricType::Gauge,
     "The memory room: what may still be made resident, the tightest of the host and every limit.",
     [](const FiguresReading& r) { return one(r.room); }},
    {"torvane_room_total_bytes", MetricType::Gauge,
     "The room's total: the tighter of physical memory and the tightest limit; source says which.",
     [](const FiguresReading& r) {
         if (!r.roomTotal) return std::vector<Sample>{};
         return std::vector<Sample>{{{{"source", r.totalSource}}, static_cast<double>(*r.roomTotal)}};
     }},
    {"torvane_adjustments_total", MetricType::Counter, "--keep-available's takes and gives back.",
     [](const FiguresReading& r) { return count(r.adjustments); }},
    {"torvane_access_passes_total", MetricType::Counter, "Access-load passes written over the held memory.",
     [](const FiguresReading& r) { return count(r.accessPasses); }},
    {"torvane_access_written_bytes_total", MetricType::Counter, "Bytes the access-load passes wrote.",
     [](const FiguresReading& r) { return count(r.accessWritten); }},
    {"torvane_command_running", MetricType::Gauge, "1 while a command of the run is running, else 0.",
     [](const FiguresReading& r) { return count(r.commandRunning ? 1 : 0); }},
    {"torvane_pressure_ratio", MetricType::Gauge,
     "--pressure: the share of time stalled on memory over --pressure-window; line some or full.",
     [](const FiguresReading& r) {
         std::vector<Sample> samples;
         if (r.pressureSome) samples.push_back({{{"line", "some"}}, *r.pressureSome});
         if (r.pressureFull) samples.push_back({{{"line", "full"}}, *r.pressureFull});
         return samples;
     }},
};
const unsigned kMetricRowCount = sizeof kMetricRows / sizeof kMetricRows[0];

std::vector<MetricFamily> metricFamilies(const FiguresReading& reading) {
    std::vector<MetricFamily> families;
    families.reserve(kMetricRowCount);
    for (const MetricRow& row : kMetricRows) families.push_back({row.name, row.type, row.help, row.read(reading)});
    return families;
}

const char* runModeName(RunMode mode) {
    switch (mode) {
    case RunMode::Hold: return "hold";
    case RunMode::KeepAvailable: return "keep-available";
    case RunMode::Pressure: return "pressure";
    case RunMode::Stages: return "stages";
    case RunMode::Script: break;
    }
    return "script";
}

FiguresReading readFiguresNow(const LiveFigures& live, std::uint64_t held, RunMode mode) {
    FiguresReading reading;
    const auto known = [](std::uint64_t value, std::uint64_t unknown) {
        return value == unknown ? std::nullopt : std::optional<std::uint64_t>(value);
    };
    reading.held = held;
    reading.requested = known(live.requested.load(std::memory_order_relaxed), LiveFigures::kNone);
    reading.targetRoom = known(live.targetRoom.load(std::memory_order_relaxed), LiveFigures::kNone);
    reading.adjustments = live.adjustments.load(std::memory_order_relaxed);
    reading.accessPasses = live.accessPasses.load(std::memory_order_relaxed);
    reading.accessWritten = live.accessWritten.load(std::memory_order_relaxed);
    reading.commandRunning = live.commandRunning.load(std::memory_order_relaxed);
    for (const auto& [from, to] : {std::pair{&live.pressureSome, &reading.pressureSome},
                                   std::pair{&live.pressureFull, &reading.pressureFull}}) {
        const double share = from->load(std::memory_order_relaxed);
        if (share >= 0) *to = share;
    }
    const MemoryFigures figures = readMemoryFigures();
    reading.resident = known(figures.residentBytes, MemoryFigures::kUnknown);
    reading.committed = known(figures.committedBytes, MemoryFigures::kUnknown);
    const MemoryRoom room = readMemoryRoom();
    if (room.known) {
        reading.room = room.available;
        reading.roomTotal = room.total;
        reading.totalSource = limitSourceName(room.totalSource);
    }
    reading.version = TORVANE_VERSION;
    reading.mode = runModeName(mode);
    // Anonymous private memory is the only kind held today.
    reading.kind = "anon";
    return reading;
}
