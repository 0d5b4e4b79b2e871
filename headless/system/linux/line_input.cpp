// Linux: poll standard input, then take what it has one byte at a time, so
// that nothing behind the line is consumed (commands read the same input).
#include <poll.h>
#include <unistd.h>

#include <cerrno>

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
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    // An interrupted poll (a stop) returns -1 and hands control back; a
    // stream that is always ready (/dev/zero) ends the line at the limit.
    while (!state.done && poll(&input, 1, static_cast<int>(milliseconds)) > 0) {
        char byte;
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR) break;
        if (got <= 0 || byte == '\n') {
            state.done = true;  // the line, or the end (or loss) of the input
            break;
        }
        state.line += byte;
        if (state.line.size() >= kLineLimit) state.done = true;  // the limit, and no line end in it
        milliseconds = 0;
    }
    return state.done;
}

std::string LineInput::line() const { return state_->line; }
