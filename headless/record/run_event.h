// One event of a run as a record: what happened (a kind and a fixed code,
// the same in every language), its text as the user reads it, and the
// figures of that moment. The text lines, the JSON lines and the report are
// sinks of the one stream of these records (run_log.h).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "headless/record/local_time.h"
#include "headless/system/memory_figures.h"

// The kinds of event, each made by its one constructor below.
enum class EventKind {
    Status,
    Popup,
    Confirm,
    Error,
    CommandStart,
    CommandEnd,
    Stop,
    Sample,
    HoldStart,
    HoldPartial,
    HoldReached,
    Ramp,
    Keep,
    Pressure,
    Adjust,
    Release,
    Guard,
    End,
    Stage,
    Warm,
};

// The one table of kinds: the name a pipeline matches (JSON "event"), the
// column the text lines have always shown for it, and what it means.
struct EventKindRow {
    EventKind kind;
    const char* name;    // "command-start"
    const char* column;  // "command"
    const char* meaning;
};
extern const EventKindRow kEventKinds[];
extern const unsigned kEventKindCount;
const EventKindRow& eventKindRow(EventKind kind);

// How an event shows among the text lines.
enum class TextForm {
    Line,  // the usual line: time, figures, kind, text
    Bare,  // the text alone, as torvane-run's own complaints before a run were
    None,  // not among the text lines (they never had it); JSON and report only
};

struct RunEvent {
    EventKind kind = EventKind::Status;
    std::string code;              // fixed per text, e.g. "alloc-failed"
    std::string text;              // as shown to the user, in their language (UTF-8)
    bool onError = false;          // text mode: on standard error
    TextForm textForm = TextForm::Line;
    std::optional<unsigned> line;  // a script's line and its first token
    std::string keyword;
    std::optional<std::uint64_t> requested;  // the size asked for, in bytes
    std::vector<std::string> argv;           // a command's
    std::optional<int> status;               // a command's exit status
    std::optional<double> seconds;           // how long a command ran
    std::optional<std::uint64_t> targetRoom; // --keep-available: the room it keeps
    std::optional<std::uint64_t> band;       // and the band's half-width (the report draws it)
    // --pressure: the stall shares over the window (0..1) when the event
    // was logged, and the target and band (the report draws them).
    std::optional<double> pressureSome, pressureFull;
    std::optional<double> pressureTarget, pressureBand;

    // The end event's.
    std::string reason;                      // done, for, command, timeout, stop, guard, error
    bool reached = false;                    // the run held what it was asked, or kept its target
    std::optional<std::uint64_t> heldMax;    // the most the run held at once
    std::optional<double> fullSeconds;       // how long it held its whole size
    std::optional<double> inBand;            // a closed loop's share of readings on target
    // The guard event's, and the end event's when a guard ended the run.
    std::string guard;                       // the guard as given: "--stop-if-room-below 1G"
    std::string figure;                      // what tripped it: "the memory room is 812 MiB, below 1 GiB"
    // The warm event's: bytes a second achieved (touch: of pages touched)
    // and asked (--access-rate), and the share of the time spent at it.
    std::optional<double> rate, rateAsked, busy;

    // Taken when the event is logged.
    LocalTime time = {};
    double elapsed = 0;  // seconds since the run began
    MemoryFigures figures;
    std::optional<std::uint64_t> held;  // what torvane-run holds
    std::string heldKind;               // a hold's --kind ("anon", "file", "shmem"); empty in a script run
    std::optional<std::uint64_t> kindResident;  // of a file or shmem hold, its pages resident, measured
    std::optional<std::uint64_t> huge;  // --huge: how much of it the system holds in huge pages

    bool isCommand() const { return kind == EventKind::CommandStart || kind == EventKind::CommandEnd; }
};

// One constructor per kind.
RunEvent statusEvent(std::string code, std::string text);
RunEvent popupEvent(std::string text);  // a script's own words: code "script-text"
RunEvent confirmEvent(std::string code, std::string text);
// On standard error among the text lines.
RunEvent errorEvent(std::string code, std::string text, TextForm form = TextForm::Line);
RunEvent commandStartEvent(std::vector<std::string> argv, std::string text);
// The end of the command `start` began: its status and how long it ran.
RunEvent commandEndEvent(const RunEvent& start, std::string code, std::string text, int status, double seconds,
                         TextForm form = TextForm::Line);
RunEvent stopEvent(std::string text);
RunEvent sampleEvent(std::string text);
RunEvent holdStartEvent(std::string text);
RunEvent holdPartialEvent(std::string code, std::string text);
RunEvent holdReachedEvent(std::string text);
RunEvent rampEvent(std::string text);
RunEvent keepEvent(std::string text);
RunEvent pressureEvent(std::string text);
RunEvent adjustEvent(std::string code, std::string text);
RunEvent releaseEvent(std::string text);
// A guard tripped: which and on what figure; the run ends with 123.
RunEvent guardEvent(std::string guard, std::string figure, std::string text);
// --stages: the plan at the start, a stage begun, a stage's target reached.
RunEvent stageEvent(std::string code, std::string text);
// The access load's or --touch's rate achieved, early and at the end.
RunEvent warmEvent(std::string code, std::string text, std::optional<double> rate, std::optional<double> asked,
                   std::optional<double> busy);
// The last event of every run: how it ended and whether it did what was
// asked. Not among the text lines (the stop, release and error lines say it
// there); JSON and the report.
RunEvent endEvent(int status, std::string reason, bool reached);
