#include "access_load_commands.h"

#include <windows.h>

#include "load_state.h"
#include "panel/panel_state.h"
#include "shell/app_state.h"
#include "shell/resource_ids.h"
#include "shell/text_buffers.h"

namespace {
constexpr UINT kPeriodMilliseconds = 50;
}

void onAccessLoadToggle() {
    if (accessLoad.accessLoadOn) {
        EnableWindow(panel.accessOnce, TRUE);
        accessLoad.accessLoadOn = 0;
        SetWindowTextA(panel.accessToggle, loadText(IDS_ACCESS_LOAD_OFF, textBuffer));
        KillTimer(shell.mainWindow, IDT_ACCESS_LOAD);
    } else {
        EnableWindow(panel.accessOnce, FALSE);
        accessLoad.accessLoadOn = 1;
        SetWindowTextA(panel.accessToggle, loadText(IDS_ACCESS_LOAD_ON, textBuffer));
        SetTimer(shell.mainWindow, IDT_ACCESS_LOAD, kPeriodMilliseconds, nullptr);
    }
}

void onGenerateAccessLoad() {
    EnableWindow(panel.accessToggle, FALSE);
    accessLoadIfHeld(loadBlock, accessLoad);
    EnableWindow(panel.accessToggle, TRUE);
}

void onAccessLoadTick() { accessLoadIfHeld(loadBlock, accessLoad); }
