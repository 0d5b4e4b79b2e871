// The memory figures printed with every line: what the process holds and
// what the system has left.
#pragma once
#include <cstdint>

struct MemoryFigures {
    static constexpr std::uint64_t kUnknown = UINT64_MAX;
    // The process's pages in physical memory (resident set, working set).
    std::uint64_t residentBytes = kUnknown;
    // What the process has committed: Linux VmData (private writable memory,
    // charged to the commit limit whether touched or not); Windows its
    // private bytes (PrivateUsage).
    std::uint64_t committedBytes = kUnknown;
    // Physical memory still available to programs: Linux MemAvailable,
    // Windows ullAvailPhys.
    std::uint64_t availableBytes = kUnknown;
};

// Read afresh on every call; a figure the system does not give stays kUnknown.
MemoryFigures readMemoryFigures();
