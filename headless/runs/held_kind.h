// The kind of memory this run's hold takes (--kind), set once before the
// run: the pages its blocks come from, and what the log says of them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "headless/cli/memory_kind.h"
#include "headless/memory/room_rules.h"

class HeldPages;

// `pages` null for anon, whose blocks come from the platform allocator.
void useHeldKind(HeldKind kind, HeldPages* pages);
HeldKind heldKindInUse();
HeldPages* heldPagesInUse();

// The resident bytes of the kind's own pages, measured; nothing for anon
// (the resident figure already is its) or where it is not measurable.
std::optional<std::uint64_t> kindResidentNow();

// The room a hold steers by. For --kind file the run's own cache is left
// out of it: the room counts clean cache as reclaimable, and counting the
// cache this run makes would let --keep-available take without end, each
// take showing as room again.
MemoryRoom roomLessOwnCache(MemoryRoom room);

// What the start line adds: " as page cache in /var/tmp" (--keep-available:
// ", holding page cache in /var/tmp"); empty for anon.
std::string kindTakingText(bool keeping = false);
// What the reached line adds: "; 512 MiB of it resident as page cache".
std::string kindResidentText();
// Why the kind's own backing cannot take `bytes` more (the disk's free
// space for file); empty when it can or for anon.
std::string kindRoomFault(std::uint64_t bytes);
