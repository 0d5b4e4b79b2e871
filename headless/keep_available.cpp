#include "keep_available.h"

#include <algorithm>

#include "memory_room.h"
#include "room_checked_allocator.h"

std::uint64_t keepBand(std::uint64_t total) { return std::max<std::uint64_t>(32ull << 20, total / 100); }

std::int64_t keepAdjustment(const KeepAvailable& keep, std::uint64_t roomAvailable, std::uint64_t held) {
    if (keep.chunk == 0) return 0;
    if (roomAvailable > keep.target && roomAvailable - keep.target > keep.band) {
        // A block needs 1/512 more for its page tables (fitsRoom), so no
        // more than 512/513 of the room can be taken; matters when the
        // target is under 1/512 of the room.
        const std::uint64_t most = roomAvailable / 513 * 512 + roomAvailable % 513 * 512 / 513;
        std::uint64_t take = std::min(roomAvailable - keep.target, most) / keep.chunk * keep.chunk;
        MemoryRoom room;
        room.known = true;
        room.available = roomAvailable;
        while (take != 0 && !fitsRoom(take, room)) take -= keep.chunk;  // never runs: fitsRoom has the last word
        return static_cast<std::int64_t>(take);
    }
    if (roomAvailable < keep.target && keep.target - roomAvailable > keep.band) {
        const std::uint64_t shortfall = keep.target - roomAvailable;
        const std::uint64_t chunks = shortfall / keep.chunk + (shortfall % keep.chunk != 0 ? 1 : 0);
        const std::uint64_t giveBack = std::min(held, chunks * keep.chunk);
        return -static_cast<std::int64_t>(giveBack);
    }
    return 0;
}
