#include "headless/system/room_watch.h"

RoomWatchStart watchRoom(const MemoryRoom&, std::uint64_t) {
    // A job notifies only at its limit, when the commit has already failed;
    // the system-wide low-memory signal says nothing of a job's room.
    return {nullptr, "Windows gives no early notice of a job's or the machine's room running out"};
}
