// The platform side of the allocator seam: the runtime's malloc for normal
// mode, one private heap per block for physical mode.
#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "access_load.h"
#include "load_state.h"

LoadBlock loadBlock;
AccessLoad accessLoad;

namespace {

class WinAllocator final : public BlockAllocator {
public:
    void* takeNormal(std::uint64_t bytes) override {
        if (bytes > SIZE_MAX) return nullptr;
        return std::malloc(static_cast<std::size_t>(bytes));
    }
    void releaseNormal(void* block) override { std::free(block); }

    void* createHeap() override {
        // No fixed maximum: a heap with one refuses every block of about a
        // megabyte and more, which would make physical mode useless.
        return HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    }
    void* takeFromHeap(void* heap, std::uint64_t bytes) override {
        if (bytes > SIZE_MAX) return nullptr;
        return HeapAlloc(static_cast<HANDLE>(heap), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(bytes));
    }
    void destroyHeap(void* heap) override { HeapDestroy(static_cast<HANDLE>(heap)); }

    void makeResident(void* block, std::uint64_t bytes) override {
        // A large zero-filled block arrives as demand-zero pages; writing one
        // byte of each (with the zero it already holds) makes it resident.
        volatile unsigned char* bytesOf = static_cast<volatile unsigned char*>(block);
        const std::uint64_t page = pageSize();
        for (std::uint64_t offset = 0; offset < bytes; offset += page) bytesOf[offset] = 0;
        if (bytes != 0) bytesOf[bytes - 1] = 0;
    }

    std::uint64_t commitLimit() override {
        MEMORYSTATUSEX status = {};
        status.dwLength = sizeof status;
        if (!GlobalMemoryStatusEx(&status)) return UINT64_MAX;
        return status.ullTotalPageFile;
    }

private:
    static std::uint64_t pageSize() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
    }
};

}  // namespace

BlockAllocator& platformAllocator() {
    static WinAllocator allocator;
    return allocator;
}
