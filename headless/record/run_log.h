// The events of a run as they reach the user: one line each, with the time
// and the memory figures of that moment, as text or as JSON Lines (--json),
// and kept for the run's report (--report). The script host and the hold
// both report through here.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "headless/record/run_event.h"

class RunRecorder;

struct RunLogSetup {
    bool json = false;                                 // JSON Lines, errors on standard output too
    std::optional<std::uint64_t> sampleMilliseconds;   // --sample: a sample event this often
    RunRecorder* recorder = nullptr;                   // --report: keeps every event
    std::function<std::uint64_t()> held;               // what the run holds now
    std::function<std::optional<std::uint64_t>()> requested;  // the size last asked for
};

// Once, before the first event; the run's time starts here.
void setUpRunLog(RunLogSetup setup);

// One event: its time and figures are taken now, then it goes to the text
// or JSON line and to the recorder.
void logEvent(RunEvent event);
void logEvent(const char* event, const std::string& code, const std::string& text, bool onError = false);

// The script line being carried out, given to every event after it.
void setScriptLine(unsigned line, const std::string& keyword);
// What a hold asks for, over the allocator's last request; nullopt: the
// allocator's again.
void setRequested(std::optional<std::uint64_t> bytes);

// From the ticks of every wait: a sample event when one is due. With
// --report and no --sample, samples are still taken for the chart, but
// not printed.
void sampleIfDue();

// Seconds since setUpRunLog.
double runSeconds();
