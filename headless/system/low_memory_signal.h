// The system's own word that its memory is low, for --stop-if-low-memory.
// Windows: the low-memory resource notification, which the memory manager
// sets when the available memory falls below its own threshold (documented
// for CreateMemoryResourceNotification as about 32 MB per 4 GB, at most
// 64 MB). Linux has no such signal: the option is refused there in favour of
// --stop-if-room-below, and this half only says so.
#pragma once
#include <memory>
#include <optional>
#include <string>

class LowMemorySignal {
public:
    LowMemorySignal();
    ~LowMemorySignal();
    LowMemorySignal(const LowMemorySignal&) = delete;
    LowMemorySignal& operator=(const LowMemorySignal&) = delete;

    // Whether the system signals low memory now; none, with failure() set,
    // when it cannot be asked.
    std::optional<bool> low();
    const std::string& failure() const { return failure_; }

    struct Handle;

private:
    std::unique_ptr<Handle> handle_;
    std::string failure_;
};
