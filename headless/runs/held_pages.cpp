#include "headless/runs/held_pages.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "headless/memory/room_checked_allocator.h"
#include "headless/record/mebibytes.h"
#include "headless/system/held_pages.h"

PageSettings pageSettingsOf(const Options& options) { return {options.lock, options.huge, options.content}; }

PagesAllocator::PagesAllocator(BlockAllocator& inner, PageSettings settings, Explain explain, HeldPages* kindPages)
    : inner_(inner),
      kindPages_(kindPages),
      settings_(settings),
      explain_(std::move(explain)),
      // Pages differ from run to run as well as from page to page.
      seed_(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())) {}

PagesAllocator::~PagesAllocator() {
    for (const auto& [block, mapping] : mappings_) unmapHuge(mapping);
}

void* PagesAllocator::mapped(std::uint64_t bytes) {
    std::string why;
    const HugeMapping mapping = mapHuge(bytes, settings_.huge == HugePages::Pool, why);
    if (!mapping.base) {
        explain_("huge-refused", "torvane-run: --huge: " + mebibytesText(bytes) + " in huge pages refused: " + why);
        return nullptr;
    }
    mappings_[mapping.base] = mapping;
    return mapping.base;
}

void PagesAllocator::unmapped(void* block) {
    const auto found = mappings_.find(block);
    if (found == mappings_.end()) return;
    unmapHuge(found->second);
    mappings_.erase(found);
}

void* PagesAllocator::takeNormal(std::uint64_t bytes) {
    return settings_.huge == HugePages::None ? inner_.takeNormal(bytes) : mapped(bytes);
}

void PagesAllocator::releaseNormal(void* block) {
    if (settings_.huge == HugePages::None) return inner_.releaseNormal(block);
    unmapped(block);
}

void* PagesAllocator::createHeap() {
    return settings_.huge == HugePages::None ? inner_.createHeap() : new (std::nothrow) OneBlockHeap;
}

void* PagesAllocator::takeFromHeap(void* heap, std::uint64_t bytes) {
    if (settings_.huge == HugePages::None) return inner_.takeFromHeap(heap, bytes);
    auto* one = static_cast<OneBlockHeap*>(heap);
    one->block = mapped(bytes);
    return one->block;
}

void PagesAllocator::destroyHeap(void* heap) {
    if (settings_.huge == HugePages::None) return inner_.destroyHeap(heap);
    auto* one = static_cast<OneBlockHeap*>(heap);
    unmapped(one->block);
    delete one;
}

bool PagesAllocator::makeResident(void* block, std::uint64_t bytes) {
    if (!inner_.makeResident(block, bytes)) return false;
    auto* start = static_cast<unsigned char*>(block);
    if (settings_.content.generated()) {
        writeContent(start, bytes, settings_.content, seed_);
        // Page cache written over after its flush would be dirty, not the
        // clean cache --kind file holds.
        if (kindPages_ && !kindPages_->flush(block, bytes)) return false;
    }
    if (!settings_.lock) return true;
    // Locked once resident and written: mlock would populate the pages
    // itself, but then the room's piece-by-piece check would not see them
    // come in.
    std::string why;
    if (lockPages(block, bytes, why)) return true;
    explain_("lock-failed", "torvane-run: --lock: " + mebibytesText(bytes) + " could not be locked (" + why +
                                "); the block is given back");
    return false;
}

std::optional<std::uint64_t> PagesAllocator::hugeBytes() const {
    std::vector<HugeMapping> mappings;
    for (const auto& [block, mapping] : mappings_) mappings.push_back(mapping);
    return hugeBytesIn(mappings);
}

std::uint64_t lockableBytes(const PageLockRoom& room) {
    if (!room.known) return 0;
    if (room.unlimited) return UINT64_MAX;
    return room.soft > room.locked ? room.soft - room.locked : 0;
}

