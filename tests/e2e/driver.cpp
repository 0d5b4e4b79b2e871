#include "driver.h"

#include <psapi.h>

#include <algorithm>

#include <cstdio>
#include <cstring>

#include "expected.h"

std::string productPath;
bool japanese = false;

// ---- Reporting ---------------------------------------------------------------

namespace {
int passed = 0, failed = 0;
HANDLE runningProcess = nullptr;  // killed when the overall deadline passes

// Control characters and non-ASCII bytes escaped, so a line stays one line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char escaped[8];
        if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7F) std::snprintf(escaped, sizeof escaped, "\\x%02X", c), out += escaped;
        else out += static_cast<char>(c);
    }
    return out;
}
}  // namespace

bool report(bool ok, const std::string& what, int line) {
    std::printf("%s line %d: %s\n", ok ? "ok  " : "FAIL", line, printable(what).c_str());
    std::fflush(stdout);
    ++(ok ? passed : failed);
    return ok;
}

bool reportText(const std::string& got, const std::string& want, const std::string& what, int line) {
    if (got == want) return report(true, what, line);
    return report(false, what + ": got \"" + got + "\", want \"" + want + "\"", line);
}

int passedCount() { return passed; }
int failedCount() { return failed; }

void startOverallDeadline(DWORD seconds) {
    static DWORD limit;
    limit = seconds;
    CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        Sleep(limit * 1000);
        report(false, "the run ended within " + std::to_string(limit) + " s", __LINE__);
        if (runningProcess) TerminateProcess(runningProcess, 99);
        std::printf("%d passed, %d failed\n", passed, failed);
        std::fflush(stdout);
        ExitProcess(1);
    }, nullptr, 0, nullptr);
}

// ---- Windows -----------------------------------------------------------------

std::string windowText(HWND window) {
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string windowClass(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::vector<HWND> topWindows(DWORD processId, const char* className) {
    struct Search {
        DWORD processId;
        const char* className;
        std::vector<HWND> found;
    } search{processId, className, {}};
    EnumWindows([](HWND window, LPARAM context) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s.processId && windowClass(window) == s.className) s.found.push_back(window);
        return TRUE;
    }, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

RECT childRect(HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

Box readBox(HWND window) {
    Box box;
    box.window = window;
    box.owner = GetWindow(window, GW_OWNER);
    box.caption = windowText(window);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const std::string kind = windowClass(child);
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        if (_stricmp(kind.c_str(), "Button") == 0) box.buttons.push_back(GetDlgCtrlID(child));
        if (_stricmp(kind.c_str(), "Static") != 0) continue;
        // The text static is 0xFFFF on Windows and Wine alike; the icon static
        // differs (20 on Windows, 1088 under Wine), so it is found by SS_ICON.
        if (GetDlgCtrlID(child) == 0xFFFF) box.text = windowText(child);
        if ((style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child)) {
            DWORD_PTR icon = 0;
            SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
            box.icon = icon;
        }
    }
    return box;
}

const ProbeMenuItem* Inside::item(UINT id) const {
    for (const ProbeMenuItem& i : items)
        if (i.id == id) return &i;
    return nullptr;
}

std::string iconName(UINT64 icon, const Inside& inside) {
    if (icon == 0) return "none";
    if (icon == inside.iconInformation) return "information";
    if (icon == inside.iconWarning) return "warning";
    if (icon == inside.iconError) return "error";
    if (icon == inside.iconQuestion) return "question";
    return "other";
}

// ---- The program under test --------------------------------------------------

namespace {

struct ProbeLink {
    HMODULE dll = nullptr;
    ProbeShared* shared = nullptr;
    UINT query = 0;
};

// The DLL lies next to the harness; the mapping is named after this process
// so that runs side by side stay apart. Set up once, before the first start.
const ProbeLink& probe() {
    static ProbeLink link = [] {
        ProbeLink l;
        char path[MAX_PATH];
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::strcpy(std::strrchr(path, '\\') + 1, "torvane_e2e_probe.dll");
        l.dll = LoadLibraryA(path);
        const std::string name = "TorvaneE2EProbe." + std::to_string(GetCurrentProcessId());
        HANDLE map = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ProbeShared),
                                        name.c_str());
        if (map) l.shared = static_cast<ProbeShared*>(MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        SetEnvironmentVariableA(kProbeEnvironment, name.c_str());
        l.query = RegisterWindowMessageA(kProbeQueryMessage);
        return l;
    }();
    return link;
}

}  // namespace

Product::Product(const std::string& arguments, const std::string& exe) {
    const ProbeLink& link = probe();
    requireQuietly(link.dll && link.shared, "the probe DLL and its shared mapping are set up");
    const std::string path = exe.empty() ? productPath : exe;
    std::string commandLine = "\"" + path + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Suspended until the hooks are on its thread, so that no text it sets is missed.
    requireQuietly(CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                  nullptr, nullptr, &startup, &info),
                   "torvane starts: " + commandLine);
    process = info.hProcess;
    processId = info.dwProcessId;
    runningProcess = process;
    auto hook = [&](int kind, const char* procedure) {
        auto* procedureAddress = reinterpret_cast<void*>(GetProcAddress(link.dll, procedure));
        return SetWindowsHookExA(kind, reinterpret_cast<HOOKPROC>(procedureAddress), link.dll, info.dwThreadId);
    };
    retrievedHook_ = hook(WH_GETMESSAGE, "probeRetrievedMessage");
    sentHook_ = hook(WH_CALLWNDPROC, "probeSentMessage");
    // A constructor that throws runs no destructor: kill the program first.
    if (!retrievedHook_ || !sentHook_) TerminateProcess(process, 99);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    requireQuietly(retrievedHook_ && sentHook_, "the probe hooks are on torvane's thread");
}

