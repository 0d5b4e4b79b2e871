// The text lines: one event a line, for a person and for a log:
//
//   2025-06-01 14:03:07.412  rss=3.2MiB  commit=12.9MiB  avail=22561.0MiB  status   Allocating...
//
// local time to the millisecond, the memory figures in MiB ("?" when not
// known; the room followed by "(cgroup)" or "(job)" when a limit sets it),
// the kind's column padded to eight, then its text on the same line.
#pragma once
#include <string>

#include "headless/record/event_sink.h"

std::string textLine(const RunEvent& event);

// Writes each event as its text line: on standard error when it is an
// error's, samples only when asked for (--sample), and none for events the
// text lines never had.
class TextLines final : public EventSink {
public:
    explicit TextLines(bool printSamples) : printSamples_(printSamples) {}
    void take(const RunEvent& event) override;

private:
    bool printSamples_;
};
