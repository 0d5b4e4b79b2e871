// --metrics-file: the metrics in the textfile form a node exporter's
// textfile collector reads (no timestamps), replaced whole at every
// --sample (or every second) and a last time when the run ends, so that a
// run killed from outside leaves a file whose last update time goes stale.
#pragma once
#include <functional>
#include <string>

#include "headless/metrics/live_figures.h"
#include "headless/record/event_sink.h"
#include "headless/system/replace_file.h"

// The file during the run: the figures and the time of this write.
std::string metricsFileText(const FiguresReading& reading, double unixSeconds);
// The last file: the figures with nothing held, the run's exit status and
// when it ended.
std::string finalMetricsFileText(FiguresReading reading, int exitStatus, double unixSeconds);

// Why `path` cannot take the metrics file: a name that does not end in
// .prom (the collector reads only those), or a fault of the report's rules
// (a folder, a FIFO, a device, the script, a standard stream, the report).
// Empty when it may be written.
std::string metricsFilePathFault(const std::string& path, const PathFacts& facts, bool isScript,
                                 bool isStandardStream, bool isReport);

// Seconds since 1970 on the system's clock, as the collector's own
// node_textfile_mtime_seconds are.
double unixSecondsNow();

class MetricsFile final : public EventSink {
public:
    using Read = std::function<FiguresReading()>;
    using Writer = std::function<bool(const std::string& text, Durability durability, std::string& why)>;
    using FailureNote = std::function<void(const std::string& why)>;
    using Clock = std::function<double()>;

    MetricsFile(Read read, double everySeconds, Writer write, FailureNote noteFailure, Clock now = unixSecondsNow);

    // The first file, before the run takes anything.
    bool start(std::string& why);
    // The file is rewritten at the first event `every` seconds after the last.
    void take(const RunEvent& event) override;
    // The last file.
    bool finish(int exitStatus, std::string& why);

private:
    Read read_;
    double every_;
    Writer write_;
    FailureNote noteFailure_;
    Clock now_;
    bool started_ = false;
    bool writing_ = false;  // the failure note comes back as an event
    bool failureNoted_ = false;
    double lastWritten_ = 0;  // the run's seconds at the last write
};
