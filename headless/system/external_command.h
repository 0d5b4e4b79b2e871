// A command started by a run: a script's "run", handed to the system's
// command interpreter. Each starts in a process group of its own (Windows: a
// job that ends its processes when closed), so that a stop reaches the whole
// command and nothing of it is left behind; on Linux it is also killed if
// torvane-run itself is.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "headless/runs/tick_wait.h"

struct CommandLine {
    // The program and its arguments, as given; with `throughShell`, argv[0]
    // is the whole text for /bin/sh -c (Windows: cmd.exe /c, as system()).
    std::vector<std::string> argv;
    bool throughShell = false;
    // A health probe's: no input, its standard output discarded, its standard
    // error read for lastErrorLine(); never handed the terminal.
    bool quiet = false;
    // Windows: argv[0] is the whole command line, as given, for the program
    // to take apart by its own rules. Elsewhere never set.
    bool asGiven = false;
};

// The last line of what a command wrote: its last line end ends a line,
// and a line with no end yet counts; blank lines do not. At most kMost
// bytes of a line are kept. Portable: both halves feed it.
class LastLine {
public:
    static constexpr std::size_t kMost = 240;
    void add(const char* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const char c = bytes[i];
            if (c == '\n') {
                if (!open_.empty()) last_ = std::move(open_);
                open_.clear();
            } else if (c != '\r' && open_.size() < kMost) {
                open_ += c;
            }
        }
    }
    const std::string& text() const { return open_.empty() ? last_ : open_; }

private:
    std::string last_, open_;
};

// The folder commands start in: the script's, held open from the start so
// that each command enters that very folder, or none at all. Empty path:
// the current directory.
class CommandFolder {
public:
    explicit CommandFolder(const std::string& path);
    ~CommandFolder();
    CommandFolder(const CommandFolder&) = delete;
    CommandFolder& operator=(const CommandFolder&) = delete;

    const std::string& path() const { return path_; }
    struct Handle;
    const Handle& handle() const { return *handle_; }

private:
    std::string path_;
    std::unique_ptr<Handle> handle_;
};

class ExternalCommand final : public Awaited {
public:
    // Starts the command; see started().
    ExternalCommand(const CommandLine& line, const CommandFolder& folder);
    // A command still running here is killed and waited for: never left behind.
    ~ExternalCommand() override;
    ExternalCommand(const ExternalCommand&) = delete;
    ExternalCommand& operator=(const ExternalCommand&) = delete;

    // False when it could not be started (its folder could not be entered,
    // the program could not be run); failure() says why.
    bool started() const;
    const std::string& failure() const;

    // True once the command has ended; after passOn(), once every process
    // of its group has ended.
    bool waitUpTo(std::uint32_t milliseconds) override;

    // The command's exit status, 128 + signal when a signal ended it, 127
    // when it was not started. Valid once waitUpTo() has returned true.
    int status() const;
    // Whether it ran in the terminal's foreground, where a Ctrl-C typed
    // reaches only it.
    bool hadTerminal() const;

    // Passes a stop (a signal number of stop_request.h) on to the command.
    void passOn(int signal);
    // Ends whatever is left of the command at once.
    void killAll();
    // A quiet command's: the last line it has written to standard error so
    // far (LastLine), reading whatever has arrived.
    std::string lastErrorLine();

    struct State;

private:
    std::unique_ptr<State> state_;
};

// As a container's first process (PID 1), reaps every orphan that has ended,
// so that none is left a zombie while the run goes on; elsewhere, and on
// Windows, does nothing. Waits for a command do it on their own.
void reapOrphans();
