#include "headless/runs/held_kind.h"

#include <algorithm>

#include "headless/record/mebibytes.h"
#include "headless/record/run_texts.h"
#include "headless/system/held_pages.h"

namespace {
HeldKind kind = HeldKind::Anon;
HeldPages* pages = nullptr;

std::string kindSaid() { return runSaid(kind == HeldKind::File ? IDS_RUN_KIND_FILE : IDS_RUN_KIND_SHMEM); }
}  // namespace

void useHeldKind(HeldKind newKind, HeldPages* newPages) {
    kind = newKind;
    pages = newPages;
}

HeldKind heldKindInUse() { return kind; }
HeldPages* heldPagesInUse() { return pages; }

std::optional<std::uint64_t> kindResidentNow() { return pages ? pages->resident() : std::nullopt; }

MemoryRoom roomLessOwnCache(MemoryRoom room) {
    if (!room.known || kind != HeldKind::File || !pages) return room;
    const std::uint64_t own = pages->resident().value_or(0);
    // Where a group sets the room, only its reclaimable part held our cache.
    const std::uint64_t counted = room.reclaimable == UINT64_MAX ? own : std::min(own, room.reclaimable);
    room.available -= std::min(counted, room.available);
    return room;
}

std::string kindTakingText(bool keeping) {
    if (!pages) return {};
    return runSaid(keeping ? IDS_RUN_KIND_HOLDING : IDS_RUN_KIND_AS, {kindSaid(), pages->where()});
}

std::string kindResidentText() {
    if (!pages) return {};
    const std::optional<std::uint64_t> resident = pages->resident();
    if (!resident) return runSaid(IDS_RUN_KIND_UNMEASURED, {kindSaid()});
    return runSaid(IDS_RUN_KIND_RESIDENT, {mebibytesText(*resident), kindSaid()});
}

std::string kindRoomFault(std::uint64_t bytes) { return pages ? pages->roomFor(bytes) : std::string(); }
