// A run's report: one self-contained HTML file (no scripts, no fonts, no
// links) with an SVG chart of the memory over time, the script's lines or
// the command's start and end marked on it, a table of every event, and a
// header saying where, how and how it ended.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "headless/record/event_sink.h"

// Keeps every event and an evenly thinned set of samples: once there are
// twice `maxSamples`, every other one goes and only every other later one is
// kept, so that a run of ten hours costs what one of minutes does.
class RunRecorder final : public EventSink {
public:
    explicit RunRecorder(std::size_t maxSamples = 2000) : maxSamples_(maxSamples) {}
    void take(const RunEvent& event) override { add(event); }
    void add(const RunEvent& event);
    const std::vector<RunEvent>& events() const { return events_; }
    const std::vector<RunEvent>& samples() const { return samples_; }

private:
    std::size_t maxSamples_;
    std::size_t stride_ = 1;   // keep one sample in this many
    std::size_t seen_ = 0;     // samples offered so far
    std::vector<RunEvent> events_, samples_;
};

// Without --sample, a report's chart still takes a sample this often, so
// that long waits have points; the recorder thins them.
constexpr std::uint64_t kReportSampleMilliseconds = 250;

struct ReportHeader {
    std::string machine;
    std::vector<std::string> argv;  // the command line as given
    int exitStatus = 0;
    double seconds = 0;             // the run's length
    std::string started;            // RFC 3339
};

// A tick on an axis: where (seconds, or bytes) and its label.
struct AxisTick {
    double at;
    std::string label;
};
// Ticks at round steps for a run of `seconds`: "0.2 s", "30 s", "5 min", "2 h".
std::vector<AxisTick> timeTicks(double seconds);
// Ticks at round steps up to `bytes`: MiB or GiB.
std::vector<AxisTick> byteTicks(std::uint64_t bytes);

// Text made safe for HTML text and attribute values.
std::string htmlEscape(const std::string& text);

std::string reportHtml(const ReportHeader& header, const RunRecorder& recorder);

// Writes `html` to `path`, replacing the file; false with `why` when it
// cannot be written whole.
bool writeReportFile(const std::string& path, const std::string& html, std::string& why);
