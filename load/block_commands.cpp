#include "block_commands.h"

#include "load_state.h"
#include "panel/control_groups.h"
#include "panel/panel_state.h"
#include "shell/app_state.h"
#include "shell/resource_ids.h"

int heldFlag = 0;

void onExecute() {
    setSizeControls(false, true);
    lockTools();
    showStatus(IDS_ALLOCATING);
    if (allocateBlock(loadBlock, platformAllocator(), physicalMode, megabytesToBytes(targetMegabytes),
                      PageTouch::WriteAll) != 0) {
        showStatus(IDS_ALLOC_FAILED);
        setSizeControls(true, false);
        unlockTools();
        return;
    }
    showActual(targetMegabytes);
    heldFlag = 1;
    showStatus(IDS_ALLOC_SUCCESS);
}

void onFreeMemory() {
    showStatus(IDS_FREEING);
    releaseBlock(loadBlock, platformAllocator(), physicalMode);
    setSizeControls(true, false);
    unlockTools();
    heldFlag = 0;
    showActual(0);
    showStatus(IDS_FREE_COMPLETED);
}

void releaseHeldBlock() {
    if (heldFlag != 1) return;
    releaseBlock(loadBlock, platformAllocator(), physicalMode);
    heldFlag = 0;
}
