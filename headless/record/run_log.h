// The stream of a run's events: each is stamped with the time and the
// memory figures of its moment, then handed to every sink (the text or JSON
// lines, the report). The script host and the hold both report through here.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "headless/record/event_sink.h"

struct RunLogSetup {
    std::vector<EventSink*> sinks;
    std::optional<std::uint64_t> sampleMilliseconds;  // a sample event this often; none: no samples
    std::function<std::uint64_t()> held;               // what the run holds now
    std::function<std::optional<std::uint64_t>()> requested;  // the size last asked for
};

// Once, before the first event; the run's time starts here.
void setUpRunLog(RunLogSetup setup);

// One event: its time and figures are taken now, then it goes to every sink.
void logEvent(RunEvent event);

// The script line being carried out, given to every event after it.
void setScriptLine(unsigned line, const std::string& keyword);
// What a hold asks for, over the allocator's last request; nullopt: the
// allocator's again.
void setRequested(std::optional<std::uint64_t> bytes);
// --keep-available's target room, given to every event after it.
void setTargetRoom(std::optional<std::uint64_t> bytes, std::optional<std::uint64_t> band = std::nullopt);

// --pressure's figures, given to every event after: the shares over the
// window (each 0..1, nothing before the window has two readings), the
// target and the band.
struct PressureFigures {
    std::optional<double> some, full, target, band;
};
void setPressureFigures(const PressureFigures& figures);
// The kind of memory a hold takes ("anon", "file", "shmem") and how its
// own pages' residency is measured (nothing: not measurable, or anon's,
// which the resident figure is), given to every event after it.
void setHeldKind(std::string name, std::function<std::optional<std::uint64_t>()> resident);
// --huge: how much of what is held is in huge pages, read for every event
// after it (JSON "huge") and said in samples.
void setHugeReader(std::function<std::optional<std::uint64_t>()> read);
// ", 60.0 MiB of it in huge pages" when that is read; empty otherwise.
std::string hugeNote();

// From the ticks of every wait: a sample event when one is due.
void sampleIfDue();

// Seconds since setUpRunLog.
double runSeconds();
