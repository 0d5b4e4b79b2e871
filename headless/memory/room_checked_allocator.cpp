#include "headless/memory/room_checked_allocator.h"

#include <algorithm>
#include <utility>

#include "headless/record/mebibytes.h"

bool fitsRoom(std::uint64_t bytes, const MemoryRoom& room) {
    return room.known && bytes <= mostResidentIn(room.available);
}

std::uint64_t mostResidentIn(std::uint64_t roomBytes) {
    if (roomBytes <= kRoomMargin) return 0;
    const std::uint64_t left = roomBytes - kRoomMargin;
    // left * 512 / 513 without overflowing 64 bits.
    return left / 513 * 512 + left % 513 * 512 / 513;
}

RoomCheckedAllocator::RoomCheckedAllocator(BlockAllocator& inner, ReadRoom readRoom, Explain explain,
                                           bool normalResident)
    : inner_(inner), readRoom_(std::move(readRoom)), explain_(std::move(explain)), normalResident_(normalResident) {}

bool RoomCheckedAllocator::fits(std::uint64_t bytes) {
    if (!roomCounts_) return true;
    const MemoryRoom room = readRoom_();
    if (!room.known) {
        // Fails closed: a guess that is wrong inside a limit ends the run.
        explain_("room-unreadable", "torvane-run: the memory room cannot be read (" + room.error +
                 "), so no block is made resident");
        return false;
    }
    if (fitsRoom(bytes, room)) return true;
    std::string text = "torvane-run: " + mebibytesText(bytes) + " does not fit the memory room of " +
                       mebibytesText(room.available);
    if (room.availableSource != LimitSource::Host)
        text += std::string(" (") + limitSourceName(room.availableSource) + ")";
    explain_("room-refused", text);
    return false;
}

void* RoomCheckedAllocator::counted(void* key, std::uint64_t bytes) {
    if (!key) return nullptr;
    auto [entry, added] = sizes_.emplace(key, bytes);
    if (!added) {
        held_ -= entry->second;
        entry->second = bytes;
    }
    held_ += bytes;
    heldMax_ = std::max(heldMax_, held_.load(std::memory_order_relaxed));
    return key;
}

void RoomCheckedAllocator::forget(void* key) {
    const auto entry = sizes_.find(key);
    if (entry != sizes_.end()) {
        held_ -= entry->second;
        sizes_.erase(entry);
    }
    if (sizes_.empty()) lastAsked_.reset();
}

void* RoomCheckedAllocator::takeNormal(std::uint64_t bytes) {
    lastAsked_ = bytes;
    if (!normalResident_) return counted(inner_.takeNormal(bytes), bytes);
    if (!fits(bytes)) return nullptr;
    void* block = inner_.takeNormal(bytes);
    if (!block) return nullptr;
    // Written whole by the access load's first pass, which could not stop
    // part-way when the room shrank: made resident here, piece by piece.
    if (!makeResident(block, bytes)) {
        inner_.releaseNormal(block);
        return nullptr;
    }
    return counted(block, bytes);
}

void RoomCheckedAllocator::releaseNormal(void* block) {
    forget(block);
    inner_.releaseNormal(block);
}

void* RoomCheckedAllocator::takeFromHeap(void* heap, std::uint64_t bytes) {
    lastAsked_ = bytes;
    if (!fits(bytes)) return nullptr;
    void* block = inner_.takeFromHeap(heap, bytes);
    // Counted by its heap: the heap's destruction gives the block back.
    if (block) counted(heap, bytes);
    return block;
}

void RoomCheckedAllocator::destroyHeap(void* heap) {
    forget(heap);
    inner_.destroyHeap(heap);
}

bool RoomCheckedAllocator::makeResident(void* block, std::uint64_t bytes) {
    // The room may shrink while a block is filled (another process takes
    // memory, or a second torvane-run fills its own block at the same time):
    // it is read again before each piece, and the take stops before the
    // kernel has to end someone. A piece is at most a quarter of what the
    // room still allows, so that two or three processes filling at once
    // cannot together take more than is there.
    auto* start = static_cast<unsigned char*>(block);
    std::uint64_t done = 0;
    do {
        const std::uint64_t rest = bytes - done;
        std::uint64_t piece = std::min(kResidentPiece, rest);
        if (rest > 0 && roomCounts_) {
            const MemoryRoom room = readRoom_();
            const std::uint64_t allowed = room.known ? mostResidentIn(room.available) : 0;
            if (rest > allowed) {
                explain_("room-shrank", "torvane-run: the memory room shrank to " + mebibytesText(room.available) +
                                            " while " + mebibytesText(bytes) + " was made resident, " +
                                            mebibytesText(done) + " of it; the block is given back");
                return false;
            }
            piece = std::min(piece, std::max<std::uint64_t>(allowed / 4, 4096));
        }
        if (!inner_.makeResident(start + done, piece)) {
            explain_("not-made-resident", "torvane-run: the system could not make " + mebibytesText(bytes) +
                                              " resident; the block is given back");
            return false;
        }
        done += piece;
    } while (done < bytes);
    return true;
}

std::uint64_t RoomCheckedAllocator::commitLimit() {
    const std::uint64_t limit = inner_.commitLimit();
    if (limit == 0)
        explain_("commit-limit-unreadable",
                 "torvane-run: the system's commit limit cannot be read, so no block is taken");
    return limit;
}
