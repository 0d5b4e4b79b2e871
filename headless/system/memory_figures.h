// The memory figures printed with every line: what the process holds and
// what the system has left.
#pragma once
#include <cstdint>
#include <string>

#include "headless/memory/room_rules.h"

struct MemoryFigures {
    static constexpr std::uint64_t kUnknown = UINT64_MAX;
    // The process's pages in physical memory (resident set, working set).
    std::uint64_t residentBytes = kUnknown;
    // What the process has committed: Linux VmData (private writable memory,
    // charged to the commit limit whether touched or not); Windows its
    // private bytes (PrivateUsage).
    std::uint64_t committedBytes = kUnknown;
    // The memory room: what may still be made resident, the tightest of the
    // host's available memory and every memory limit over the process.
    std::uint64_t availableBytes = kUnknown;
    // "cgroup" or "job" when such a limit sets the room; null for the host.
    const char* availableLimit = nullptr;
    // What set the room ("host", "cgroup", "job"); null when it is not known.
    const char* roomSource = nullptr;
    // The tightest group or job limit; kUnknown when there is none.
    std::uint64_t limitBytes = kUnknown;
    // The room's total (the machine's memory, or the tightest limit), and
    // where a limit sets the room, its level's usage and the page cache in
    // it that counts as room.
    std::uint64_t roomTotalBytes = kUnknown;
    std::uint64_t usageBytes = kUnknown;
    std::uint64_t reclaimableBytes = kUnknown;
};

// Read afresh on every call; a figure the system does not give stays kUnknown.
MemoryFigures readMemoryFigures();

// The room's figures, the same on every system; a room that cannot be read
// leaves them unknown.
inline void addRoom(MemoryFigures& figures, const MemoryRoom& room) {
    if (!room.known) return;
    figures.availableBytes = room.available;
    if (room.availableSource != LimitSource::Host) figures.availableLimit = limitSourceName(room.availableSource);
    figures.roomSource = limitSourceName(room.availableSource);
    if (room.limit != UINT64_MAX) figures.limitBytes = room.limit;
    figures.roomTotalBytes = room.total;
    figures.usageBytes = room.usage;
    figures.reclaimableBytes = room.reclaimable;
}

// The machine's name, for a run's report; empty when the system gives none.
std::string machineName();
