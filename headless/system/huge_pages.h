// The seam for --huge: whether huge pages can be asked for, the hugetlb
// pool, blocks mapped in huge pages, and how much of them the system really
// holds in huge pages.
//   Linux:   system/linux/huge_pages.cpp: transparent huge pages (an aligned
//            mapping advised MADV_HUGEPAGE) or MAP_HUGETLB from the pool;
//            measured in /proc/self/smaps.
//   Windows: system/windows/huge_pages.cpp: large pages (MEM_LARGE_PAGES),
//            which need the lock-memory privilege; there is no pool.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Empty when huge pages can be asked for (transparent ones on Linux, large
// pages on Windows); otherwise why not and what would change it.
std::string transparentHugeRefusal();

struct HugePool {
    bool known = false;
    std::string error;           // why there is no pool to read
    std::uint64_t pageBytes = 0;  // Hugepagesize
    std::uint64_t freePages = 0;  // HugePages_Free
    std::uint64_t totalPages = 0; // HugePages_Total
    // What the run's hugetlb cgroup still allows, in bytes; none where no
    // group limits it (and on Windows).
    std::optional<std::uint64_t> groupRoom;
    std::string groupFolder;      // the group level that sets it
};
HugePool readHugePool();

struct HugeMapping {
    void* base = nullptr;
    std::size_t length = 0;
};

// A block of at least `bytes` (at least one page): transparent huge pages or,
// `fromPool`, pages of the hugetlb pool. A null base on failure, with why.
HugeMapping mapHuge(std::uint64_t bytes, bool fromPool, std::string& why);
void unmapHuge(const HugeMapping& mapping);

// How many bytes of `mappings` the system holds in huge pages now; nothing
// when that cannot be read.
std::optional<std::uint64_t> hugeBytesIn(const std::vector<HugeMapping>& mappings);
