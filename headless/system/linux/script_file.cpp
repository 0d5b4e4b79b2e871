#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "headless/system/script_file.h"

namespace {
class DescriptorSource final : public ScriptSource {
public:
    explicit DescriptorSource(int fd) : fd_(fd) {}
    ~DescriptorSource() override { close(fd_); }
    long read(unsigned char* into, std::size_t max) override {
        for (;;) {
            const ssize_t got = ::read(fd_, into, max);
            // A stop interrupts the read; the reader asks again and the run
            // looks for the stop before the next line.
            if (got < 0 && errno == EINTR) continue;
            return got < 0 ? -1 : static_cast<long>(got);
        }
    }

private:
    int fd_;
};
}  // namespace

std::unique_ptr<ScriptSource> openScriptFile(const std::string& path, std::string& why) {
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
    return std::make_unique<DescriptorSource>(fd);
}
