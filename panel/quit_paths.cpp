#include "quit_paths.h"

#include <windows.h>

#include "load/block_commands.h"

namespace {
// The text buffers are static arrays, so unlike heap buffers there is nothing
// to free on the way out, and nothing a later message could touch after.
void releaseAndQuit() {
    releaseHeldBlock();
    PostQuitMessage(0);
}
}  // namespace

void onQuitButton() { releaseAndQuit(); }
void onMenuQuit() { releaseAndQuit(); }
void onDestroy() { releaseAndQuit(); }
