// The memory room as this system gives it: the figure every room check and
// log line of torvane-run uses (memory/room_rules.h says what it is).
//   Linux:   system/linux/memory_room.cpp reads /proc and the cgroup files
//            through the portable rules, linuxMemoryRoom.
//   Windows: system/windows/memory_room.cpp asks the system, and a job's
//            limit where the process is in one.
#pragma once
#include "headless/memory/room_rules.h"

// Read afresh on every call.
MemoryRoom readMemoryRoom();
