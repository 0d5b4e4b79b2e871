// --keep-available: hold whatever keeps the memory room near a target while
// other processes take and free memory. The decision is portable; the runner
// reads the room and takes or gives back blocks.
#pragma once
#include <cstdint>

// The band the room is kept within, either side of the target:
// max(32 MiB, 1 % of the room's total). Narrower and the room's own noise
// (page cache, other processes' small allocations) would move what is held
// every interval.
std::uint64_t keepBand(std::uint64_t total);

// What is held is taken and given back in chunks of this size.
constexpr std::uint64_t kKeepChunk = 16ull << 20;

struct KeepAvailable {
    std::uint64_t target;  // the room to leave
    std::uint64_t band;    // keepBand(total)
    std::uint64_t chunk;   // kKeepChunk; less than the band
};

// Bytes to take (positive), to give back (negative), or 0 to hold, given the
// room now and what is held now.
// - Room above target + band: take (room − target) rounded down to whole
//   chunks, never more than fits the room with its page tables (fitsRoom).
// - Room below target − band: give back (target − room) rounded up to whole
//   chunks at once, never more than is held.
// - Within the band: 0.
// A take leaves the room in (target − page tables, target + chunk], a give-back
// in [target, target + chunk); with chunk < band both are inside the band, so
// without another process moving the next decision is 0: no oscillation.
std::int64_t keepAdjustment(const KeepAvailable& keep, std::uint64_t roomAvailable, std::uint64_t held);
