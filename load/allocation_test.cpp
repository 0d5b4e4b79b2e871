#include "allocation_test.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstdio>

#include "load_state.h"
#include "panel/control_groups.h"
#include "panel/panel_state.h"
#include "shell/app_state.h"
#include "shell/resource_ids.h"
#include "shell/text_buffers.h"

namespace {

bool userAgrees() {
    loadText(IDS_TEST_WARNING, textBuffer);
    loadText(IDS_WARNING, captionBuffer);
    return MessageBoxA(shell.mainWindow, textBuffer, captionBuffer, MB_ICONWARNING | MB_YESNO) == IDYES;
}

// Counts up 1 MB at a time until a step fails. Each step takes and at once
// releases its block without writing its pages: the answer does not depend
// on them, and writing them would make the test's cost grow with the square
// of the limit. The limit check of allocateBlock makes the loop end even
// where the platform never refuses a commit.
void stepUntilRefused() {
    // The 1 ms pause must be about 1 ms, not the default timer tick.
    timeBeginPeriod(1);
    heldFlag = 1;
    while (heldFlag == 1 && targetMegabytes < INT_MAX) {
        ++targetMegabytes;
        showTarget();
        showStatus(IDS_TEST_ALLOCATING);
        if (allocateBlock(loadBlock, platformAllocator(), physicalMode, megabytesToBytes(targetMegabytes),
                          PageTouch::Leave) != 0) {
            showStatus(IDS_TEST_FAILED);
            heldFlag = 0;
            break;
        }
        showStatus(IDS_TEST_ALLOCATED);
        heldFlag = 1;
        showActual(targetMegabytes);
        showStatus(IDS_TEST_FREEING);
        releaseBlock(loadBlock, platformAllocator(), physicalMode);
        Sleep(1);
    }
    heldFlag = 0;
    timeEndPeriod(1);
}

void showResult() {
    char format[kTextBufferSize];
    loadText(IDS_TEST_RESULT, format);
    std::snprintf(numberBuffer, kTextBufferSize, format, targetMegabytes - 1);
    loadText(IDS_TEST_RESULT_CAPTION, captionBuffer);
    MessageBoxA(shell.mainWindow, numberBuffer, captionBuffer, MB_ICONINFORMATION);
}

}  // namespace

void onAllocationTest() {
    if (!userAgrees()) return;
    lockPanel(true);
    targetMegabytes = 0;
    stepUntilRefused();
    showStatus(IDS_TEST_COMPLETE);
    showResult();
    targetMegabytes = 0;
    showActual(0);
    showTarget();
    setSizeControls(true, false);
    EnableWindow(panel.quit, TRUE);
    unlockTools();
}
