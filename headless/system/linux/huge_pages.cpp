// Linux's side of the huge-page seam.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "headless/memory/proc_fields.h"
#include "headless/memory/room_rules.h"
#include "headless/memory/smaps_figures.h"
#include "headless/system/huge_pages.h"
#include "headless/system/linux/whole_file.h"

namespace {
constexpr char kThpEnabled[] = "/sys/kernel/mm/transparent_hugepage/enabled";

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t roundedUp(std::uint64_t bytes, std::size_t unit) {
    const std::size_t rounded = (static_cast<std::size_t>(bytes) + unit - 1) / unit * unit;
    return rounded ? rounded : unit;
}

// The size of a transparent huge page: the PMD size the kernel says, 2 MiB
// where it says none (x86-64's).
std::size_t transparentPageSize() {
    const std::string text = readProcFile("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
    const unsigned long long size = std::strtoull(text.c_str(), nullptr, 10);
    return size >= pageSize() ? static_cast<std::size_t>(size) : std::size_t{2} << 20;
}
}  // namespace

std::string transparentHugeRefusal() {
    const std::string enabled = readProcFile(kThpEnabled);
    if (enabled.empty()) {
        return std::string("this kernel has no transparent huge pages (") + kThpEnabled +
               " cannot be read); --huge=hugetlb takes pages from the hugetlb pool instead";
    }
    if (enabled.find("[never]") != std::string::npos) {
        return std::string("transparent huge pages are off on this machine (") + kThpEnabled +
               " is [never]); an administrator can turn them on with: echo madvise > " + kThpEnabled;
    }
    return {};
}

HugePool readHugePool() {
    HugePool pool;
    const std::string meminfo = readProcFile("/proc/meminfo");
    const auto size = procField(meminfo, "Hugepagesize");
    if (!size || *size == 0) {
        pool.error = "this kernel has no hugetlb pages (no Hugepagesize in /proc/meminfo)";
        return pool;
    }
    pool.known = true;
    pool.pageBytes = *size;
    pool.freePages = procField(meminfo, "HugePages_Free").value_or(0);
    pool.totalPages = procField(meminfo, "HugePages_Total").value_or(0);
    SystemFiles files;
    const HugetlbGroupRoom group = linuxHugetlbGroupRoom(files, pool.pageBytes);
    if (!group.known) {
        // Unread, the group could fault a page past its limit with SIGBUS.
        pool.known = false;
        pool.error = "the hugetlb cgroup's limit cannot be read (" + group.error + ")";
        return pool;
    }
    pool.groupRoom = group.room;
    pool.groupFolder = group.folder;
    return pool;
}

HugeMapping mapHuge(std::uint64_t bytes, bool fromPool, std::string& why) {
    HugeMapping mapping;
    if (bytes > SIZE_MAX / 2) {
        why = "the block is larger than the address space";
        return mapping;
    }
    if (fromPool) {
        // The pool's pages are reserved here, at the mapping, so a pool that
        // cannot hold the block refuses now rather than at first touch.
        const HugePool pool = readHugePool();
        const std::size_t length = roundedUp(bytes, pool.known ? pool.pageBytes : (std::size_t{2} << 20));
        void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
        if (base == MAP_FAILED) {
            why = std::string("mmap(MAP_HUGETLB): ") + std::strerror(errno);
            return mapping;
        }
        madvise(base, length, MADV_DONTFORK);  // as every held block: see block_allocator.cpp
        return HugeMapping{base, length};
    }
    // A transparent huge page needs an aligned huge-page-sized range: map a
    // huge page more than needed and give back the unaligned ends.
    const std::size_t huge = transparentPageSize();
    const std::size_t length = roundedUp(bytes, pageSize());
    const std::size_t span = length + huge;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        why = std::string("mmap: ") + std::strerror(errno);
        return mapping;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + huge - 1) / huge * huge;
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t end = aligned + length;
    if (start + span > end) munmap(reinterpret_cast<void*>(end), start + span - end);
    void* base = reinterpret_cast<void*>(aligned);
    if (madvise(base, length, MADV_HUGEPAGE) != 0) {
        why = std::string("madvise(MADV_HUGEPAGE): ") + std::strerror(errno);
        munmap(base, length);
        return mapping;
    }
    madvise(base, length, MADV_DONTFORK);
    return HugeMapping{base, length};
}

void unmapHuge(const HugeMapping& mapping) {
    if (mapping.base) munmap(mapping.base, mapping.length);
}

std::optional<std::uint64_t> hugeBytesIn(const std::vector<HugeMapping>& mappings) {
    if (mappings.empty()) return 0;
    const std::string smaps = readProcFile("/proc/self/smaps");
    if (smaps.empty()) return std::nullopt;
    std::vector<AddressRange> ranges;
    for (const HugeMapping& m : mappings) {
        const auto start = reinterpret_cast<std::uintptr_t>(m.base);
        ranges.push_back({start, start + m.length});
    }
    return hugeBytesInSmaps(smaps, ranges);
}
