// A script's "run": the command handed to the system's command interpreter
// and waited for in ticks. It starts in the script's folder, where the
// window's file dialog leaves the current directory.
#pragma once
#include <memory>
#include <string>

#include "tick_wait.h"

class ExternalCommand final : public Awaited {
public:
    // Starts `command`; `folder` empty: the current directory. A command that
    // cannot be started counts as ended at once.
    ExternalCommand(const char* command, const std::string& folder);
    ~ExternalCommand() override;
    ExternalCommand(const ExternalCommand&) = delete;
    ExternalCommand& operator=(const ExternalCommand&) = delete;

    bool waitUpTo(std::uint32_t milliseconds) override;

    struct State;

private:
    std::unique_ptr<State> state_;
};
