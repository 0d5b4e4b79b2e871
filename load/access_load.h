// The access load: rewriting the held block with a cycling byte value.
#pragma once
#include <cstdint>
#include <functional>

#include "load_block.h"

// Owned by the access load; the panel's toggle and the timer change it.
struct AccessLoad {
    int accessLoadOn = 0;  // 1 while timer 19 runs
    int fillByte = 1;      // next value written, 1..64; never reset
};

// The value for the next pass; fillByte moves on (64 wraps to 1).
unsigned char takeFillByte(AccessLoad& access);

// Both callers test this before a pass; when it fails nothing advances.
bool accessLoadGuard(const LoadBlock& load);

// One pass over the whole block from `start`: every byte written exactly once
// with fillByte, then fillByte moves on (64 wraps to 1). Returns 0.
int accessLoadPass(LoadBlock& load, AccessLoad& access, unsigned char* start);

// The guard and, when it holds, a pass over the described block. Returns
// whether a pass ran.
bool accessLoadIfHeld(LoadBlock& load, AccessLoad& access);

// The same with `fill` writing the block in place of fillBlock (torvane-run's
// --workers splits the pass across threads); the guard, busy flag and cycle
// are the window's.
using BlockFill = std::function<void(unsigned char* start, std::uint64_t bytes, unsigned char value)>;
bool accessLoadIfHeld(LoadBlock& load, AccessLoad& access, const BlockFill& fill);

// Writes `value` over `bytes` bytes so that no optimiser may drop the stores,
// the way this processor's size class for `bytes` takes (block_store.h).
void fillBlock(unsigned char* start, std::uint64_t bytes, unsigned char value);
