// Windows: a console or a pipe cannot be polled alike, so a worker thread
// reads the line and the host waits on the thread. A read given up on (Ctrl-C)
// keeps its state alive until the thread ends.
#include <windows.h>

#include "headless/system/line_input.h"

struct LineInput::State {
    std::string line;
    HANDLE thread = nullptr;
};

namespace {
DWORD WINAPI readLine(void* parameter) {
    auto* keep = static_cast<std::shared_ptr<LineInput::State>*>(parameter);
    LineInput::State& state = **keep;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char byte;
    DWORD got;
    // ReadFile, not the C runtime: a thread left blocked here holds no lock
    // that the end of the process would wait for.
    // At most kLineLimit bytes, the line end included: more without one
    // ends the line as the end of the input does, so that an endless stream
    // does not keep the thread reading.
    for (std::size_t taken = 0; taken < LineInput::kLineLimit; ++taken) {
        if (!ReadFile(input, &byte, 1, &got, nullptr) || got != 1 || byte == '\n') break;
        if (byte != '\r') state.line += byte;
    }
    delete keep;
    return 0;
}
}  // namespace

bool inputIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

LineInput::LineInput() : state_(std::make_shared<State>()) {
    auto* keep = new std::shared_ptr<State>(state_);
    state_->thread = CreateThread(nullptr, 0, readLine, keep, 0, nullptr);
    if (!state_->thread) delete keep;
}

LineInput::~LineInput() {
    if (state_->thread) CloseHandle(state_->thread);
}

bool LineInput::waitUpTo(std::uint32_t milliseconds) {
    if (!state_->thread) return true;
    return WaitForSingleObject(state_->thread, milliseconds) == WAIT_OBJECT_0;
}

std::string LineInput::line() const { return state_->line; }
