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

    // True once a whole line, or the end of the input, has come.
    bool waitUpTo(std::uint32_t milliseconds) override;
    // The line read so far, without its line end: at most kLineLimit bytes.
    std::string line() const;

    static constexpr std::size_t kLineLimit = 1024;

    struct State;

private:
    std::shared_ptr<State> state_;
};
