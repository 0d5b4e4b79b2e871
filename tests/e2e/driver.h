// How the end-to-end harness reports, starts torvane.exe, finds its windows
// and reads what a user would see. Every wait polls with a deadline.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "inside_probe.h"

// ---- Reporting ---------------------------------------------------------------

bool report(bool ok, const std::string& what, int line);
// A check that fails is reported and the behaviour goes on.
#define check(condition, what) report(static_cast<bool>(condition), (what), __LINE__)
// Compares two texts and shows both when they differ.
#define checkText(got, want, what) reportText((got), (want), (what), __LINE__)
bool reportText(const std::string& got, const std::string& want, const std::string& what, int line);
// A check the rest of the behaviour depends on: on failure the behaviour is
// abandoned and its program killed.
struct Abandon {};
#define require(condition, what)                                                     \
    do {                                                                            \
        if (!report(static_cast<bool>(condition), (what), __LINE__)) throw Abandon{}; \
    } while (0)

// For the harness's own machinery: silent when it works.
#define requireQuietly(condition, what)                            \
    do {                                                           \
        if (!(condition)) {                                        \
            report(false, (what), __LINE__);                       \
            throw Abandon{};                                       \
        }                                                          \
    } while (0)

#define checkExit(product, status, what) (product).exitsWith((status), (what), __LINE__)

int passedCount();
int failedCount();
// Ends the whole run with a failure after `seconds`, killing the program.
void startOverallDeadline(DWORD seconds);

// ---- Waiting -----------------------------------------------------------------

constexpr DWORD kStartMs = 20000;   // a Wine process start, the first one cold
constexpr DWORD kActionMs = 8000;   // anything a click sets off

template <class Ready>
bool waitUntil(Ready&& ready, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (ready()) return true;
        if (GetTickCount() - start >= ms) return false;
        Sleep(15);
    }
}

// ---- Windows -----------------------------------------------------------------

std::string windowText(HWND window);
std::string windowClass(HWND window);
// Top-level windows of a process with the given class, visible or not.
std::vector<HWND> topWindows(DWORD processId, const char* className);
// The client rectangle of a child, in its parent's client coordinates.
RECT childRect(HWND child);

struct Box {
    HWND window = nullptr;
    HWND owner = nullptr;
    std::string caption, text;  // the text is the static control 0xFFFF
    UINT64 icon = 0;            // STM_GETICON of the visible icon static, else 0
    std::vector<int> buttons;   // identifiers of its buttons
};
Box readBox(HWND window);

// What the probe DLL reports from inside the product.
struct Inside {
    UINT codePage = 0;
    LANGID uiLanguage = 0;
    UINT64 iconInformation = 0, iconWarning = 0, iconError = 0, iconQuestion = 0;
    std::vector<std::string> popups;
    std::vector<ProbeMenuItem> items;
    const ProbeMenuItem* item(UINT id) const;
};
// "information", "warning", "error", "question", "none" or "other".
std::string iconName(UINT64 icon, const Inside& inside);

// ---- The program under test --------------------------------------------------

extern std::string productPath;  // set by main from the command line

class Product {
public:
    // Starts the program with the arguments; `exe` replaces the program's path.
    explicit Product(const std::string& arguments = "", const std::string& exe = "");
    ~Product();
    Product(const Product&) = delete;
    Product& operator=(const Product&) = delete;

    // Waits for the visible main window ("Darnavel") and remembers it.
    HWND waitMainWindow(DWORD ms = kStartMs);
    // Waits for a visible message box of this process, owned by `owner`.
    HWND waitBox(HWND owner, DWORD ms = kActionMs) const;
    // Exit status, or STILL_ACTIVE when the process has not ended in time.
    DWORD waitExit(DWORD ms = kActionMs) const;
    bool running() const;
    // Reports whether the program ends with the status; use checkExit.
    bool exitsWith(DWORD want, const std::string& what, int line) const;

    HWND control(int id) const { return GetDlgItem(main, id); }
    std::string text(int id) const { return windowText(control(id)); }
    bool waitText(int id, const std::string& want, DWORD ms = kActionMs) const;
    void click(int id) const;      // what the button's click does: BM_CLICK
    void command(UINT id) const;   // what a menu item does: WM_COMMAND
    void answer(HWND box, int button) const;

    // Asks the probe inside; also a barrier: every message posted to the
    // product before it has been handled when it returns.
    Inside inside(HWND via = nullptr) const;
    void settle() const { inside(); }
    // Texts the product set on `window` since `mark` (a textMark()).
    LONG textMark() const;
    std::vector<std::string> textsSince(LONG mark, HWND window) const;

    SIZE_T workingSet() const;

    HWND main = nullptr;
    DWORD processId = 0;
    HANDLE process = nullptr;

private:
    HHOOK retrievedHook_ = nullptr, sentHook_ = nullptr;
};

// ---- Texts -------------------------------------------------------------------

// An expected text in English and, as UTF-8, in Japanese.
struct Tr {
    const char* en;
    const char* ja;
};
extern bool japanese;  // the run checks the Japanese texts
std::string toCodePage(const char* utf8, UINT codePage);
// The expected text as the product shows it in this run's language.
std::string T(const Tr& text);
std::string megabytes(int count);  // "%dMB"

// ---- Checks shared by the suites ------------------------------------------------

struct PanelState;  // expected.h

std::vector<HWND> children(HWND parent);
HWND statusLine(const Product& p);
HWND statusLabel(const Product& p);  // the "Status" label over it
bool enabled(const Product& p, int id);
std::string join(const std::vector<std::string>& texts);  // "a | b | c"

// Starts the program and gets it to its main window, past the physical-mode notice.
void startToMainWindow(Product& p, bool physical);
void quitAndExpectStatus0(Product& p);
// Enabled states of the panel's groups, and the gray state of the menu items.
// `via`: a box or dialog that is open, whose modal loop answers the probe.
void checkPanel(const Product& p, const PanelState& s, const std::string& when, HWND via = nullptr);
// Checks what every box shows besides its texts; returns it for those.
Box checkBox(const Product& p, HWND window, HWND owner, const char* icon, std::vector<int> buttons,
             const std::string& name);
void dismiss(const Product& p, HWND box, int button, const std::string& name);
