#include "load_block.h"

#include <cstdint>
#include <cstdlib>

namespace {
constexpr std::uint64_t kNoSize = UINT64_MAX;

std::uint64_t scaled(std::int64_t count, unsigned shift) {
    if (count < 0) return kNoSize;
    return static_cast<std::uint64_t>(count) << shift;  // count < 2^63, shift <= 20: may wrap only past 2^43 MB
}
}  // namespace

void* BlockAllocator::takeNormal(std::uint64_t bytes) {
    if (bytes > SIZE_MAX) return nullptr;
    return std::malloc(static_cast<std::size_t>(bytes));
}

void BlockAllocator::releaseNormal(void* block) { std::free(block); }

void writeEveryPage(void* start, std::uint64_t bytes, std::uint64_t pageSize) {
    if (bytes == 0) return;
    volatile unsigned char* bytesOf = static_cast<volatile unsigned char*>(start);
    for (std::uint64_t offset = 0; offset < bytes; offset += pageSize) bytesOf[offset] = 0;
    bytesOf[bytes - 1] = 0;  // a block that starts mid-page ends on one more
}

std::uint64_t megabytesToBytes(std::int64_t megabytes) {
    if (megabytes > (INT64_MAX >> 20)) return kNoSize;
    return scaled(megabytes, 20);
}

std::uint64_t kilobytesToBytes(std::int64_t kilobytes) {
    if (kilobytes > (INT64_MAX >> 10)) return kNoSize;
    return scaled(kilobytes, 10);
}

int allocateBlock(LoadBlock& load, BlockAllocator& allocator, int physicalMode,
                  std::uint64_t bytes, PageTouch touch) {
    // A request the system could never commit is refused before the allocator
    // sees it: some platforms reserve bookkeeping for it and exhaust memory.
    const bool grantable = bytes != kNoSize && bytes <= allocator.commitLimit();
    if (!physicalMode) {
        load.block = grantable ? static_cast<unsigned char*>(allocator.takeNormal(bytes)) : nullptr;
        if (load.block) {
            load.size = bytes;
            load.allocated = 1;
            return 0;
        }
        load.allocated = 0;
        return 1;
    }
    // One private heap per block. A heap whose block cannot be had is
    // destroyed at once rather than left behind with no way to reach it.
    load.block = nullptr;
    load.heap = grantable ? allocator.createHeap() : nullptr;
    if (load.heap) {
        load.block = static_cast<unsigned char*>(allocator.takeFromHeap(load.heap, bytes));
        if (!load.block) {
            allocator.destroyHeap(load.heap);
            load.heap = nullptr;
        }
    }
    if (!load.block) {
        load.allocated = 0;
        return 1;
    }
    if (touch == PageTouch::WriteAll && !allocator.makeResident(load.block, bytes)) {
        // Half a block resident is no block at all: its other pages would be
        // faulted in later, where nothing can refuse them but the OOM killer.
        allocator.destroyHeap(load.heap);
        load.heap = nullptr;
        load.block = nullptr;
        load.allocated = 0;
        return 1;
    }
    return 0;
}

void releaseBlock(LoadBlock& load, BlockAllocator& allocator, int physicalMode) {
    if (!physicalMode) {
        allocator.releaseNormal(load.block);
        load.block = nullptr;  // never handed out again once freed
    } else if (load.heap) {
        allocator.destroyHeap(load.heap);
        load.heap = nullptr;
        load.block = nullptr;
    }
    load.allocated = 0;
}
