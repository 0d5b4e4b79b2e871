// A run's report: one self-contained HTML file (no scripts, no fonts, no
// links) with an SVG chart of the memory over time, the script's lines or
// the command's start and end marked on it, a table of every event, and a
// header saying where, how and how it ended.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "headless/record/event_sink.h"

// Keeps the first and the last `keptAtEachEnd` events whole and counts
// the ones between, and an evenly thinned set of samples: once there are
// twice `maxSamples`, every other one goes and only every other later one is
// kept, so that a run of ten hours, or of 300,000 pop-ups, costs what one of
// minutes does.
class RunRecorder final : public EventSink {
public:
    explicit RunRecorder(std::size_t maxSamples = 2000, std::size_t keptAtEachEnd = 1000)
        : maxSamples_(maxSamples), keptAtEachEnd_(keptAtEachEnd) {}
    void take(const RunEvent& event) override { add(event); }
    void add(const RunEvent& event);
    const std::vector<RunEvent>& firstEvents() const { return first_; }
    const std::deque<RunEvent>& lastEvents() const { return last_; }
    // Events between the first and the last ones, counted only.
    std::uint64_t eventsLeftOut() const { return leftOut_; }
    std::uint64_t eventCount() const { return first_.size() + leftOut_ + last_.size(); }
    const std::vector<RunEvent>& samples() const { return samples_; }

private:
    std::size_t maxSamples_;
    std::size_t keptAtEachEnd_;
    std::size_t stride_ = 1;   // keep one sample in this many
    std::size_t seen_ = 0;     // samples offered so far
    std::vector<RunEvent> first_, samples_;
    std::deque<RunEvent> last_;
    std::uint64_t leftOut_ = 0;
};

// Without --sample, a report's chart still takes a sample this often, so
// that long waits have points; the recorder thins them.
constexpr std::uint64_t kReportSampleMilliseconds = 250;

struct ReportHeader {
    std::string machine;
    std::vector<std::string> argv;  // the command line as given
    std::optional<int> exitStatus;  // none while the run goes on
    double seconds = 0;             // the run's length, or how far it has got
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
