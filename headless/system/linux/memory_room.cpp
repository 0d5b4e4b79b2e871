// The memory room from Linux's real files.
#include "headless/system/memory_room.h"
#include "headless/memory/proc_fields.h"
#include "headless/system/linux/whole_file.h"

#include <cerrno>
#include <cstring>

namespace {

struct RealFiles final : RoomFiles {
    Outcome read(const std::string& path, std::string& text) override {
        const int error = readWholeFile(path, text);
        return error == 0 ? Outcome::Read : failure(error, text);
    }

private:
    static Outcome failure(int error, std::string& text) {
        if (error == ENOENT || error == ENOTDIR) return Outcome::Missing;
        text = std::strerror(error);
        return Outcome::Failed;
    }
};

}  // namespace

MemoryRoom readMemoryRoom() {
    RealFiles files;
    return linuxMemoryRoom(files);
}

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
