// The panel's commands on the held block: Execute and Free Memory, and the
// release on the way out.
#pragma once

void onExecute();
void onFreeMemory();
// Releases the block only when the panel holds it (heldFlag).
void releaseHeldBlock();
