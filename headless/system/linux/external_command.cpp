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

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    int errorRead = -1;     // quiet: the read end of its standard error, non-blocking
    LastLine errorLine;
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

// The line from torvane-run to its watchers: a pipe whose write end only
// torvane-run holds (each watcher closes its inherited copy at once; close-on-
// exec keeps it from commands). Nothing is ever written: the read end hangs
// up exactly when torvane-run has ended, however it ended. A signal would not
// do, since a command may send any signal to its own group.
struct ParentLine {
    int read = -1, write = -1, error = 0;
};

const ParentLine& parentLine() {
    static const ParentLine line = [] {
        ParentLine made;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            made.error = errno;
        } else {
            made.read = ends[0];
            made.write = ends[1];
        }
        return made;
    }();
    return line;
}

// The command's program and arguments, made before fork: after it, the child
// of a process with other threads may only make async-signal-safe calls, and
// execvp is not one, so the PATH search is laid out here and the child only
// tries each place with execv.
struct ExecPlan {
    std::vector<std::string> places;  // the files to try, in order
    std::vector<char*> argv;          // null-terminated
    // For a file that is no program the system knows (ENOEXEC): /bin/sh runs
    // it, as execvp does; slot 1 is set to the place in the child.
    std::vector<char*> shellArgv;
    // Quiet: what the command gets as standard input and output (/dev/null)
    // and as standard error (a pipe's write end); -1: ours.
    int quietNull = -1, quietError = -1;
};

ExecPlan planExec(const CommandLine& line) {
    ExecPlan plan;
    if (line.throughShell) {
        plan.places = {"/bin/sh"};
        plan.argv = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(line.argv[0].c_str()),
                     nullptr};
        return plan;
    }
    const std::string& program = line.argv[0];
    if (program.find('/') != std::string::npos) {
        plan.places = {program};
    } else {
        const char* path = std::getenv("PATH");
        const std::string folders = path ? path : "/bin:/usr/bin";  // glibc's default without PATH
        std::size_t from = 0;
        for (;;) {
            const std::size_t colon = folders.find(':', from);
            const std::string folder = folders.substr(from, colon == std::string::npos ? colon : colon - from);
            plan.places.push_back(folder.empty() ? program : folder + "/" + program);  // empty: the current folder
            if (colon == std::string::npos) break;
            from = colon + 1;
        }
    }
    for (const std::string& argument : line.argv) plan.argv.push_back(const_cast<char*>(argument.c_str()));
    plan.argv.push_back(nullptr);
    plan.shellArgv = {const_cast<char*>("sh"), nullptr};
    plan.shellArgv.insert(plan.shellArgv.end(), plan.argv.begin() + 1, plan.argv.end());
    return plan;
}

[[noreturn]] void execCommand(ExecPlan& plan, int report) {
    // Ignored in torvane-run, so that a reader that goes away makes writes
    // fail; the command gets the default, as from a shell.
    signal(SIGPIPE, SIG_DFL);
    if (plan.quietNull >= 0) {
        // dup2 clears close-on-exec on the copies, and only on them.
        dup2(plan.quietNull, STDIN_FILENO);
        dup2(plan.quietNull, STDOUT_FILENO);
        dup2(plan.quietError, STDERR_FILENO);
    }
    // execvp's rules: a place that is not there is passed over, one that may
    // not be run is remembered, any other failure ends the search.
    int error = ENOENT;
    bool refused = false, searchedAll = true;
    for (std::string& place : plan.places) {
        execv(place.c_str(), plan.argv.data());
        if (errno == ENOEXEC && !plan.shellArgv.empty()) {
            plan.shellArgv[1] = place.data();
            execv("/bin/sh", plan.shellArgv.data());
        }
        error = errno;
        if (error == EACCES) {
            refused = true;
        } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV && error != ETIMEDOUT) {
            searchedAll = false;
            break;
        }
    }
    writeFailure(report, kExec, refused && searchedAll ? EACCES : error);
    _exit(127);
}

void ignoreSignal(int) {}

// The watcher outlives every signal that the command's group may be sent
// and that would end it by default: it ends only as its command ends, or
// when torvane-run is gone. A handler that does nothing, not SIG_IGN, so that
// exec gives the command the defaults back; what was ignored at our start
// stays ignored for the command, as a shell keeps it. Faults (SIGSEGV and
// the like) keep their default: a handler that returns to a real fault
// would fault again for ever.
void outliveSignals() {
    const int kept[] = {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG, SIGWINCH,
                        SIGSEGV, SIGBUS,  SIGILL,  SIGFPE,  SIGTRAP, SIGSYS,  SIGABRT};
    struct sigaction quiet = {};
    quiet.sa_handler = ignoreSignal;
    sigemptyset(&quiet.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        bool keep = false;
        for (int k : kept) keep = keep || k == signal;
        struct sigaction now;
        if (keep || sigaction(signal, nullptr, &now) != 0) continue;  // glibc's own signals refuse
        if (now.sa_handler == SIG_DFL) sigaction(signal, &quiet, nullptr);
    }
}

