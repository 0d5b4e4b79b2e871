// Windows keeps no figure of time stalled on memory: nothing to read.
#include "headless/system/stall_figures.h"

namespace {
constexpr char kAbsent[] =
    "Linux's memory stall figures (/proc/pressure/memory, a cgroup's memory.pressure) do not exist on Windows";
}

StallSource stallSourceFor(const std::string&) { return {{}, kAbsent}; }

StallCounters readStallFigures(const std::string&) {
    StallCounters counters;
    counters.error = kAbsent;
    return counters;
}

const char* stallFiguresAbsent() { return kAbsent; }
