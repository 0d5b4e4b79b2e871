// Linux: fork and exec (/bin/sh -c for a script's command, as system() does
// there) in a process group of the command's own, under a watcher process
// that takes the group with it if torvane-run is killed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "headless/system/external_command.h"
#include "headless/system/oom_score.h"

struct CommandFolder::Handle {
    int fd = -1;
    int openError = 0;
};

CommandFolder::CommandFolder(const std::string& path) : path_(path), handle_(std::make_unique<Handle>()) {
    // O_PATH needs no read right on the folder, only the right to enter it.
    handle_->fd = open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (handle_->fd < 0) handle_->openError = errno;
}

CommandFolder::~CommandFolder() {
    if (handle_->fd >= 0) close(handle_->fd);
}

struct ExternalCommand::State {
    pid_t child = -1;     // until reaped
    pid_t group = -1;     // the command's process group, = its first pid
    int exitNotice = -1;  // a pidfd, readable once the child has ended
    int status = 127;
    bool ended = false;
    bool stopping = false;  // a stop was passed on: wait for the whole group
    bool terminal = false;  // the command has the terminal's foreground
    std::string failure;
};

namespace {
// What the child tells the parent when it cannot run the command: which
// step failed and errno. Nothing arrives when exec succeeds (close-on-exec).
struct ChildFailure {
    int step;
    int error;
};
enum Step { kEnterFolder = 1, kFolderGone, kExec };

void writeFailure(int fd, int step, int error) {
    const ChildFailure failure{step, error};
    [[maybe_unused]] ssize_t written = write(fd, &failure, sizeof failure);
}

// Whether this process's group has the terminal on standard input: only
// then is the terminal handed to the command and taken back.
bool ownsTerminal() {
    if (!isatty(STDIN_FILENO)) return false;
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

void giveTerminalTo(pid_t group) {
    // A background group that sets the foreground gets SIGTTOU unless it is
    // blocked; blocked, the change goes through.
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    sigprocmask(SIG_BLOCK, &block, &previous);
    tcsetpgrp(STDIN_FILENO, group);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Set in the watcher: its parent, torvane-run, has gone, even by SIGKILL.
// The whole group goes with it; a handler, since SIGKILL as the parent-death
// signal would end the watcher alone and leave the command running.
void onParentGone(int) { kill(0, SIGKILL); }

[[noreturn]] void execCommand(const CommandLine& line, int report) {
    // Ignored in torvane-run, so that a reader that goes away makes writes
    // fail; the command gets the default, as from a shell.
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    if (line.throughShell) {
        argv = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(line.argv[0].c_str())};
    } else {
        for (const std::string& argument : line.argv) argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    if (line.throughShell) {
        execv("/bin/sh", argv.data());
    } else {
        execvp(argv[0], argv.data());
    }
    writeFailure(report, kExec, errno);
    _exit(127);
}

// The first process of the command's group: a watcher that starts the
// command, waits for it and ends as it ended. Parent-death signals reach
// only a parent's direct child, and /bin/sh -c forks the command rather
// than becoming it, so the watcher is what lets a SIGKILL of torvane-run
// take the command with it. Only async-signal-safe calls: the parent may
// have other threads.
[[noreturn]] void runWatcher(const CommandLine& line, const CommandFolder::Handle& folder, int report,
                             pid_t parent, bool takeTerminal) {
    setpgid(0, 0);
    if (takeTerminal) giveTerminalTo(getpid());
    struct sigaction gone = {};
    gone.sa_handler = onParentGone;
    sigemptyset(&gone.sa_mask);
    sigaction(SIGUSR1, &gone, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGUSR1);
    if (getppid() != parent) _exit(127);  // gone before the signal was set
    prctl(PR_SET_NAME, "torvane-watch");
    struct stat folderState;
    if (folder.fd < 0) {
        writeFailure(report, kEnterFolder, folder.openError);
        _exit(127);
    }
    if (fstat(folder.fd, &folderState) == 0 && folderState.st_nlink == 0) {
        writeFailure(report, kFolderGone, 0);  // removed: it can still be entered, but nothing can be made there
        _exit(127);
    }
    if (fchdir(folder.fd) != 0) {
        writeFailure(report, kEnterFolder, errno);
        _exit(127);
    }
    const pid_t command = fork();
    if (command == 0) {
        signal(SIGUSR1, SIG_DFL);
        restoreOomScoreForCommand();
        execCommand(line, report);
    }
    if (command < 0) {
        writeFailure(report, kExec, errno);
        _exit(127);
    }
    close(report);  // torvane-run hears the end of the pipe once the command has started
    int status = 0;
    while (waitpid(command, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        // Ended as the command ended, without a core of the watcher's own.
        const struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(WTERMSIG(status), SIG_DFL);
        kill(getpid(), WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 127);
}

std::string describe(const ChildFailure& failure, const CommandLine& line, const std::string& folder) {
    const std::string where = folder.empty() ? "the current folder" : "the script's folder " + folder;
    switch (failure.step) {
    case kEnterFolder:
        return "cannot enter " + where + ": " + std::strerror(failure.error) + "; the command was not run";
    case kFolderGone: return where + " has been removed; the command was not run";
    default:
        return "cannot run " + (line.throughShell ? std::string("/bin/sh") : line.argv[0]) + ": " +
               std::strerror(failure.error);
    }
}
}  // namespace

ExternalCommand::ExternalCommand(const CommandLine& line, const CommandFolder& folder)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    if (line.argv.empty() || line.argv[0].empty()) {
        state.failure = "no command to run";
        return;
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        state.failure = std::string("cannot start a command: ") + std::strerror(errno);
        return;
    }
    const bool takeTerminal = ownsTerminal();
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        runWatcher(line, folder.handle(), report[1], parent, takeTerminal);
    }
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        state.failure = std::string("cannot start a command: ") + std::strerror(errno);
        return;
    }
    // Set here too, so that the group exists before anything is sent to it.
    setpgid(child, child);
    state.child = child;
    state.group = child;
    if (takeTerminal) {
        giveTerminalTo(child);
        state.terminal = true;
    }
    ChildFailure failure{};
    ssize_t got;
    do {
        got = read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        state.failure = describe(failure, line, folder.path());
        waitUpTo(UINT32_MAX);  // it has exited already
        state.status = 127;
        return;
    }
#ifdef SYS_pidfd_open
    state.exitNotice = static_cast<int>(syscall(SYS_pidfd_open, child, 0));  // close-on-exec by nature
#endif
}

ExternalCommand::~ExternalCommand() {
    State& state = *state_;
    if (state.child > 0) {
        killAll();
        waitpid(state.child, nullptr, 0);
    }
    if (state.terminal) giveTerminalTo(getpgrp());
    if (state.exitNotice >= 0) close(state.exitNotice);
}

bool ExternalCommand::started() const { return state_->failure.empty(); }

const std::string& ExternalCommand::failure() const { return state_->failure; }

int ExternalCommand::status() const { return state_->status; }

bool ExternalCommand::hadTerminal() const { return state_->terminal; }

namespace {
bool groupHasProcesses(pid_t group) { return group > 0 && kill(-group, 0) == 0; }

void pause(std::uint32_t milliseconds) {
    const long step = milliseconds < 10 ? milliseconds : 10;
    const timespec duration = {0, step * 1000000L};
    nanosleep(&duration, nullptr);
}
}  // namespace

bool ExternalCommand::waitUpTo(std::uint32_t milliseconds) {
    State& state = *state_;
    if (!state.ended && state.child > 0) {
        if (state.exitNotice >= 0) {
            pollfd notice = {state.exitNotice, POLLIN, 0};
            poll(&notice, 1, milliseconds > INT32_MAX ? -1 : static_cast<int>(milliseconds));
        } else if (milliseconds == UINT32_MAX) {
            // waited for in full below
        } else {
            pause(milliseconds);  // kernels before 5.3 have no pidfd: look every 10 ms
        }
        int status = 0;
        const pid_t reaped = waitpid(state.child, &status, milliseconds == UINT32_MAX ? 0 : WNOHANG);
        if (reaped == 0) return false;
        if (reaped == state.child) {
            state.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        state.child = -1;
        state.ended = true;
        if (state.terminal) giveTerminalTo(getpgrp());
        milliseconds = 0;
    }
    if (getpid() == 1) {
        // As a container's first process, every orphan is ours to reap; left
        // as zombies they would still count as members of the group.
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    if (!state.stopping) return true;
    if (!groupHasProcesses(state.group)) return true;
    pause(milliseconds);
    return !groupHasProcesses(state.group);
}

void ExternalCommand::passOn(int signal) {
    State& state = *state_;
    state.stopping = true;
    if (groupHasProcesses(state.group)) kill(-state.group, signal);
}

void ExternalCommand::killAll() {
    State& state = *state_;
    state.stopping = true;
    if (groupHasProcesses(state.group)) kill(-state.group, SIGKILL);
}