Product::~Product() {
    if (running()) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
    }
    if (retrievedHook_) UnhookWindowsHookEx(retrievedHook_);
    if (sentHook_) UnhookWindowsHookEx(sentHook_);
    runningProcess = nullptr;
    CloseHandle(process);
}

bool Product::exitsWith(DWORD want, const std::string& what, int line) const {
    const DWORD status = waitExit();
    const std::string got = status == STILL_ACTIVE ? "still running" : "status " + std::to_string(status);
    return report(status == want, what + " (" + got + ")", line);
}

bool Product::running() const { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

HWND Product::waitMainWindow(DWORD ms) {
    waitUntil([&] {
        for (HWND w : topWindows(processId, "Darnavel"))
            if (IsWindowVisible(w)) return main = w, true;
        return !running();
    }, ms);
    return main;
}

HWND Product::waitBox(HWND owner, DWORD ms) const {
    HWND found = nullptr;
    waitUntil([&] {
        for (HWND w : topWindows(processId, "#32770"))
            if (IsWindowVisible(w) && GetWindow(w, GW_OWNER) == owner) return found = w, true;
        return !running();
    }, ms);
    return found;
}

DWORD Product::waitExit(DWORD ms) const {
    DWORD status = STILL_ACTIVE;
    if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process, &status);
    return status;
}

bool Product::waitText(int id, const std::string& want, DWORD ms) const {
    return waitUntil([&] { return text(id) == want; }, ms);
}

void Product::click(int id) const {
    // BM_CLICK reaches a disabled button too (under Wine at least); a user's click would not.
    requireQuietly(IsWindowEnabled(control(id)), "button " + std::to_string(id) + " is enabled when clicked");
    PostMessageA(control(id), BM_CLICK, 0, 0);
}
void Product::command(UINT id) const { PostMessageA(main, WM_COMMAND, id, 0); }
void Product::answer(HWND box, int button) const { PostMessageA(box, WM_COMMAND, button, 0); }

Inside Product::inside(HWND via) const {
    const ProbeLink& link = probe();
    const LONG before = link.shared->answers;
    PostMessageA(via ? via : main, link.query, reinterpret_cast<WPARAM>(main), 0);
    requireQuietly(waitUntil([&] { return link.shared->answers != before; }, kActionMs),
            "the probe inside torvane answers");
    const ProbeShared& s = *link.shared;
    Inside in;
    in.codePage = s.codePage;
    in.uiLanguage = s.uiLanguage;
    in.iconInformation = s.iconInformation;
    in.iconWarning = s.iconWarning;
    in.iconError = s.iconError;
    in.iconQuestion = s.iconQuestion;
    in.popups.assign(s.popupText, s.popupText + s.popupCount);
    in.items.assign(s.items, s.items + s.itemCount);
    return in;
}

LONG Product::textMark() const { return probe().shared->textEvents; }

std::vector<std::string> Product::textsSince(LONG mark, HWND window) const {
    const ProbeShared& s = *probe().shared;
    std::vector<std::string> texts;
    for (LONG n = mark; n < s.textEvents; ++n) {
        const ProbeTextEvent& event = s.texts[n % kProbeTextRing];
        if (event.window == window) texts.push_back(event.text);
    }
    return texts;
}

