// One event of a run as one line of output, for a person and for a log:
//
//   2025-06-01 14:03:07.412  rss=3.2MiB  commit=12.9MiB  avail=22561.0MiB  status   Allocating...
//
// local time to the millisecond, the memory figures in MiB ("?" when not
// known), the kind of event padded to eight, then its text on the same line.
#pragma once
#include <string>

#include "memory_figures.h"

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

LocalTime localTimeNow();

// `text` on one line: a final line end is dropped (a box shows none), other
// control bytes are written as \n, \r, \t or \xHH; every other byte, in
// whatever encoding, stays as it is.
std::string oneLine(const std::string& text);

std::string formatLogLine(const LocalTime& time, const MemoryFigures& figures, const char* kind,
                          const std::string& text);
