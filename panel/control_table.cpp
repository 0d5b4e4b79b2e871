#include "control_table.h"

#include "panel_state.h"
#include "shell/resource_ids.h"
#include "shell/text_buffers.h"

PanelControls panel;

namespace {

struct ControlSpec {
    int id;                 // 0: a label without identifier
    const char* className;
    int captionId;          // string-table caption, or 0
    const char* fixedCaption;
    int x, y, width, height;
    DWORD extraStyle;
    HWND PanelControls::*slot;
};

constexpr ControlSpec kControls[] = {
    {IDC_PLUS_1MB, "button", 0, "+1MB", 10, 80, 100, 30, 0, &PanelControls::plus1},
    {IDC_MINUS_1MB, "button", 0, "-1MB", 110, 80, 100, 30, 0, &PanelControls::minus1},
    {IDC_EXECUTE, "button", IDS_EXECUTE, nullptr, 10, 10, 200, 30, 0, &PanelControls::execute},
    {IDC_RESET, "button", IDS_RESET, nullptr, 10, 40, 200, 30, 0, &PanelControls::reset},
    {IDC_PLUS_4MB, "button", 0, "4MB", 10, 110, 100, 30, 0, &PanelControls::plus4},
    {IDC_PLUS_8MB, "button", 0, "8MB", 110, 110, 100, 30, 0, &PanelControls::plus8},
    {IDC_PLUS_16MB, "button", 0, "16MB", 10, 140, 100, 30, 0, &PanelControls::plus16},
    {IDC_PLUS_32MB, "button", 0, "32MB", 110, 140, 100, 30, 0, &PanelControls::plus32},
    {IDC_PLUS_64MB, "button", 0, "64MB", 10, 170, 100, 30, 0, &PanelControls::plus64},
    {IDC_PLUS_128MB, "button", 0, "128MB", 110, 170, 100, 30, 0, &PanelControls::plus128},
    {IDC_FREE_MEMORY, "button", IDS_FREE_MEMORY, nullptr, 10, 210, 200, 60, WS_DISABLED, &PanelControls::freeMemory},
    {IDC_QUIT, "button", IDS_QUIT, nullptr, 220, 210, 200, 60, 0, &PanelControls::quit},
    {IDC_TARGET, "static", 0, "", 10, 300, 100, 30, 0, &PanelControls::targetDisplay},
    {IDC_ACTUAL, "static", 0, "", 110, 300, 100, 30, 0, &PanelControls::actualDisplay},
    {0, "static", IDS_SETTING, nullptr, 10, 280, 100, 20, 0, &PanelControls::settingLabel},
    {0, "static", IDS_ACTUAL, nullptr, 110, 280, 100, 20, 0, &PanelControls::actualLabel},
    {0, "static", IDS_STATUS_LABEL, nullptr, 220, 280, 200, 30, 0, &PanelControls::statusLabel},
    {0, "static", 0, "", 220, 310, 200, 20, 0, &PanelControls::statusLine},
    {IDC_ALLOCTEST, "button", IDS_ALLOCATING_TEST, nullptr, 220, 80, 200, 60, 0, &PanelControls::allocTest},
    {IDC_SCRIPT, "button", IDS_SCRIPT_EXEC, nullptr, 220, 140, 200, 60, 0, &PanelControls::script},
    {IDC_ACCESS_TOGGLE, "button", IDS_ACCESS_LOAD_OFF, nullptr, 220, 10, 200, 30, 0, &PanelControls::accessToggle},
    {IDC_ACCESS_ONCE, "button", IDS_GENERATE_ACCESS_LOAD, nullptr, 220, 40, 200, 30, 0, &PanelControls::accessOnce},
};
static_assert(sizeof kControls / sizeof kControls[0] == 22, "the panel has 22 controls");

}  // namespace

void createPanelControls(HWND parent, HINSTANCE instance) {
    for (const ControlSpec& c : kControls) {
        const char* caption = c.fixedCaption;
        if (c.captionId != 0) caption = loadText(c.captionId, textBuffer);
        // Buttons are plain push buttons and statics left-aligned text: both
        // are style 0 of their class.
        panel.*c.slot = CreateWindowExA(0, c.className, caption, WS_CHILD | WS_VISIBLE | c.extraStyle,
                                        c.x, c.y, c.width, c.height, parent,
                                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance,
                                        nullptr);
    }
}
