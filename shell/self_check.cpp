#include "self_check.h"

#include <windows.h>
#include <imagehlp.h>

#include "resource_ids.h"
#include "text_buffers.h"

SelfCheck runSelfCheck() {
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return SelfCheck::Unreadable;
    DWORD stamped = 0;
    DWORD computed = 0;
    if (MapFileAndCheckSumA(path, &stamped, &computed) != CHECKSUM_SUCCESS) return SelfCheck::Unreadable;
    // A zero stamp means the build step that sets it never ran: not our exe.
    return (stamped != 0 && stamped == computed) ? SelfCheck::Passed : SelfCheck::Damaged;
}

void reportSelfCheckFailure(SelfCheck result) {
    loadText(result == SelfCheck::Unreadable ? IDS_SELFCHECK_UNREADABLE : IDS_SELFCHECK_DAMAGED, textBuffer);
    loadText(IDS_SELFCHECK_CAPTION, captionBuffer);
    MessageBoxA(nullptr, textBuffer, captionBuffer, MB_OK | MB_ICONERROR);
}
