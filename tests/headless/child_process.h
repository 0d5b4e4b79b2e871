// Starting torvane-run as a child with its output on pipes, and standard
// input from /dev/null, a pipe or a terminal of its own.
#pragma once
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

enum class Input { Null, Pipe, Terminal, Closed, Zero };
// Standard output: a pipe read by the test, the full device, or closed;
// or a pipe of one page, non-blocking, that fills as soon as the test stops
// reading.
enum class Output { Pipe, Full, Closed, SmallNonBlockingPipe };

struct ChildSetup {
    ChildSetup(std::vector<std::string> arguments, std::vector<std::string> variables = {},
               Input from = Input::Null, bool group = false)
        : args(std::move(arguments)), environment(std::move(variables)), input(from), ownGroup(group) {}
    std::vector<std::string> args;
    std::vector<std::string> environment;  // NAME=VALUE, over the inherited ones
    Input input = Input::Null;
    bool ownGroup = false;  // a process group of its own, as a terminal's job
    Output output = Output::Pipe;
    std::string cgroupProcs;  // a cgroup.procs file the child joins before it starts the program
    std::vector<std::string> prefix;  // a program that starts torvane-run, e.g. unshare --pid --fork
    std::string program;              // run in place of torvane-run when given
};

class Child {
public:
    explicit Child(const ChildSetup& setup);
    ~Child();  // kills a child that is still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Reads output until standard output holds `needle`; false when the
    // child ends or `timeoutMs` passes first.
    bool waitForOutput(const std::string& needle, int timeoutMs = 10000) { return waitFor(out, needle, timeoutMs); }
    bool waitForErrorOutput(const std::string& needle, int timeoutMs = 10000) { return waitFor(err, needle, timeoutMs); }
    void send(const std::string& bytes);
    void closeInput();
    // Bytes written to standard output that the test has not read yet.
    int unreadOutput() const;
    // Closes the test's end of standard output, as a reader that has gone.
    void closeOutput();
    // Collects the rest of the output and the exit status (128 + signal when
    // a signal ended it); -1 when it has not ended within `timeoutMs`.
    int finish(int timeoutMs = 20000);

    std::string out, err;

private:
    bool waitFor(const std::string& stream, const std::string& needle, int timeoutMs);
    int pump(int timeoutMs);  // bytes read from what is there; -1 once both pipes have closed
    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1, inFd_ = -1;
};

// The exit status and output of a whole run, given `input` on a pipe (or a
// terminal) that is then closed.
struct RunResult {
    int status;
    std::string out, err;
};
RunResult runToEnd(const ChildSetup& setup, const std::string& input = "");

// A figure of /proc/PID/status in KiB (VmRSS, VmData); -1 when unreadable.
long procStatusKiB(pid_t pid, const char* field);
