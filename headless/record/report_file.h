// The report as a file kept up to date while the run goes on: its path is
// checked and a first page written before anything is taken, the page is
// rewritten as events come (so that a run killed from outside still leaves
// one), and the last page says how the run ended. Every page replaces the
// one before whole (system/replace_file.h).
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "headless/record/run_report.h"
#include "headless/system/replace_file.h"

// How often the page is rewritten: every 2 s, or at every sample when
// --sample is shorter, so that the page is as fresh as the lines.
double reportUpdateSeconds(std::optional<std::uint64_t> sampleMilliseconds);

// What a report path is already, for this run.
enum class ReportClash {
    None,
    Script,          // the script being run (the same file)
    StandardStream,  // where the run's own input, output or error goes
};

// Why `path` can never take a report, from what is there now: a folder, a
// FIFO, a device (or a link to one), the script or a standard stream. Empty
// when it may be written; whether its folder can be written is for the
// first page to find.
std::string reportPathFault(const std::string& path, const PathFacts& facts, ReportClash clash);

// The same rules for another file kept up to date through replaceFile: its
// option and an example name for the messages, and what it is called there.
struct PathUse {
    const char* option;   // "--report"
    const char* example;  // "run.html"
    const char* noun;     // "the report"
};
std::string pathFault(const std::string& path, const PathFacts& facts, ReportClash clash, const PathUse& use);

class ReportFile final : public EventSink {
public:
    // Writes a whole page: the first and the last to the disk, the updates
    // between them as far as the system's cache. False with `why`.
    using Writer = std::function<bool(const std::string& html, Durability durability, std::string& why)>;
    // Told once when an update fails; the page keeps its last good copy.
    using FailureNote = std::function<void(const std::string& why)>;

    ReportFile(ReportHeader header, double everySeconds, Writer write, FailureNote noteFailure);

    // The first page, before the run takes anything: false with `why` when
    // the file cannot be written there.
    bool start(std::string& why);
    // Every event; the page is rewritten when an update is due.
    void take(const RunEvent& event) override;
    // The last page, with the run's status and length.
    bool finish(int exitStatus, double seconds, std::string& why);

    const RunRecorder& recorder() const { return recorder_; }

private:
    bool write(Durability durability, std::string& why);

    ReportHeader header_;
    double every_;
    Writer write_;
    FailureNote noteFailure_;
    RunRecorder recorder_;
    bool started_ = false;
    bool writing_ = false;      // an update's own failure note comes back as an event
    bool failureNoted_ = false;
    double lastWritten_ = 0;    // the run's seconds at the last page
};
