// Where a run's events go once stamped (run_log.h): the text lines, the JSON
// lines and the report each take the same stream.
#pragma once
#include "headless/record/run_event.h"

struct EventSink {
    virtual ~EventSink() = default;
    virtual void take(const RunEvent& event) = 0;
};
