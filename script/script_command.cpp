#include "script_command.h"

#include "panel/control_groups.h"
#include "panel/panel_state.h"
#include "shell/app_state.h"
#include "shell/resource_ids.h"
#include "shell/text_buffers.h"

void onScriptExec() {
    lockPanel(false);
    enableQuit(false);
    SetWindowTextA(panel.statusLabel, loadText(IDS_SCRIPT_RUNNING, textBuffer));
    ScriptRunner(shell.mainWindow, panel.statusLine);
    SetWindowTextA(panel.statusLabel, loadText(IDS_STATUS_LABEL_AFTER, textBuffer));
    // Free Memory stays off: a block a script leaves is not the panel's.
    setSizeControls(true, false);
    enableQuit(true);
    unlockTools();
}
