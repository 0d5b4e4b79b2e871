// The one block of memory the program holds, and the seam to the platform's
// allocators. No platform headers here: the bookkeeping is unit-tested natively.
#pragma once
#include <cstdint>

// Seam to the platform. Windows: malloc/free and one private heap per block;
// tests: a fake that records every call.
struct BlockAllocator {
    virtual ~BlockAllocator() = default;
    // Normal mode: the runtime's general allocator (malloc and free on every
    // platform); the block is not touched.
    virtual void* takeNormal(std::uint64_t bytes);
    virtual void releaseNormal(void* block);
    // Physical mode: a private heap without a fixed maximum (null on failure),
    // a zero-filled block from it, and the heap's destruction with its block.
    virtual void* createHeap() = 0;
    virtual void* takeFromHeap(void* heap, std::uint64_t bytes) = 0;
    virtual void destroyHeap(void* heap) = 0;
    // Write every page of a fresh block so that it is resident at once.
    // False when the system could not make it resident (out of memory inside
    // a limit): the block is then given back and the allocation fails.
    virtual bool makeResident(void* block, std::uint64_t bytes) = 0;
    // The system's total commit limit now; larger requests fail unasked.
    virtual std::uint64_t commitLimit() = 0;
};

// Writes one byte of every page of [start, start + bytes), the last byte
// included, with the zero a fresh page holds: each page is then resident.
void writeEveryPage(void* start, std::uint64_t bytes, std::uint64_t pageSize);

// Owned by the load engine. Execute, the allocation test and the script
// runner change it only through allocateBlock and releaseBlock; the access
// load reads it and sets `busy`.
struct LoadBlock {
    unsigned char* block = nullptr;
    std::uint64_t size = 0;   // set only by a normal-mode allocation
    int allocated = 0;        // 1 while a normal-mode block is described here
    int busy = 0;             // 1 while an access-load pass runs
    void* heap = nullptr;     // physical mode: the block's private heap
};

// Whether a physical-mode block has its pages written when taken. The
// allocation test leaves them alone: its answer does not depend on it.
enum class PageTouch { Leave, WriteAll };

// Bytes of a size given in megabytes or kilobytes, in 64 bits so that 4096 MB
// and more ask for their full size. Negative counts have no size (UINT64_MAX),
// which no allocator grants.
std::uint64_t megabytesToBytes(std::int64_t megabytes);
std::uint64_t kilobytesToBytes(std::int64_t kilobytes);

// Takes a block of `bytes` in the given mode, replacing (not releasing) any
// block described before. Returns 0 on success, 1 on failure (block null).
int allocateBlock(LoadBlock& load, BlockAllocator& allocator, int physicalMode,
                  std::uint64_t bytes, PageTouch touch);

// Gives back the block described: free in normal mode, the heap destroyed in
// physical mode. `allocated` becomes 0.
void releaseBlock(LoadBlock& load, BlockAllocator& allocator, int physicalMode);
