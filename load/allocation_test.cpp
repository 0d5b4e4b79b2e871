#include "allocation_test.h"

#include <windows.h>

#include <cstdio>

#include "allocation_steps.h"
#include "load_state.h"
#include "panel/control_groups.h"
#include "panel/panel_state.h"
#include "shell/app_state.h"
#include "shell/resource_ids.h"
#include "shell/system_library.h"
#include "shell/text_buffers.h"

namespace {

bool userAgrees() {
    loadText(IDS_TEST_WARNING, textBuffer);
    loadText(IDS_WARNING, captionBuffer);
    return MessageBoxA(shell.mainWindow, textBuffer, captionBuffer, MB_ICONWARNING | MB_YESNO) == IDYES;
}

// The panel's view of the steps: the target display counts up, the status
// line names each block operation, and the actual display shows the last size
// granted.
class PanelStepView final : public AllocationStepView {
public:
    void stepStarting(int) override {
        showTarget();
        showStatus(IDS_TEST_ALLOCATING);
    }
    void stepRefused() override { showStatus(IDS_TEST_FAILED); }
    void stepGranted(int megabytes) override {
        showStatus(IDS_TEST_ALLOCATED);
        showActual(megabytes);
    }
    void stepReleasing() override { showStatus(IDS_TEST_FREEING); }
    void pause() override { Sleep(1); }
};

// The timer's resolution calls, from winmm loaded when a test first runs:
// linked at start, loading it cost 7.3 to 8.7 ms of every start under Wine
// (LoadLibrary timed in a minimal program, three runs), a third of what the
// window's start took beyond a minimal window's. Without them the test
// still runs, its pauses at the default tick.
struct TimerPeriod {
    UINT(WINAPI* begin)(UINT) = nullptr;
    UINT(WINAPI* end)(UINT) = nullptr;
};

const TimerPeriod& timerPeriod() {
    static const TimerPeriod period{systemProcedure<decltype(TimerPeriod::begin)>("winmm.dll", "timeBeginPeriod"),
                                    systemProcedure<decltype(TimerPeriod::end)>("winmm.dll", "timeEndPeriod")};
    return period;
}

void runSteps() {
    // The 1 ms pause must be about 1 ms, not the default timer tick.
    const TimerPeriod& period = timerPeriod();
    const bool finer = period.begin && period.end;
    if (finer) period.begin(1);
    PanelStepView view;
    stepUntilRefused(loadBlock, platformAllocator(), physicalMode, targetMegabytes, heldFlag, view);
    if (finer) period.end(1);
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
    runSteps();
    showStatus(IDS_TEST_COMPLETE);
    showResult();
    targetMegabytes = 0;
    showActual(0);
    showTarget();
    setSizeControls(true, false);
    EnableWindow(panel.quit, TRUE);
    unlockTools();
}
