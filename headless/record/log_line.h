// One event of a run as one line of output, for a person and for a log:
//
//   2025-06-01 14:03:07.412  rss=3.2MiB  commit=12.9MiB  avail=22561.0MiB  status   Allocating...
//
// local time to the millisecond, the memory figures in MiB ("?" when not
// known; the room followed by "(cgroup)" or "(job)" when a limit sets it),
// the kind of event padded to eight, then its text on the same line.
#pragma once
#include <string>

#include "headless/system/memory_figures.h"

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
    int utcOffsetMinutes = 0;  // local time minus UTC
};

LocalTime localTimeNow();

// "2025-06-01T14:03:07.412+02:00": RFC 3339, to the millisecond, with the offset.
std::string rfc3339(const LocalTime& time);

// `text` on one line, with nothing in it that a terminal would act on: the
// one rule for every byte printed from a script or an argument.
//   - A final line end is dropped (a box shows none).
//   - \n, \r and \t are written as such; other C0 controls and DEL as \xHH.
//   - Texts are UTF-8 (on Windows too, where the script's code page is
//     converted first): the C1 controls U+0080..U+009F are written as the two bytes
//     that encode them, \xC2\x80 .. \xC2\x9F, and every byte that is not part
//     of a valid UTF-8 sequence (a stray continuation byte, a sequence cut
//     short, an overlong form, a surrogate, above U+10FFFF, C0/C1/F5..FF
//     leads) as \xHH. Every escape thus names the bytes as they were.
//   - Everything else, valid UTF-8, stays as is.
std::string oneLine(const std::string& text);

// A figure as the log lines give it: "412.0MiB", "?" when not known.
std::string mebibytesText(std::uint64_t bytes);

std::string formatLogLine(const LocalTime& time, const MemoryFigures& figures, const char* kind,
                          const std::string& text);
