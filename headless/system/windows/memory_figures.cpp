// Windows' figures: the process's working set and private bytes, the
// memory room for what is left.
#include <windows.h>
#include <psapi.h>

#include "headless/system/memory_figures.h"
#include "headless/system/memory_room.h"

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
    addRoom(figures, readMemoryRoom());
    return figures;
}

std::string machineName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof name;
    return GetComputerNameA(name, &length) ? std::string(name, length) : std::string();
}
