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

// Whether `room`'s available figure may trail memory just taken or given
// back by a second or more. Linux: where the host sets it. Freeing 512 MiB
// raised MemFree and MemAvailable by 81 to 94 MiB at once and the rest over
// about 50 s (kernel 6.18): freed pages wait on the per-CPU free lists,
// which /proc/meminfo leaves out; a group's usage drops at once. Windows
// documents its available figure as current; Wine's is the Linux kernel's
// free count, kept for about a second, so there it lags.
bool roomFigureLags(const MemoryRoom& room);

// What may still be committed, for memory that is only committed (--lazy):
// Linux under strict overcommit (mode 2) CommitLimit less Committed_AS,
// otherwise all memory and all swap, MemTotal + SwapTotal (the kernel then
// grants any one mapping up to that); Windows the commit the system has
// left. 0 when it cannot be read: nothing is granted on a guess.
std::uint64_t readCommitRoom();
