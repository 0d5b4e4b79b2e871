// The platform side of the allocator seam: one private heap per block for
// physical mode (normal mode uses the seam's malloc and free).
#include <windows.h>

#include <cstdint>

#include "load_state.h"

namespace {

class WinAllocator final : public BlockAllocator {
public:
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

    bool makeResident(void* block, std::uint64_t bytes) override {
        if (bytes == 0 || bytes > SIZE_MAX) return true;
        // A large zero-filled block arrives as demand-zero pages. Locking a
        // range has the system bring all its pages in at once, an order of
        // magnitude faster than one fault per page; unlocking leaves them
        // resident. Whatever locking refuses is touched page by page, with
        // the zero each byte already holds.
        auto* start = static_cast<unsigned char*>(block);
        const SIZE_T locked = lockInPieces(start, static_cast<SIZE_T>(bytes));
        writeEveryPage(start + locked, bytes - locked, pageSize());
        return true;  // a committed page that cannot be brought in raises, it does not return
    }

    std::uint64_t commitLimit() override {
        MEMORYSTATUSEX status = {};
        status.dwLength = sizeof status;
        if (!GlobalMemoryStatusEx(&status)) return UINT64_MAX;
        return status.ullTotalPageFile;
    }

private:
    // Locks and unlocks the block in as few pieces as the system allows:
    // the whole block first, halving the piece each time a lock is refused,
    // since what a process may lock is bounded (by its working set's minimum
    // on Windows, by a per-process limit, 8 MiB by default, under Wine on
    // Linux) and each lock has a fixed cost. Returns how many bytes from the
    // start are now resident.
    static SIZE_T lockInPieces(unsigned char* start, SIZE_T bytes) {
        constexpr SIZE_T kSmallestPiece = SIZE_T{1} << 20;
        constexpr SIZE_T kSlack = SIZE_T{1} << 20;  // pages a piece straddles, and the lock's own
        HANDLE self = GetCurrentProcess();
        SIZE_T minimum = 0;
        SIZE_T maximum = 0;
        if (!GetProcessWorkingSetSize(self, &minimum, &maximum)) return 0;
        SIZE_T piece = bytes;
        SIZE_T roomFor = 0;  // the piece size the working set was last raised for
        SIZE_T done = 0;
        while (done < bytes) {
            const SIZE_T length = bytes - done < piece ? bytes - done : piece;
            if (length != roomFor && length <= SIZE_MAX - kSlack - (minimum > maximum ? minimum : maximum)) {
                SetProcessWorkingSetSize(self, minimum + length + kSlack, maximum + length + kSlack);
                roomFor = length;
            }
            if (VirtualLock(start + done, length)) {
                VirtualUnlock(start + done, length);
                done += length;
            } else if (piece > kSmallestPiece) {
                piece /= 2;
            } else {
                break;
            }
        }
        if (roomFor != 0) SetProcessWorkingSetSize(self, minimum, maximum);
        return done;
    }

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
