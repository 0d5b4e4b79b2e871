// Windows: the memory manager's low-memory resource notification, asked
// each check rather than waited on, since the run already ticks.
#include <windows.h>

#include "headless/system/low_memory_signal.h"
#include "headless/system/windows/system_text.h"

struct LowMemorySignal::Handle {
    HANDLE notification = nullptr;
};

LowMemorySignal::LowMemorySignal() : handle_(std::make_unique<Handle>()) {
    handle_->notification = CreateMemoryResourceNotification(LowMemoryResourceNotification);
    if (!handle_->notification) {
        failure_ = "the system's low-memory notification cannot be had: " + systemText(GetLastError());
    }
}

LowMemorySignal::~LowMemorySignal() {
    if (handle_->notification) CloseHandle(handle_->notification);
}

std::optional<bool> LowMemorySignal::low() {
    if (!handle_->notification) return std::nullopt;
    BOOL state = FALSE;
    if (!QueryMemoryResourceNotification(handle_->notification, &state)) {
        failure_ = "the system's low-memory notification cannot be read: " + systemText(GetLastError());
        return std::nullopt;
    }
    return state != FALSE;
}
