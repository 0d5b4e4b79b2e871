// Windows' side of the lock seam. A process may lock as many pages as its
// working set's minimum holds (VirtualLock); raising that minimum needs only
// the increase-working-set privilege, which every user has. So there is no
// limit to read: the minimum is raised by each block's size before it is
// locked, and a refusal names the system's reason.
#include <windows.h>

#include <cstdint>

#include "headless/system/page_lock.h"
#include "headless/system/windows/system_text.h"

PageLockRoom readPageLockRoom() {
    PageLockRoom room;
    room.known = true;
    room.unlimited = true;
    room.hard = UINT64_MAX;
    return room;
}

bool lockPages(void* start, std::uint64_t bytes, std::string& why) {
    if (bytes == 0) return true;
    if (bytes > SIZE_MAX) {
        why = "the block is larger than the address space";
        return false;
    }
    // Pages a block straddles, and the lock's own bookkeeping.
    constexpr SIZE_T kSlack = SIZE_T{1} << 20;
    HANDLE self = GetCurrentProcess();
    SIZE_T minimum = 0, maximum = 0;
    if (!GetProcessWorkingSetSize(self, &minimum, &maximum)) {
        why = "GetProcessWorkingSetSize: " + systemText(GetLastError());
        return false;
    }
    const SIZE_T length = static_cast<SIZE_T>(bytes);
    const SIZE_T grownMaximum = maximum > minimum + length + kSlack ? maximum : minimum + length + kSlack;
    if (!SetProcessWorkingSetSize(self, minimum + length + kSlack, grownMaximum)) {
        why = "SetProcessWorkingSetSize: " + systemText(GetLastError());
        return false;
    }
    if (VirtualLock(start, length)) return true;
    why = "VirtualLock: " + systemText(GetLastError());
    SetProcessWorkingSetSize(self, minimum, maximum);
    return false;
}
