#include "headless/system/linux/whole_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int readWholeFile(const std::string& path, std::string& text) {
    text.clear();
    // O_CLOEXEC: the program starts child processes, and none may inherit
    // a descriptor of ours.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
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
            return error;
        }
    }
    ::close(fd);
    return 0;
}

RoomFiles::Outcome SystemFiles::read(const std::string& path, std::string& text) {
    const int error = readWholeFile(path, text);
    if (error == 0) return Outcome::Read;
    if (error == ENOENT || error == ENOTDIR) return Outcome::Missing;
    text = std::strerror(error);
    return Outcome::Failed;
}
