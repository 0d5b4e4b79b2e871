// The memory room from Linux's real files.
#include "headless/system/memory_room.h"
#include "headless/memory/proc_fields.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct RealFiles final : RoomFiles {
    Outcome read(const std::string& path, std::string& text) override {
        text.clear();
        // O_CLOEXEC: the program starts child processes, and none may inherit
        // a descriptor of ours.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return failure(errno, text);
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got > 0) {
                text.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0) {
                break;
            } else if (errno != EINTR) {
                const int error = errno;
                ::close(fd);
                return failure(error, text);
            }
        }
        ::close(fd);
        return Outcome::Read;
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
