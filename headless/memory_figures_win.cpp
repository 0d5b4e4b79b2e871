// Windows' figures: the process's working set and private bytes, the
// system's available physical memory.
#include <windows.h>
#include <psapi.h>

#include "memory_figures.h"

MemoryFigures readMemoryFigures() {
    MemoryFigures figures;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters)) {
        figures.residentBytes = counters.WorkingSetSize;
        // Windows gives the same figure in both; Wine leaves PrivateUsage 0.
        figures.committedBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
    }
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) figures.availableBytes = status.ullAvailPhys;
    return figures;
}
