#include "headless/runs/held_memory.h"

#include <algorithm>

#include "headless/metrics/live_figures.h"

HeldMemory::HeldMemory(BlockAllocator& allocator, bool resident, std::uint64_t chunk)
    : allocator_(allocator), mode_(resident ? 1 : 0), chunk_(chunk) {}

HeldMemory::~HeldMemory() { releaseAll(); }

std::uint64_t HeldMemory::grow(std::uint64_t bytes, const std::function<bool()>& keepGoing) {
    std::uint64_t taken = 0;
    while (taken < bytes && keepGoing()) {
        const std::uint64_t size = std::min(chunk_, bytes - taken);
        Chunk chunk{LoadBlock{}, size};
        if (allocateBlock(chunk.block, allocator_, mode_, size, PageTouch::WriteAll) != 0) break;
        chunks_.push_back(chunk);
        held_ += size;
        taken += size;
    }
    return taken;
}

std::uint64_t HeldMemory::shrink(std::uint64_t bytes) {
    std::uint64_t given = 0;
    while (given < bytes && !chunks_.empty()) {
        Chunk& chunk = chunks_.back();
        releaseBlock(chunk.block, allocator_, mode_);
        given += chunk.bytes;
        held_ -= chunk.bytes;
        chunks_.pop_back();
    }
    return given;
}

std::uint64_t HeldMemory::shrinkExactly(std::uint64_t bytes) {
    if (bytes >= held_) return shrink(held_);
    const std::uint64_t given = shrink(bytes);
    // A refused take-back leaves less held than asked: given back all the same.
    return given - grow(given - bytes, [] { return true; });
}

void HeldMemory::fillAll(const std::function<void(unsigned char*, std::uint64_t, unsigned char)>& fill,
                         unsigned char value) {
    for (Chunk& chunk : chunks_) fill(chunk.block.block, chunk.bytes, value);
    if (held_ > 0) countAccessPass(held_);
}

void HeldMemory::visit(std::uint64_t offset, std::uint64_t bytes,
                       const std::function<void(unsigned char*, std::uint64_t)>& visit) const {
    for (const Chunk& chunk : chunks_) {
        if (bytes == 0) return;
        if (offset >= chunk.bytes) {
            offset -= chunk.bytes;
            continue;
        }
        const std::uint64_t piece = std::min(bytes, chunk.bytes - offset);
        visit(chunk.block.block + offset, piece);
        bytes -= piece;
        offset = 0;
    }
}
