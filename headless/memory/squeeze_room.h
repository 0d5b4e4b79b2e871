// The room --pressure may squeeze into: the honest room counts only the
// inactive page cache (what the kernel gives back before it refuses a
// charge), but holding a stall level means pressing on the active cache
// too, and the stall target bounds how far. So here all of a group's file
// cache counts: the active part is added to the room, at the level whose
// limit sets it (v1 total_active_file, v2 active_file). Where the host sets
// the room, MemAvailable already counts the cache. The run holds only
// anonymous memory, so none of the cache is its own.
#pragma once
#include <string>

#include "headless/memory/room_rules.h"

// `room` with the active cache of `statText` (the limiting level's
// memory.stat) added, up to the limit; unchanged where the host sets it or
// the figure is missing.
MemoryRoom squeezedRoom(MemoryRoom room, const std::string& statText);
