// The seam for --lock: how much this process may still lock, and locking a
// block that is already resident.
//   Linux:   system/linux/page_lock.cpp: RLIMIT_MEMLOCK, CAP_IPC_LOCK, VmLck; mlock.
//   Windows: system/windows/page_lock.cpp: no per-process limit beyond the
//            working set, which is raised for each block; VirtualLock.
#pragma once
#include <cstdint>
#include <string>

struct PageLockRoom {
    bool known = false;
    std::string error;         // why it could not be read
    bool unlimited = false;    // Linux: CAP_IPC_LOCK, or an unlimited soft limit; Windows: always
    std::uint64_t soft = 0;    // the soft limit in bytes (Linux)
    std::uint64_t hard = 0;    // the hard limit in bytes; UINT64_MAX: unlimited
    std::uint64_t locked = 0;  // what the process has locked already
};

PageLockRoom readPageLockRoom();

// Locks [start, start + bytes), already resident; false with the system's
// reason when it refuses.
bool lockPages(void* start, std::uint64_t bytes, std::string& why);