PagesRefusal lockRefusal(const PageLockRoom& room, std::uint64_t bytes) {
    if (!room.known) return {"lock-refused", "--lock: what this process may lock cannot be read (" + room.error + ")"};
    if (bytes <= lockableBytes(room)) return {};
    const std::string hard = room.hard == UINT64_MAX ? std::string("unlimited") : mebibytesText(room.hard);
    std::string raise = room.hard > room.soft ? "raise the soft limit with ulimit -l (up to the hard limit, in KiB)"
                                              : "the hard limit must be raised first";
    return {"lock-refused",
            "--lock: " + mebibytesText(bytes) + " cannot be locked: " + mebibytesText(room.locked) +
                " is locked already and the soft RLIMIT_MEMLOCK is " + mebibytesText(room.soft) + " (hard " + hard +
                "); " + raise + ", LimitMEMLOCK= in a systemd unit, memlock in /etc/security/limits.conf, "
                "or run with the capability CAP_IPC_LOCK (a container's --cap-add=IPC_LOCK)"};
}

PagesRefusal poolRefusal(const HugePool& pool, std::uint64_t bytes) {
    if (!pool.known) return {"huge-refused", "--huge=hugetlb: " + pool.error};
    const std::uint64_t pages = pool.pageBytes ? (bytes + pool.pageBytes - 1) / pool.pageBytes : 0;
    const std::uint64_t groupPages = pool.groupRoom && pool.pageBytes ? *pool.groupRoom / pool.pageBytes : UINT64_MAX;
    if (groupPages < std::max<std::uint64_t>(pages, 1) && groupPages < pool.freePages) {
        return {"huge-refused", "--huge=hugetlb: " + mebibytesText(bytes) + " does not fit what the hugetlb cgroup " +
                                    pool.groupFolder + " allows: " + std::to_string(groupPages) + " more pages of " +
                                    mebibytesText(pool.pageBytes) +
                                    " (its limit less its usage); past it a page faults with SIGBUS"};
    }
    if (bytes > 0 && pages <= pool.freePages) return {};
    if (bytes == 0 && pool.freePages > 0) return {};
    return {"huge-refused", "--huge=hugetlb: " + mebibytesText(bytes) + " does not fit the hugetlb pool: " +
                                std::to_string(pool.freePages) + " of its " + std::to_string(pool.totalPages) +
                                " pages of " + mebibytesText(pool.pageBytes) +
                                " are free (HugePages_Free); an administrator grows it with sysctl vm.nr_hugepages, "
                                "or --huge alone asks for transparent huge pages"};
}

PagesRefusal pagesRefusal(const Options& options, std::uint64_t bytes) {
    if (options.huge == HugePages::Transparent) {
        if (const std::string why = transparentHugeRefusal(); !why.empty()) return {"huge-refused", "--huge: " + why};
    }
    if (options.huge == HugePages::Pool) {
        if (PagesRefusal refused = poolRefusal(readHugePool(), bytes); refused.code) return refused;
    }
    if (options.lock) {
        const PageLockRoom room = readPageLockRoom();
        // A level kept needs to be able to lock something at all.
        if (PagesRefusal refused = lockRefusal(room, bytes ? bytes : 4096); refused.code) return refused;
    }
    return {};
}

MemoryRoom hugePoolRoom() {
    const HugePool pool = readHugePool();
    MemoryRoom room;
    room.known = pool.known;
    room.error = pool.error;
    // In the terms fitsRoom reads: what fits is 512/513 of the room past the
    // margin, so the pool's free bytes are given with both added back.
    // The hugetlb cgroup's room, where one limits the run, bounds it too.
    std::uint64_t free = pool.freePages * pool.pageBytes;
    if (pool.groupRoom && pool.pageBytes) free = std::min(free, *pool.groupRoom / pool.pageBytes * pool.pageBytes);
    room.available = free + free / 512 + kRoomMargin;
    room.total = pool.totalPages * pool.pageBytes;
    return room;
}
