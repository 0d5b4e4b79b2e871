// The load engine's process-wide records, shared by the panel's commands, the
// access load and the script runner on the program's one thread.
#pragma once
#include "access_load.h"
#include "load_block.h"

// Owned by the load engine; changed only through allocateBlock/releaseBlock.
extern LoadBlock loadBlock;
// Owned by the access load (toggle, one-shot button and timer).
extern AccessLoad accessLoad;
// The platform's allocators behind the seam.
BlockAllocator& platformAllocator();