SIZE_T Product::workingSet() const {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(process, &counters, sizeof counters);
    return counters.WorkingSetSize;
}

// ---- Texts -------------------------------------------------------------------

std::string toCodePage(const char* utf8, UINT codePage) {
    wchar_t wide[1024];
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, 1024);
    char bytes[2048] = "";
    if (length > 0) WideCharToMultiByte(codePage, 0, wide, -1, bytes, sizeof bytes, nullptr, nullptr);
    return bytes;
}

std::string T(const Tr& text) { return japanese ? toCodePage(text.ja, 932) : text.en; }

std::string megabytes(int count) { return std::to_string(count) + "MB"; }

// ---- Checks shared by the suites ------------------------------------------------

std::vector<HWND> children(HWND parent) {
    std::vector<HWND> list;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) list.push_back(c);
    return list;
}

HWND statusLine(const Product& p) {
    const std::vector<HWND> list = children(p.main);
    return list.size() > kStatusLineRow ? list[kStatusLineRow] : nullptr;
}

HWND statusLabel(const Product& p) {
    const std::vector<HWND> list = children(p.main);
    return list.size() > kStatusLabelRow ? list[kStatusLabelRow] : nullptr;
}

bool enabled(const Product& p, int id) { return IsWindowEnabled(p.control(id)) != 0; }

std::string join(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& t : texts) all += (all.empty() ? "" : " | ") + t;
    return all;
}

void startToMainWindow(Product& p, bool physical) {
    if (physical) {
        HWND notice = p.waitBox(nullptr, kStartMs);
        require(notice, "the physical-mode notice appears");
        p.answer(notice, IDOK);
    }
    require(p.waitMainWindow(), "the main window appears");
    p.settle();
}

void quitAndExpectStatus0(Product& p) {
    p.command(kMenuQuit);
    checkExit(p, 0, "menu Quit ends the program with status 0");
}

void checkPanel(const Product& p, const PanelState& s, const std::string& when, HWND via) {
    const Inside in = p.inside(via);  // first: whatever the product was doing is done
    std::string wrong;
    auto expect = [&](bool ok, const char* prefix, int id) {
        if (!ok) wrong.append(prefix).append(std::to_string(id));
    };
    for (int id : kSizeControls) expect(enabled(p, id) == s.sizeControls, " ", id);
    expect(enabled(p, kFreeMemory) == s.freeMemory, " ", kFreeMemory);
    expect(enabled(p, kQuit) == s.quit, " ", kQuit);
    expect(enabled(p, kAllocTest) == s.tools, " ", kAllocTest);
    expect(enabled(p, kScript) == s.tools, " ", kScript);
    for (UINT id : {kMenuAllocTest, kMenuScript, kMenuQuit, kMenuHomepage, kMenuAbout}) {
        const ProbeMenuItem* item = in.item(id);
        const bool wantGrayed = ((id == kMenuAllocTest || id == kMenuScript) && !s.menuTools) ||
                                (id == kMenuQuit && !s.menuQuit);
        const UINT state = item ? item->state : MF_DISABLED;  // a missing item is never right
        expect(wantGrayed ? (state & MF_GRAYED) != 0 : (state & (MF_GRAYED | MF_DISABLED)) == 0, " menu ", id);
    }
    check(wrong.empty(), std::string("panel is ") + s.name + " " + when + (wrong.empty() ? "" : "; wrong:" + wrong));
}

namespace {
std::string sortedButtons(std::vector<int> ids) {
    std::sort(ids.begin(), ids.end());
    std::string all;
    for (int id : ids) all += std::to_string(id) + " ";
    return all;
}
}  // namespace

Box checkBox(const Product& p, HWND window, HWND owner, const char* icon, std::vector<int> buttons,
             const std::string& name) {
    const Inside in = p.inside(window);  // first: the box is past its set-up once its loop answers
    const Box box = readBox(window);
    check(box.owner == owner, name + (owner ? " is owned by the main window" : " has no owner"));
    checkText(iconName(box.icon, in), icon, name + " icon");
    checkText(sortedButtons(box.buttons), sortedButtons(buttons), name + " buttons");
    return box;
}

void dismiss(const Product& p, HWND box, int button, const std::string& name) {
    p.answer(box, button);
    check(waitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, kActionMs), name + " closes");
}
