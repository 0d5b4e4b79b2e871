#include "room_checked_allocator.h"

#include <utility>

#include "log_line.h"

bool fitsRoom(std::uint64_t bytes, const MemoryRoom& room) {
    if (!room.known) return false;
    const std::uint64_t pageTables = bytes / 512;
    return bytes <= room.available && pageTables <= room.available - bytes;
}

RoomCheckedAllocator::RoomCheckedAllocator(BlockAllocator& inner, ReadRoom readRoom, Explain explain,
                                           bool normalResident)
    : inner_(inner), readRoom_(std::move(readRoom)), explain_(std::move(explain)), normalResident_(normalResident) {}

bool RoomCheckedAllocator::fits(std::uint64_t bytes) {
    const MemoryRoom room = readRoom_();
    if (!room.known) {
        // Fails closed: a guess that is wrong inside a limit ends the run.
        explain_("torvane-run: the memory room cannot be read (" + room.error +
                 "), so no block is made resident");
        return false;
    }
    if (fitsRoom(bytes, room)) return true;
    std::string text = "torvane-run: " + mebibytesText(bytes) + " does not fit the memory room of " +
                       mebibytesText(room.available);
    if (room.availableSource != LimitSource::Host) text += std::string(" (") + limitSourceName(room.availableSource) + ")";
    explain_(text);
    return false;
}

void* RoomCheckedAllocator::takeNormal(std::uint64_t bytes) {
    if (normalResident_ && !fits(bytes)) return nullptr;
    return inner_.takeNormal(bytes);
}

void* RoomCheckedAllocator::takeFromHeap(void* heap, std::uint64_t bytes) {
    if (!fits(bytes)) return nullptr;
    return inner_.takeFromHeap(heap, bytes);
}

bool RoomCheckedAllocator::makeResident(void* block, std::uint64_t bytes) {
    if (inner_.makeResident(block, bytes)) return true;
    explain_("torvane-run: the system could not make " + mebibytesText(bytes) + " resident; the block is given back");
    return false;
}

std::uint64_t RoomCheckedAllocator::commitLimit() {
    const std::uint64_t limit = inner_.commitLimit();
    if (limit == 0) explain_("torvane-run: the system's commit limit cannot be read, so no block is taken");
    return limit;
}
