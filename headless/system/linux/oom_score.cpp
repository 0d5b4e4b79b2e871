#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "headless/system/oom_score.h"

namespace {
constexpr char kPath[] = "/proc/self/oom_score_adj";
// The value before the change, as the file held it: written back as it is.
char original[16];
ssize_t originalLength = -1;

bool writeValue(const char* text, std::size_t length) {
    const int fd = open(kPath, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = write(fd, text, length) == static_cast<ssize_t>(length);
    close(fd);
    return written;
}
}  // namespace

bool adjustOomScore(int value, std::string& why) {
    const int fd = open(kPath, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        originalLength = read(fd, original, sizeof original);
        close(fd);
    }
    const std::string text = std::to_string(value);
    if (writeValue(text.c_str(), text.size())) return true;
    why = std::string("cannot set ") + kPath + " to " + text + ": " + std::strerror(errno);
    if (errno == EACCES || errno == EPERM) why += " (lowering it needs root or CAP_SYS_RESOURCE)";
    originalLength = -1;
    return false;
}

void restoreOomScoreForCommand() {
    if (originalLength > 0) writeValue(original, static_cast<std::size_t>(originalLength));
}
