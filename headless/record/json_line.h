// The JSON lines (--json): one object per event on one line, errors
// included, with names that do not change with the language.
#pragma once
#include <string>

#include "headless/record/event_sink.h"

// Unknown figures are null.
std::string jsonLine(const RunEvent& event);

// Writes each event as its JSON line, all on standard output (standard
// error only when standard output is the stream that was lost); samples
// only when asked for (--sample).
class JsonLines final : public EventSink {
public:
    explicit JsonLines(bool printSamples) : printSamples_(printSamples) {}
    void take(const RunEvent& event) override;

private:
    bool printSamples_;
};
