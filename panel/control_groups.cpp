#include "control_groups.h"

#include <windows.h>

#include <initializer_list>

#include "panel_state.h"
#include "shell/app_state.h"
#include "shell/resource_ids.h"
#include "shell/text_buffers.h"

namespace {

void enableMenuItem(UINT command, bool enabled) {
    EnableMenuItem(GetMenu(shell.mainWindow), command, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void setTools(bool enabled) {
    EnableWindow(panel.allocTest, enabled);
    EnableWindow(panel.script, enabled);
}

}  // namespace

void setSizeControls(bool enabled, bool freeEnabled) {
    for (HWND control : {panel.execute, panel.plus1, panel.minus1, panel.reset, panel.plus4, panel.plus8,
                         panel.plus16, panel.plus32, panel.plus64, panel.plus128}) {
        EnableWindow(control, enabled);
    }
    EnableWindow(panel.freeMemory, freeEnabled);
}

void lockPanel(bool toolsEnabled) {
    setSizeControls(false, false);
    EnableWindow(panel.quit, FALSE);
    setTools(toolsEnabled);
    enableMenuItem(IDM_ALLOCTEST, false);
    enableMenuItem(IDM_SCRIPT, false);
}

void unlockTools() {
    setTools(true);
    enableMenuItem(IDM_ALLOCTEST, true);
    enableMenuItem(IDM_SCRIPT, true);
}

void lockTools() {
    setTools(false);
    enableMenuItem(IDM_ALLOCTEST, false);
    enableMenuItem(IDM_SCRIPT, false);
}

void enableQuit(bool enabled) {
    EnableWindow(panel.quit, enabled);
    enableMenuItem(IDM_QUIT, enabled);
}

void showStatus(int id) {
    SetWindowTextA(panel.statusLine, loadText(id, textBuffer));
}

void showTarget() {
    SetWindowTextA(panel.targetDisplay, formatMegabytes(targetMegabytes));
}

void showActual(int megabytes) {
    SetWindowTextA(panel.actualDisplay, formatMegabytes(megabytes));
}
