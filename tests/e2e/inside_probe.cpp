// The probe DLL: the harness hooks torvane.exe's thread with these two
// procedures, which loads this DLL into the product. It only reads and
// records; it never changes a message.
#include "inside_probe.h"

#include <cstring>

namespace {

ProbeShared* shared() {
    static ProbeShared* view = nullptr;
    static bool opened = false;
    if (!opened) {
        opened = true;
        char name[80];
        const DWORD length = GetEnvironmentVariableA(kProbeEnvironment, name, sizeof name);
        HANDLE map = (length > 0 && length < sizeof name) ? OpenFileMappingA(FILE_MAP_WRITE, FALSE, name) : nullptr;
        if (map) view = static_cast<ProbeShared*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, sizeof(ProbeShared)));
    }
    return view;
}

void copyText(char* to, size_t size, const char* from) {
    std::strncpy(to, from, size - 1);
    to[size - 1] = '\0';
}

UINT64 handleValue(HICON icon) { return reinterpret_cast<UINT_PTR>(icon); }

void answer(ProbeShared& out, HWND mainWindow) {
    out.codePage = GetACP();
    out.uiLanguage = GetUserDefaultUILanguage();
    out.iconInformation = handleValue(LoadIconA(nullptr, IDI_INFORMATION));
    out.iconWarning = handleValue(LoadIconA(nullptr, IDI_WARNING));
    out.iconError = handleValue(LoadIconA(nullptr, IDI_ERROR));
    out.iconQuestion = handleValue(LoadIconA(nullptr, IDI_QUESTION));
    out.popupCount = 0;
    out.itemCount = 0;
    HMENU bar = mainWindow ? GetMenu(mainWindow) : nullptr;
    for (int p = 0; bar && p < GetMenuItemCount(bar) && p < 4; ++p) {
        out.popupText[p][0] = '\0';
        GetMenuStringA(bar, p, out.popupText[p], sizeof out.popupText[p], MF_BYPOSITION);
        out.popupCount = p + 1;
        HMENU popup = GetSubMenu(bar, p);
        for (int i = 0; popup && i < GetMenuItemCount(popup) && out.itemCount < 16; ++i) {
            ProbeMenuItem& item = out.items[out.itemCount++];
            item.popup = p;
            item.id = GetMenuItemID(popup, i);
            item.state = GetMenuState(popup, i, MF_BYPOSITION);
            item.text[0] = '\0';
            GetMenuStringA(popup, i, item.text, sizeof item.text, MF_BYPOSITION);
        }
    }
    InterlockedIncrement(&out.answers);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK probeRetrievedMessage(int code, WPARAM removal, LPARAM lParam) {
    static const UINT query = RegisterWindowMessageA(kProbeQueryMessage);
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && message->message == query) {
        if (ProbeShared* out = shared()) answer(*out, reinterpret_cast<HWND>(message->wParam));
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK probeSentMessage(int code, WPARAM wParam, LPARAM lParam) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == WM_SETTEXT && sent->lParam != 0 &&
        (GetWindowLongA(sent->hwnd, GWL_STYLE) & WS_CHILD)) {
        if (ProbeShared* out = shared()) {
            ProbeTextEvent& event = out->texts[out->textEvents % kProbeTextRing];
            event.window = sent->hwnd;
            copyText(event.text, sizeof event.text, reinterpret_cast<const char*>(sent->lParam));
            InterlockedIncrement(&out->textEvents);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
