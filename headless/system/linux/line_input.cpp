// Linux: poll standard input, then take what it has one byte at a time, so
// that nothing behind the line is consumed (commands read the same input).
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "headless/system/line_input.h"

struct LineInput::State {
    std::string line;
    bool done = false;
};

bool inputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

LineInput::LineInput() : state_(std::make_shared<State>()) {}
LineInput::~LineInput() = default;

bool LineInput::waitUpTo(std::uint32_t milliseconds) {
    State& state = *state_;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    int timeout = static_cast<int>(milliseconds);
    // An interrupted poll (a stop) returns -1 and hands control back. A
    // stream that never sends a line end (/dev/zero) is read only until the
    // tick is due, so the tick and a stop still come.
    while (!state.done && poll(&input, 1, timeout) > 0) {
        char byte;
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR) break;
        if (got <= 0 || byte == '\n') {
            state.done = true;  // the line, or the end (or loss) of the input
            break;
        }
        if (state.line.size() < kLineLimit) state.line += byte;  // the rest of an endless line is dropped
        if (Clock::now() >= end) break;
        timeout = 0;
    }
    return state.done;
}

std::string LineInput::line() const { return state_->line; }
