// The memory room from Linux's real files.
#include "headless/system/memory_room.h"
#include "headless/memory/proc_fields.h"
#include "headless/system/linux/whole_file.h"


MemoryRoom readMemoryRoom() {
    SystemFiles files;
    return linuxMemoryRoom(files);
}

bool roomFigureLags(const MemoryRoom& room) { return room.availableSource == LimitSource::Host; }

std::uint64_t readCommitRoom() {
    const std::string meminfo = readProcFile("/proc/meminfo");
    if (readProcFile("/proc/sys/vm/overcommit_memory").rfind('2', 0) == 0) {
        const auto limit = procField(meminfo, "CommitLimit");
        const auto committed = procField(meminfo, "Committed_AS");
        if (!limit || !committed) return 0;
        return *limit > *committed ? *limit - *committed : 0;
    }
    const auto total = procField(meminfo, "MemTotal");
    if (!total) return 0;
    return *total + procField(meminfo, "SwapTotal").value_or(0);
}
