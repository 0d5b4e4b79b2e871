#include "headless/system/script_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
class DescriptorFile final : public ScriptFile {
public:
    DescriptorFile(int fd, bool regular) : fd_(fd), regular_(regular) {}
    ~DescriptorFile() override { close(fd_); }
    long read(unsigned char* into, std::size_t max) override {
        for (;;) {
            const ssize_t got = ::read(fd_, into, max);
            // A stop interrupts the read; the reader asks again and the run
            // looks for the stop before the next line.
            if (got < 0 && errno == EINTR) continue;
            return got < 0 ? -1 : static_cast<long>(got);
        }
    }
    bool rewindable() const override { return regular_; }
    bool rewind() override { return regular_ && lseek(fd_, 0, SEEK_SET) == 0; }
    bool waitReadable(std::uint32_t milliseconds) override {
        pollfd input = {fd_, POLLIN, 0};
        // A hang-up or an error reads as the end, which is no wait either.
        return poll(&input, 1, static_cast<int>(milliseconds)) > 0;
    }

private:
    int fd_;
    bool regular_;
};
}  // namespace

std::unique_ptr<ScriptFile> openScriptFile(const std::string& path, std::string& why) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat state;
    if (fstat(fd, &state) == 0 && S_ISDIR(state.st_mode)) {
        close(fd);
        why = "it is a folder, not a script file";
        return nullptr;
    }
    return std::make_unique<DescriptorFile>(fd, S_ISREG(state.st_mode));
}
