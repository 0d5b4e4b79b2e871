// Windows: the C runtime's system(), as the window calls it, on a worker
// thread so that the host can tick while it waits. The console's Ctrl-C
// reaches the command too.
#include <windows.h>

#include <cstdlib>

#include "external_command.h"

struct ExternalCommand::State {
    std::string command;
    std::string previousFolder;
    HANDLE thread = nullptr;
};

namespace {
DWORD WINAPI runCommand(void* parameter) {
    std::system(static_cast<ExternalCommand::State*>(parameter)->command.c_str());
    return 0;
}
}  // namespace

ExternalCommand::ExternalCommand(const char* command, const std::string& folder)
    : state_(std::make_unique<State>()) {
    state_->command = command;
    if (!folder.empty()) {
        char current[MAX_PATH];
        const DWORD length = GetCurrentDirectoryA(sizeof current, current);
        if (length > 0 && length < sizeof current && SetCurrentDirectoryA(folder.c_str())) {
            state_->previousFolder = current;
        }
    }
    state_->thread = CreateThread(nullptr, 0, runCommand, state_.get(), 0, nullptr);
}

ExternalCommand::~ExternalCommand() {
    if (state_->thread) {
        WaitForSingleObject(state_->thread, INFINITE);  // never left running: it uses the state
        CloseHandle(state_->thread);
    }
    if (!state_->previousFolder.empty()) SetCurrentDirectoryA(state_->previousFolder.c_str());
}

bool ExternalCommand::waitUpTo(std::uint32_t milliseconds) {
    if (!state_->thread) return true;
    return WaitForSingleObject(state_->thread, milliseconds) == WAIT_OBJECT_0;
}
