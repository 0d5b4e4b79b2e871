// Linux's figures: /proc/self/status for the process, the memory room for
// what is left.
#include <sys/utsname.h>

#include "headless/system/memory_figures.h"

#include "headless/memory/proc_fields.h"
#include "headless/system/memory_room.h"

MemoryFigures readMemoryFigures() {
    MemoryFigures figures;
    const std::string status = readProcFile("/proc/self/status");
    if (auto rss = procField(status, "VmRSS")) figures.residentBytes = *rss;
    // VmData: heap and private anonymous mappings, counted when mapped rather
    // than when touched, as Windows counts private bytes when committed.
    if (auto data = procField(status, "VmData")) figures.committedBytes = *data;
    addRoom(figures, readMemoryRoom());
    return figures;
}

std::string machineName() {
    struct utsname names = {};
    return uname(&names) == 0 ? std::string(names.nodename) : std::string();
}
