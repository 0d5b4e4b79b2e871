// One event of a run as a record: what happened (a fixed event name and a
// fixed code, the same in every language), its text as the user reads it,
// and the figures of that moment. The text line, the JSON line and the
// report are all made from it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "headless/record/log_line.h"
#include "headless/system/memory_figures.h"

// How an event shows among the text lines.
enum class TextForm {
    Line,  // the usual line: time, figures, kind, text
    Bare,  // the text alone, as torvane-run's own complaints before a run were
    None,  // not among the text lines (they never had it); JSON and report only
};

struct RunEvent {
    const char* event = "status";  // one of the names in kEventKinds
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

    // Taken when the event is logged.
    LocalTime time = {};
    double elapsed = 0;  // seconds since the run began
    MemoryFigures figures;
    std::optional<std::uint64_t> held;  // what torvane-run holds
};

// The text lines' kind column for an event name ("command-start" is
// "command"); the name itself when it has no other.
const char* textKind(const char* event);

// The event as a text line (formatLogLine's format) or as one JSON object
// on one line. Unknown figures are null in JSON.
std::string textLine(const RunEvent& event);
std::string jsonLine(const RunEvent& event);
