// Linux's figures: /proc/self/status for the process, /proc/meminfo for the
// system.
#include "memory_figures.h"

#include "proc_fields.h"

MemoryFigures readMemoryFigures() {
    MemoryFigures figures;
    const std::string status = readProcFile("/proc/self/status");
    if (auto rss = procField(status, "VmRSS")) figures.residentBytes = *rss;
    // VmData: heap and private anonymous mappings, counted when mapped rather
    // than when touched, as Windows counts private bytes when committed.
    if (auto data = procField(status, "VmData")) figures.committedBytes = *data;
    if (auto available = procField(readProcFile("/proc/meminfo"), "MemAvailable")) {
        figures.availableBytes = *available;
    }
    return figures;
}
