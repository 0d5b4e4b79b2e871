#include "headless/metrics/metrics_file.h"

#include <chrono>
#include <utility>

#include "headless/record/report_file.h"
#include "headless/record/run_event.h"

namespace {
MetricFamily single(const char* name, const char* help, double value) {
    return {name, MetricType::Gauge, help, {Sample{{}, value}}};
}
}  // namespace

std::string metricsFileText(const FiguresReading& reading, double unixSeconds) {
    std::vector<MetricFamily> families = metricFamilies(reading);
    families.push_back(single("torvane_last_update_time_seconds",
                              "When torvane-run last wrote this file; a run ended from outside leaves it stale.",
                              unixSeconds));
    return expositionText(families);
}

std::string finalMetricsFileText(FiguresReading reading, int exitStatus, double unixSeconds) {
    reading.held = 0;
    reading.commandRunning = false;
    std::vector<MetricFamily> families = metricFamilies(reading);
    families.push_back(single("torvane_last_update_time_seconds",
                              "When torvane-run last wrote this file; a run ended from outside leaves it stale.",
                              unixSeconds));
    families.push_back(single("torvane_exit_status", "The run's exit status, written once it has ended.",
                              static_cast<double>(exitStatus)));
    families.push_back(single("torvane_end_time_seconds", "When the run ended.", unixSeconds));
    return expositionText(families);
}

std::string metricsFilePathFault(const std::string& path, const PathFacts& facts, bool isScript,
                                 bool isStandardStream, bool isReport) {
    const std::string suffix = ".prom";
    if (path.size() <= suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return "the name must end in .prom, the files a node exporter's textfile collector reads; e.g. "
               "--metrics-file torvane.prom";
    }
    if (isReport) return "it is the --report file too; give each a name of its own, e.g. --metrics-file torvane.prom";
    const ReportClash clash =
        isScript ? ReportClash::Script : isStandardStream ? ReportClash::StandardStream : ReportClash::None;
    return pathFault(path, facts, clash, PathUse{"--metrics-file", "torvane.prom", "the metrics file"});
}

double unixSecondsNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

MetricsFile::MetricsFile(Read read, double everySeconds, Writer write, FailureNote noteFailure, Clock now)
    : read_(std::move(read)),
      every_(everySeconds),
      write_(std::move(write)),
      noteFailure_(std::move(noteFailure)),
      now_(std::move(now)) {}

bool MetricsFile::start(std::string& why) {
    started_ = write_(metricsFileText(read_(), now_()), Durability::Disk, why);
    return started_;
}

void MetricsFile::take(const RunEvent& event) {
    if (!started_ || writing_ || event.elapsed < lastWritten_ + every_) return;
    lastWritten_ = event.elapsed;
    std::string why;
    writing_ = true;
    const bool written = write_(metricsFileText(read_(), now_()), Durability::Process, why);
    if (written) {
        failureNoted_ = false;
    } else if (!failureNoted_) {
        // Once for each stretch of failures.
        failureNoted_ = true;
        noteFailure_(why);
    }
    writing_ = false;
}

bool MetricsFile::finish(int exitStatus, std::string& why) {
    started_ = false;
    return write_(finalMetricsFileText(read_(), exitStatus, now_()), Durability::Disk, why);
}
