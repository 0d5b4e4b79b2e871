// Memory held by --hold and --keep-available: a list of blocks of at most
// one chunk each, so that what is held can grow and shrink by whole chunks,
// each block taken and given back through the allocator seam like a
// script's.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "load/load_block.h"

class HeldMemory {
public:
    // `resident`: each chunk is made resident when taken (physical mode);
    // otherwise it is only committed.
    HeldMemory(BlockAllocator& allocator, bool resident, std::uint64_t chunk);
    ~HeldMemory();
    HeldMemory(const HeldMemory&) = delete;
    HeldMemory& operator=(const HeldMemory&) = delete;

    // Takes `bytes` more, a chunk at a time, asking `keepGoing` before each;
    // stops at the first chunk refused. Returns the bytes taken.
    std::uint64_t grow(std::uint64_t bytes, const std::function<bool()>& keepGoing);
    // Gives back at least `bytes` (whole chunks, newest first), or all.
    // Returns the bytes given back.
    std::uint64_t shrink(std::uint64_t bytes);
    void releaseAll() { shrink(held_); }
    // Gives back exactly `bytes` (or all): whole blocks, then what was given
    // back past `bytes` taken again. Returns the bytes given back.
    std::uint64_t shrinkExactly(std::uint64_t bytes);

    std::uint64_t held() const { return held_; }

    // Writes every held byte with `value` through `fill`.
    void fillAll(const std::function<void(unsigned char*, std::uint64_t, unsigned char)>& fill, unsigned char value);
    // Calls `visit` on each piece of the `bytes` held bytes from `offset` on
    // (counted across the blocks in the order taken), stopping at the end.
    void visit(std::uint64_t offset, std::uint64_t bytes,
               const std::function<void(unsigned char*, std::uint64_t)>& visit) const;

private:
    struct Chunk {
        LoadBlock block;
        std::uint64_t bytes;
    };
    BlockAllocator& allocator_;
    int mode_;
    std::uint64_t chunk_;
    std::vector<Chunk> chunks_;
    std::uint64_t held_ = 0;
};
