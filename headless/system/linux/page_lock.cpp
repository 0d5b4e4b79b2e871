// Linux's side of the lock seam. The soft RLIMIT_MEMLOCK bounds what an
// unprivileged process may lock (mlock(2)); CAP_IPC_LOCK lifts the bound.
#include <sys/mman.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "headless/memory/proc_fields.h"
#include "headless/system/page_lock.h"

namespace {
constexpr unsigned kCapIpcLock = 14;  // linux/capability.h

// CapEff of /proc/self/status, a hexadecimal mask.
bool hasCapIpcLock(const std::string& status) {
    const std::string name = "\nCapEff:";
    const std::size_t at = status.find(name);
    if (at == std::string::npos) return false;
    const unsigned long long mask = std::strtoull(status.c_str() + at + name.size(), nullptr, 16);
    return (mask >> kCapIpcLock) & 1u;
}

std::uint64_t limitBytes(rlim_t value) { return value == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(value); }
}  // namespace

PageLockRoom readPageLockRoom() {
    PageLockRoom room;
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) {
        room.error = std::string("getrlimit(RLIMIT_MEMLOCK): ") + std::strerror(errno);
        return room;
    }
    const std::string status = readProcFile("/proc/self/status");
    if (status.empty()) {
        room.error = "/proc/self/status cannot be read";
        return room;
    }
    room.known = true;
    room.soft = limitBytes(limit.rlim_cur);
    room.hard = limitBytes(limit.rlim_max);
    room.unlimited = hasCapIpcLock("\n" + status) || room.soft == UINT64_MAX;
    room.locked = procField(status, "VmLck").value_or(0);
    return room;
}

bool lockPages(void* start, std::uint64_t bytes, std::string& why) {
    if (bytes == 0) return true;
    if (mlock(start, static_cast<std::size_t>(bytes)) == 0) return true;
    why = std::string("mlock: ") + std::strerror(errno);
    return false;
}
