#include "headless/system/listen_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool prepareListener(NativeSocket socket, std::string& why) {
    const int fd = static_cast<int>(socket);
    const int on = 1;
    // Made before any command starts, so the flag is set before one could fork.
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

const bool kAcceptWhenReadable = true;

void keepFromCommands(NativeSocket socket) { fcntl(static_cast<int>(socket), F_SETFD, FD_CLOEXEC); }

NativeSocket acceptConnection(NativeSocket listener, int& error) {
    const int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
        error = 0;
        return static_cast<NativeSocket>(fd);
    }
    // A connection reset before it was taken is no fault of ours.
    error = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED ? 0 : errno;
    return kNoSocket;
}

void closeSocket(NativeSocket socket) { ::close(static_cast<int>(socket)); }
