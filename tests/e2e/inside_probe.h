// What the probe DLL reports from inside torvane.exe through a named shared
// mapping. Under Wine another process's menu cannot be read from outside and
// icon handles differ between processes, so the DLL, loaded into the product
// by the harness's thread hooks, reads them in place. It also logs every text
// the product sets on a child window, so passing states ("Allocating...")
// are seen even when they last a moment.
#pragma once
#include <windows.h>

// The environment variable that carries the mapping's name into the product.
constexpr char kProbeEnvironment[] = "TORVANE_E2E_PROBE";
// Posted to a window of the product's thread; wParam is the main window or 0.
// Posted messages are handled in order, so an answer also means that every
// message posted before the query has been handled.
constexpr char kProbeQueryMessage[] = "TorvaneE2EProbeQuery";
constexpr int kProbeTextRing = 16384;

struct ProbeMenuItem {
    int popup;
    UINT id;
    UINT state;
    char text[100];
};

struct ProbeTextEvent {
    HWND window;
    char text[56];
};

struct ProbeShared {
    volatile LONG answers;  // bumped after each answered query
    UINT codePage;
    LANGID uiLanguage;
    // The system icons as the product's process sees them.
    UINT64 iconInformation, iconWarning, iconError, iconQuestion;
    int popupCount;
    char popupText[4][100];
    int itemCount;
    ProbeMenuItem items[16];
    volatile LONG textEvents;  // texts logged so far; entry n is texts[n % kProbeTextRing]
    ProbeTextEvent texts[kProbeTextRing];
};
