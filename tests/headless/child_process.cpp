#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef TORVANE_RUN
#error "TORVANE_RUN must name the program under test"
#endif

namespace {
long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

Child::Child(const ChildSetup& setup) {
    int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
    int terminal = -1, terminalSide = -1;
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) std::abort();
    if (setup.input == Input::Pipe && pipe(inPipe) != 0) std::abort();
    if (setup.input == Input::Terminal && openpty(&terminal, &terminalSide, nullptr, nullptr, nullptr) != 0) {
        std::abort();
    }
    pid_ = fork();
    if (pid_ == 0) {
        if (setup.input == Input::Terminal) {
            setsid();
            ioctl(terminalSide, TIOCSCTTY, 0);
            dup2(terminalSide, STDIN_FILENO);
        } else if (setup.input == Input::Pipe) {
            dup2(inPipe[0], STDIN_FILENO);
        } else if (setup.input != Input::Closed) {
            const int source = open(setup.input == Input::Zero ? "/dev/zero" : "/dev/null", O_RDONLY);
            dup2(source, STDIN_FILENO);
        }
        if (setup.ownGroup && setup.input != Input::Terminal) setpgid(0, 0);
        if (setup.output == Output::Full) {
            dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
        } else {
            dup2(outPipe[1], STDOUT_FILENO);
        }
        if (setup.output == Output::SmallNonBlockingPipe) {
            fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
            fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
        }
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd = 3; fd < 256; ++fd) close(fd);
        if (setup.input == Input::Closed) close(STDIN_FILENO);
        if (setup.output == Output::Closed) close(STDOUT_FILENO);
        if (!setup.cgroupProcs.empty()) {
            const int procs = open(setup.cgroupProcs.c_str(), O_WRONLY);
            if (procs < 0 || write(procs, "0", 1) != 1) _exit(125);
            close(procs);
        }
        for (const std::string& variable : setup.environment) putenv(const_cast<char*>(variable.c_str()));
        std::vector<char*> argv;
        for (const std::string& arg : setup.prefix) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(const_cast<char*>(setup.program.empty() ? TORVANE_RUN : setup.program.c_str()));
        for (const std::string& arg : setup.args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(126);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    if (setup.input == Input::Pipe) {
        close(inPipe[0]);
        inFd_ = inPipe[1];
    } else if (setup.input == Input::Terminal) {
        close(terminalSide);
        inFd_ = terminal;
    }
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {outFd_, errFd_, inFd_}) {
        if (fd >= 0) close(fd);
    }
}

int Child::pump(int timeoutMs) {
    if (outFd_ < 0 && errFd_ < 0) return -1;
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) return 0;
    int* owners[2] = {&outFd_, &errFd_};
    std::string* sinks[2] = {&out, &err};
    int total = 0;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char chunk[4096];
        const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
        if (got > 0) {
            sinks[i]->append(chunk, static_cast<std::size_t>(got));
            total += static_cast<int>(got);
        } else {
            close(*owners[i]);
            *owners[i] = -1;
        }
    }
    return total;
}

bool Child::waitFor(const std::string& stream, const std::string& needle, int timeoutMs) {
    const long long deadline = nowMs() + timeoutMs;
    while (stream.find(needle) == std::string::npos) {
        const long long left = deadline - nowMs();
        if (left <= 0 || pump(static_cast<int>(left < 100 ? left : 100)) < 0) {
            return stream.find(needle) != std::string::npos;
        }
    }
    return true;
}

void Child::send(const std::string& bytes) {
    if (inFd_ >= 0 && write(inFd_, bytes.data(), bytes.size()) < 0) std::abort();
}

void Child::closeOutput() {
    if (outFd_ >= 0) close(outFd_);
    outFd_ = -1;
}

int Child::unreadOutput() const {
    int bytes = 0;
    if (outFd_ < 0 || ioctl(outFd_, FIONREAD, &bytes) != 0) return -1;
    return bytes;
}

void Child::closeInput() {
    if (inFd_ >= 0) close(inFd_);
    inFd_ = -1;
}

int Child::finish(int timeoutMs) {
    // The end is the child's own, not its pipes': a command it started may
    // hold them open longer.
    const long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            while (pump(0) > 0) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (pump(10) < 0) usleep(10000);
    }
    return -1;
}

RunResult runToEnd(const ChildSetup& setup, const std::string& input) {
    Child child(setup);
    child.send(input);
    if (setup.input != Input::Terminal) child.closeInput();
    const int status = child.finish();
    return {status, child.out, child.err};
}

long procStatusKiB(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}
