// Notice between two readings of the room that it is running out: a burst
// of another process's memory can take more than --keep-available keeps
// within one --interval, and the kernel would end the holder before it
// read the room again.
//   Linux:   system/linux/room_watch.cpp: cgroup v1 a usage threshold
//            (cgroup.event_control); v2 memory.events and a stall trigger
//            on memory.pressure, where the files can be written.
//   Windows: system/windows/room_watch.cpp: none; the room is polled.
#pragma once
#include <memory>
#include <string>

#include "headless/memory/room_rules.h"

class RoomWatch {
public:
    virtual ~RoomWatch() = default;
    // True when the system has signalled since the last call. Never blocks.
    virtual bool fired() = 0;
};

struct RoomWatchStart {
    std::unique_ptr<RoomWatch> watch;  // null: polling only
    std::string how;                   // what is watched, or why nothing can be
};

// A watch on the group that sets `room`, firing once its room falls to half
// of `keptRoom`.
RoomWatchStart watchRoom(const MemoryRoom& room, std::uint64_t keptRoom);