// The first process of the command's group: a watcher that starts the
// command, waits for it and ends as it ended, or takes the whole group with
// it once torvane-run has gone, even by SIGKILL. /bin/sh -c forks the command
// rather than becoming it, so torvane-run's end cannot reach the command
// itself; the watcher is what passes it on. Only async-signal-safe calls:
// the parent may have other threads.
[[noreturn]] void runWatcher(ExecPlan& plan, const CommandFolder::Handle& folder, int report, ParentLine line,
                             bool takeTerminal) {
    close(line.write);
    setpgid(0, 0);
    if (takeTerminal) giveTerminalTo(getpid());
    outliveSignals();
    // The command's end interrupts the wait below: SIGCHLD is let through
    // only inside ppoll, so that an end just before it is not missed.
    struct sigaction childEnded = {};
    childEnded.sa_handler = ignoreSignal;
    childEnded.sa_flags = SA_NOCLDSTOP;
    sigemptyset(&childEnded.sa_mask);
    sigaction(SIGCHLD, &childEnded, nullptr);
    sigset_t childSignal, waitMask;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignal, &waitMask);
    const sigset_t commandMask = waitMask;
    sigdelset(&waitMask, SIGCHLD);
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
        sigprocmask(SIG_SETMASK, &commandMask, nullptr);  // a blocked signal would stay blocked after exec
        restoreOomScoreForCommand();
        execCommand(plan, report);
    }
    if (command < 0) {
        writeFailure(report, kExec, errno);
        _exit(127);
    }
    close(report);  // torvane-run hears the end of the pipe once the command has started
    int status = 0;
    for (;;) {
        const pid_t reaped = waitpid(command, &status, WNOHANG);
        if (reaped == command) break;
        if (reaped < 0 && errno != EINTR) _exit(127);
        pollfd parent = {line.read, POLLIN, 0};
        if (ppoll(&parent, 1, nullptr, &waitMask) > 0 && parent.revents != 0) kill(0, SIGKILL);
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

namespace {
// The commands whose watchers have not been reaped yet. As a container's
// first process torvane-run reaps every child that ends, and a watcher's
// status found so is handed to its command here rather than lost.
std::vector<ExternalCommand::State*>& unreaped() {
    static std::vector<ExternalCommand::State*> states;
    return states;
}

void forget(ExternalCommand::State* state) {
    std::vector<ExternalCommand::State*>& states = unreaped();
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (states[i] == state) {
            states.erase(states.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

// The watcher has been reaped with `status` (-1: reaped without one).
void noteEnd(ExternalCommand::State& state, int status) {
    if (status >= 0) state.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    state.child = -1;
    state.ended = true;
    if (state.terminal) giveTerminalTo(getpgrp());
    forget(&state);
}

bool firstProcess() {
    static const bool first = getpid() == 1;
    return first;
}
}  // namespace

void reapOrphans() {
    if (!firstProcess()) return;
    // A container's orphans all come to its first process; left as zombies
    // they fill the process table and still count as members of a
    // command's group.
    int status = 0;
    for (pid_t reaped; (reaped = waitpid(-1, &status, WNOHANG)) > 0;) {
        for (ExternalCommand::State* state : unreaped()) {
            if (state->child == reaped) {
                noteEnd(*state, status);
                break;
            }
        }
    }
}

ExternalCommand::ExternalCommand(const CommandLine& line, const CommandFolder& folder)
    : state_(std::make_unique<State>()) {
    State& state = *state_;
    if (line.argv.empty() || line.argv[0].empty()) {
        state.failure = "no command to run";
        return;
    }
    const ParentLine& parent = parentLine();
    if (parent.read < 0) {
        state.failure = std::string("cannot start a command: ") + std::strerror(parent.error);
        return;
    }
    ExecPlan plan = planExec(line);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        state.failure = std::string("cannot start a command: ") + std::strerror(errno);
        return;
    }
    int errorPipe[2] = {-1, -1};
    if (line.quiet) {
        plan.quietNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (plan.quietNull < 0 || pipe2(errorPipe, O_CLOEXEC) != 0) {
            state.failure = std::string("cannot start a command: ") + std::strerror(errno);
            if (plan.quietNull >= 0) close(plan.quietNull);
            close(report[0]);
            close(report[1]);
            return;
        }
        plan.quietError = errorPipe[1];
        state.errorRead = errorPipe[0];
        fcntl(state.errorRead, F_SETFL, fcntl(state.errorRead, F_GETFL) | O_NONBLOCK);
    }
    const bool takeTerminal = !line.quiet && ownsTerminal();
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        runWatcher(plan, folder.handle(), report[1], parent, takeTerminal);
    }
    close(report[1]);
    if (line.quiet) {
        close(plan.quietNull);
        close(plan.quietError);
    }
    if (child < 0) {
        close(report[0]);
        state.failure = std::string("cannot start a command: ") + std::strerror(errno);
        return;
    }
    // Set here too, so that the group exists before anything is sent to it.
    setpgid(child, child);
    state.child = child;
    state.group = child;
    unreaped().push_back(&state);
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
    forget(&state);
    if (state.terminal) giveTerminalTo(getpgrp());
    if (state.exitNotice >= 0) close(state.exitNotice);
    if (state.errorRead >= 0) close(state.errorRead);
}

std::string ExternalCommand::lastErrorLine() {
    State& state = *state_;
    char bytes[4096];
    for (ssize_t got; state.errorRead >= 0 && (got = read(state.errorRead, bytes, sizeof bytes)) != 0;) {
        if (got < 0) {
            if (errno == EINTR) continue;
            break;  // EAGAIN: nothing more now
        }
        state.errorLine.add(bytes, static_cast<std::size_t>(got));
    }
    return state.errorLine.text();
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
        reapOrphans();  // may reap this very command's watcher, and keeps its status
        if (!state.ended) {
            int status = 0;
            const pid_t reaped = waitpid(state.child, &status, milliseconds == UINT32_MAX ? 0 : WNOHANG);
            if (reaped == 0) return false;
            noteEnd(state, reaped == state.child ? status : -1);
        }
        milliseconds = 0;
    } else {
        reapOrphans();
    }
    if (!state.stopping) return true;
    if (!groupHasProcesses(state.group)) return true;
    pause(milliseconds);
    reapOrphans();
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
