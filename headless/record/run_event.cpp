#include "headless/record/run_event.h"

#include <utility>

const EventKindRow kEventKinds[] = {
    {EventKind::Status, "status", "status", "a status text, as the window's status line shows it"},
    {EventKind::Popup, "popup", "popup", "a script's pop-up: its caption, a colon, its text"},
    {EventKind::Confirm, "confirm", "confirm", "the confirmation asked, and its answer"},
    {EventKind::Error, "error", "error",
     "an error box of the script, or torvane-run's own word on why (on standard error among the text lines)"},
    {EventKind::CommandStart, "command-start", "command", "a command starts: a script's run or a hold's command"},
    {EventKind::CommandEnd, "command-end", "exit", "a command ended: its status and how long it ran"},
    {EventKind::Stop, "stop", "stop", "the run was stopped (a signal, --timeout, a guard, or lost output), and where"},
    {EventKind::Sample, "sample", "sample", "the figures between events, every --sample"},
    {EventKind::HoldStart, "hold-start", "hold", "a hold begins to take its size"},
    {EventKind::HoldPartial, "hold-partial", "hold", "--partial: a hold takes less than asked, and why"},
    {EventKind::HoldReached, "hold-reached", "hold", "a hold holds its whole size, and how long that took"},
    {EventKind::Ramp, "ramp", "ramp", "a --ramp step was taken"},
    {EventKind::Keep, "keep", "keep", "--keep-available's level, band and interval"},
    {EventKind::Pressure, "pressure", "pressure",
     "--pressure's target, band and window, and the file its stall figures are read from"},
    {EventKind::Adjust, "adjust", "adjust",
     "--keep-available or --pressure took or gave back memory (--pressure: with the stall shares; where no "
     "size holds the band, one event as the hold starts alternating between the sizes either side of it)"},
    {EventKind::Release, "release", "release", "the held memory was given back at the end"},
    {EventKind::Guard, "guard", "guard",
     "a guard (--stop-if-...) tripped: the guard and the figure that tripped it; the run ends with 123"},
    {EventKind::End, "end", "end",
     "the last event of every run: its status, why it ended (and which guard), whether it held what was asked, "
     "the most it held and for how long it held all of it (JSON and the report only)"},
    {EventKind::Stage, "stage", "stage",
     "--stages: the stages at the start, a stage begun (from, to, over how long) and a stage's target held"},
    {EventKind::Warm, "warm", "warm",
     "-a, --access-rate or --touch: the rate achieved (and asked) and the share of the time spent at it, five "
     "seconds in and when the hold ends"},
};
const unsigned kEventKindCount = sizeof kEventKinds / sizeof kEventKinds[0];

const EventKindRow& eventKindRow(EventKind kind) {
    for (const EventKindRow& row : kEventKinds) {
        if (row.kind == kind) return row;
    }
    return kEventKinds[0];  // every kind has its row; not reached
}

namespace {
RunEvent made(EventKind kind, std::string code, std::string text) {
    RunEvent event;
    event.kind = kind;
    event.code = std::move(code);
    event.text = std::move(text);
    return event;
}
}  // namespace

RunEvent statusEvent(std::string code, std::string text) {
    return made(EventKind::Status, std::move(code), std::move(text));
}
RunEvent popupEvent(std::string text) { return made(EventKind::Popup, "script-text", std::move(text)); }
RunEvent confirmEvent(std::string code, std::string text) {
    return made(EventKind::Confirm, std::move(code), std::move(text));
}
RunEvent errorEvent(std::string code, std::string text, TextForm form) {
    RunEvent event = made(EventKind::Error, std::move(code), std::move(text));
    event.onError = true;
    event.textForm = form;
    return event;
}
RunEvent commandStartEvent(std::vector<std::string> argv, std::string text) {
    RunEvent event = made(EventKind::CommandStart, "command-start", std::move(text));
    event.argv = std::move(argv);
    return event;
}
RunEvent commandEndEvent(const RunEvent& start, std::string code, std::string text, int status, double seconds,
                         TextForm form) {
    RunEvent event = made(EventKind::CommandEnd, std::move(code), std::move(text));
    event.argv = start.argv;
    event.status = status;
    event.seconds = seconds;
    event.textForm = form;
    return event;
}
RunEvent stopEvent(std::string text) { return made(EventKind::Stop, "stopped", std::move(text)); }
RunEvent sampleEvent(std::string text) { return made(EventKind::Sample, "sample", std::move(text)); }
RunEvent holdStartEvent(std::string text) { return made(EventKind::HoldStart, "hold-taking", std::move(text)); }
RunEvent holdPartialEvent(std::string code, std::string text) {
    return made(EventKind::HoldPartial, std::move(code), std::move(text));
}
RunEvent holdReachedEvent(std::string text) { return made(EventKind::HoldReached, "hold-reached", std::move(text)); }
RunEvent rampEvent(std::string text) { return made(EventKind::Ramp, "ramp-step", std::move(text)); }
RunEvent keepEvent(std::string text) { return made(EventKind::Keep, "keep-level", std::move(text)); }
RunEvent pressureEvent(std::string text) { return made(EventKind::Pressure, "pressure-start", std::move(text)); }
RunEvent adjustEvent(std::string code, std::string text) {
    return made(EventKind::Adjust, std::move(code), std::move(text));
}
RunEvent releaseEvent(std::string text) { return made(EventKind::Release, "released", std::move(text)); }
RunEvent guardEvent(std::string guard, std::string figure, std::string text) {
    RunEvent event = made(EventKind::Guard, "guard-tripped", std::move(text));
    event.guard = std::move(guard);
    event.figure = std::move(figure);
    return event;
}

RunEvent stageEvent(std::string code, std::string text) {
    return made(EventKind::Stage, std::move(code), std::move(text));
}
RunEvent warmEvent(std::string code, std::string text, std::optional<double> rate, std::optional<double> asked,
                   std::optional<double> busy) {
    RunEvent event = made(EventKind::Warm, std::move(code), std::move(text));
    event.rate = rate;
    event.rateAsked = asked;
    event.busy = busy;
    return event;
}
RunEvent endEvent(int status, std::string reason, bool reached) {
    RunEvent event = made(EventKind::End, reason, "status " + std::to_string(status) + ": " + reason);
    event.status = status;
    event.reason = std::move(reason);
    event.reached = reached;
    event.textForm = TextForm::None;
    return event;
}
