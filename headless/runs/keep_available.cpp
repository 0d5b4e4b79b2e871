#include "headless/runs/keep_available.h"

#include <algorithm>

#include "headless/memory/room_checked_allocator.h"

std::uint64_t keepBand(std::uint64_t total) { return std::max<std::uint64_t>(32ull << 20, total / 100); }

std::int64_t keepAdjustment(const KeepAvailable& keep, std::uint64_t roomAvailable, std::uint64_t held) {
    if (keep.chunk == 0) return 0;
    if (roomAvailable > keep.target && roomAvailable - keep.target > keep.band) {
        // A block needs 1/512 more for its page tables (fitsRoom); matters
        // when the target is under 1/512 of the room.
        const std::uint64_t most = mostResidentIn(roomAvailable);
        return static_cast<std::int64_t>(std::min(roomAvailable - keep.target, most) / keep.chunk * keep.chunk);
    }
    if (roomAvailable < keep.target && keep.target - roomAvailable > keep.band) {
        const std::uint64_t shortfall = keep.target - roomAvailable;
        const std::uint64_t chunks = shortfall / keep.chunk + (shortfall % keep.chunk != 0 ? 1 : 0);
        const std::uint64_t giveBack = std::min(held, chunks * keep.chunk);
        return -static_cast<std::int64_t>(giveBack);
    }
    return 0;
}
