// Linux: texts are UTF-8 and written as they are.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "headless/runs/run_control.h"
#include "headless/system/console_text.h"
#include "shell/string_table.h"

namespace {
TextLanguage userLanguage() {
    static const TextLanguage language =
        languageOfLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    return language;
}

bool closedAtStart[3] = {false, false, false};
std::string lossReason;

const char* streamName(int fd) { return fd == STDOUT_FILENO ? "standard output" : "standard error"; }

void noteLoss(int fd, const char* why) {
    if (lossReason.empty()) lossReason = std::string(streamName(fd)) + ": " + why;
}

// A stream made non-blocking (by whoever shares its open file with us)
// refuses writes with EAGAIN while its reader is behind: that is a reader to
// wait for, not output lost. Short polls, so that a stop, which interrupts
// them, and the deadline are seen.
bool waitForRoom(int fd) {
    while (outputMayWaitOn()) {
        pollfd room = {fd, POLLOUT, 0};
        if (poll(&room, 1, 50) != 0) return true;  // room, the reader gone or a signal: the write says which
    }
    return false;
}

void writeAll(int fd, const std::string& bytes) {
    if (closedAtStart[fd]) {
        noteLoss(fd, "closed when the run started");
        return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (waitForRoom(fd)) continue;
            noteLoss(fd, "full, and its reader took nothing in the 2 s a stopping run waits for it");
            return;
        }
        if (written <= 0) {
            noteLoss(fd, written < 0 ? std::strerror(errno) : "nothing written");
            return;
        }
        done += static_cast<std::size_t>(written);
    }
}
}  // namespace

std::string localText(int id) { return tableText(id, userLanguage()); }

std::string runnerText(int id) { return localText(id); }

std::string fromScript(const std::string& bytes) { return bytes; }

void openMissingStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closedAtStart[fd] = true;
        // The lowest free number: this one, as those below it are open.
        open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

void writeLine(Stream stream, const std::string& text) {
    writeAll(stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO, text + "\n");
}

void writePrompt(const std::string& text) { writeAll(STDERR_FILENO, text); }

bool outputLost() { return !lossReason.empty(); }

std::string outputLossReason() { return lossReason; }

void checkOutputReader() {
    // A pipe whose reader has closed polls as POLLERR for its writer.
    pollfd output = {STDOUT_FILENO, 0, 0};
    if (poll(&output, 1, 0) > 0 && (output.revents & POLLERR)) noteLoss(STDOUT_FILENO, "its reader has gone");
}
