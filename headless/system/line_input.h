// One line of standard input (an answer, or Enter after a pop-up), read
// while the host keeps ticking.
#pragma once
#include <memory>
#include <string>

#include "headless/runs/tick_wait.h"

// True when standard input is a terminal (a console on Windows) that a
// person can answer on.
bool inputIsTerminal();

class LineInput final : public Awaited {
public:
    LineInput();  // starts reading
    ~LineInput() override;
    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    // True once a whole line, or the end of the input, has come. At most
    // kLineLimit bytes are read, the line end included: more without one
    // ends the wait as the end of the input would, so that an endless stream
    // (</dev/zero) ends it too, and what follows is left for commands.
    bool waitUpTo(std::uint32_t milliseconds) override;
    // The line read so far, without its line end.
    std::string line() const;

    static constexpr std::size_t kLineLimit = 4096;

    struct State;

private:
    std::shared_ptr<State> state_;
};
