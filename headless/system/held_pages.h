// The pages seam for memory that is not anonymous (--kind file, --kind
// shmem): an allocator whose physical-mode blocks are pages of one file the
// run made, so the held memory grows and shrinks through the same
// HeldMemory and room-checked path as anonymous memory does.
//   Linux:   system/linux/held_pages.cpp, a file made with O_TMPFILE (file)
//            or a memfd (shmem), each block a shared mapping of its part.
//   Windows: system/windows/held_pages.cpp, a delete-on-close file (file)
//            or pagefile-backed sections (shmem), one per block.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "headless/cli/memory_kind.h"
#include "load/load_block.h"

class HeldPages : public BlockAllocator {
public:
    virtual HeldKind kind() const = 0;
    // The bytes of the held pages that are resident now, measured (never
    // what was asked for); nothing when this system cannot say.
    virtual std::optional<std::uint64_t> resident() = 0;
    // Where the pages live, for the log: "/var/tmp", "a memfd".
    virtual std::string where() const = 0;
    // Empty when `bytes` more can be taken from what backs the pages (the
    // file system's free space); otherwise why not.
    virtual std::string roomFor(std::uint64_t bytes) = 0;
    // Bytes written into a block after it was made resident (its chosen
    // content): page cache is flushed again, so that it stays clean cache
    // reclaim may take. False when that failed.
    virtual bool flush(void* block, std::uint64_t bytes) = 0;
    // Lazy blocks are never asked of this seam: --lazy goes with anon only.
    void* takeNormal(std::uint64_t) override { return nullptr; }
    void releaseNormal(void*) override {}
};

struct OpenedPages {
    std::unique_ptr<HeldPages> pages;  // null when refused
    std::string error;                 // why, for the user
    bool usage = false;                // refused for what the command line asked (exit 2), not the system (1)
};

// The pages for `request` (File or Shmem; Anon has none: the platform
// allocator gives it).
OpenedPages openHeldPages(const KindRequest& request);
