// Linux: as system() does there, /bin/sh -c with the command, in a child of
// this process group (a Ctrl-C at the terminal reaches it too), waited for.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "external_command.h"

struct ExternalCommand::State {
    pid_t child = -1;
    int exitNotice = -1;  // a pidfd, readable once the child has ended
};

ExternalCommand::ExternalCommand(const char* command, const std::string& folder)
    : state_(std::make_unique<State>()) {
    const pid_t child = fork();
    if (child == 0) {
        if (!folder.empty() && chdir(folder.c_str()) != 0) {
            // runs where it is, as a command does whose folder has gone
        }
        signal(SIGPIPE, SIG_DFL);  // ignored here; the command gets the default
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    state_->child = child;
#ifdef SYS_pidfd_open
    if (child > 0) state_->exitNotice = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
#endif
}

ExternalCommand::~ExternalCommand() {
    if (state_->child > 0) waitpid(state_->child, nullptr, 0);  // never left behind
    if (state_->exitNotice >= 0) close(state_->exitNotice);
}

bool ExternalCommand::waitUpTo(std::uint32_t milliseconds) {
    State& state = *state_;
    if (state.child <= 0) return true;
    if (state.exitNotice >= 0) {
        pollfd notice = {state.exitNotice, POLLIN, 0};
        poll(&notice, 1, static_cast<int>(milliseconds));
    } else {
        // Kernels before 5.3: look every 10 ms.
        const long step = milliseconds < 10 ? milliseconds : 10;
        const timespec pause = {0, step * 1000000L};
        nanosleep(&pause, nullptr);
    }
    int status;
    if (waitpid(state.child, &status, WNOHANG) == 0) return false;
    state.child = -1;  // ended (its status is not looked at), or not ours to wait for
    return true;
}
