#include "info_boxes.h"

#include <windows.h>

#include "shell/app_state.h"
#include "shell/resource_ids.h"
#include "shell/text_buffers.h"

namespace {
void showInformation(int textId, int captionId) {
    MessageBoxA(shell.mainWindow, loadText(textId, textBuffer), loadText(captionId, captionBuffer),
                MB_ICONINFORMATION);
}
}  // namespace

void onHomepageBox() { showInformation(IDS_HOMEPAGE_TEXT, IDS_HOMEPAGE_CAPTION); }
void onAboutBox() { showInformation(IDS_ABOUT_TEXT, IDS_ABOUT_CAPTION); }
