// The kernel's memory stall figures, for --pressure and --stop-if-pressure
// (memory/stall_window.h says what they are and how a share is made).
//   Linux:   system/linux/stall_figures.cpp reads /proc/pressure/memory or a
//            v2 group's memory.pressure, and /proc/self for "self".
//   Windows: system/windows/stall_figures.cpp: there are none; every call
//            says so.
#pragma once
#include <string>

#include "headless/memory/stall_window.h"

// The file --pressure-from ("self", "system" or a v2 group's folder) names.
StallSource stallSourceFor(const std::string& from);

// One reading of `path`, read afresh. A kernel without the figures (no
// file), one booted with psi=0 (EOPNOTSUPP on read) and a file that may not
// be read each give an error naming the file.
StallCounters readStallFigures(const std::string& path);

// What the platform says where it has none ("" on Linux).
const char* stallFiguresAbsent();
