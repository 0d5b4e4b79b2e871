// The allocator seam (load/load_block.h's BlockAllocator) as torvane-run
// fills it: the blocks of a script and of a hold come from here.
//   Linux:   system/linux/block_allocator.cpp, one anonymous mapping per block.
//   Windows: the window's own, load/win_allocator.cpp (malloc, and a private
//            heap per block in physical mode), so both programs take alike.
#pragma once
#include "load/load_block.h"

// The same declaration the window's load engine makes for itself.
BlockAllocator& platformAllocator();
