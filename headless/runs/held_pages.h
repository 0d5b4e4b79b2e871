// The held pages as --lock, --huge and --content ask for them: one allocator
// between the hold's chunks and the platform's, so that every mode that
// holds memory through HeldMemory gets them alike, and the checks made
// before anything is taken.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "headless/cli/options.h"
#include "headless/memory/page_content.h"
#include "headless/memory/room_rules.h"
#include "headless/system/huge_pages.h"
#include "headless/system/page_lock.h"
#include "load/load_block.h"

class HeldPages;

struct PageSettings {
    bool lock = false;
    HugePages huge = HugePages::None;
    PageContent content;
};
PageSettings pageSettingsOf(const Options& options);

// The blocks of `inner`, or huge-page mappings of the seam's, made resident
// by `inner`, then given their content, then locked. A block that cannot be
// locked is refused, with why said through `explain`.
class PagesAllocator final : public BlockAllocator {
public:
    using Explain = std::function<void(const char* code, const std::string& text)>;
    // `kindPages`: the --kind file or shmem pages `inner` is, when it is.
    PagesAllocator(BlockAllocator& inner, PageSettings settings, Explain explain, HeldPages* kindPages = nullptr);
    ~PagesAllocator() override;

    void* takeNormal(std::uint64_t bytes) override;
    void releaseNormal(void* block) override;
    void* createHeap() override;
    void* takeFromHeap(void* heap, std::uint64_t bytes) override;
    void destroyHeap(void* heap) override;
    bool makeResident(void* block, std::uint64_t bytes) override;
    std::uint64_t commitLimit() override { return inner_.commitLimit(); }

    // What the system holds of the huge-page blocks in huge pages now.
    std::optional<std::uint64_t> hugeBytes() const;

private:
    struct OneBlockHeap {
        void* block = nullptr;
    };
    void* mapped(std::uint64_t bytes);
    void unmapped(void* block);

    BlockAllocator& inner_;
    HeldPages* kindPages_;
    PageSettings settings_;
    Explain explain_;
    std::uint64_t seed_;
    std::map<void*, HugeMapping> mappings_;
};

struct PagesRefusal {
    const char* code = nullptr;  // null: nothing refused
    std::string why;
};

// Whether `bytes` more may be locked: anything with CAP_IPC_LOCK, otherwise
// what is locked already plus `bytes` within the soft limit.
PagesRefusal lockRefusal(const PageLockRoom& room, std::uint64_t bytes);
// The most that may still be locked (UINT64_MAX: no limit).
std::uint64_t lockableBytes(const PageLockRoom& room);
// Whether `bytes` fits the hugetlb pool's free pages.
PagesRefusal poolRefusal(const HugePool& pool, std::uint64_t bytes);

// Every check of the held pages for a hold of `bytes`, made before anything
// is taken (a level kept checks with 0: what can be had at all).
PagesRefusal pagesRefusal(const Options& options, std::uint64_t bytes);

// The room a hold from the hugetlb pool is checked against, in the memory
// room's terms: the pool's free pages, which are not charged to any memory
// group and which the memory room does not count.
MemoryRoom hugePoolRoom();
