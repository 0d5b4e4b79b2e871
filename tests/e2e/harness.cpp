// End-to-end checks of torvane.exe: started as a user would start it, driven
// through its buttons and menu commands, and judged by what it shows.
//   torvane_e2e <torvane.exe> shell|ja|load|limits|script
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "driver.h"
#include "expected.h"
#include "script_checks.h"

namespace {

constexpr SIZE_T kMB = 1024 * 1024;

// ---- Window, panel and menu ---------------------------------------------------

void checkMenu(const Inside& in) {
    check(in.popups.size() == std::size(kPopups), "the menu bar has two pop-ups");
    for (size_t i = 0; i < std::size(kPopups) && i < in.popups.size(); ++i)
        checkText(in.popups[i], T(kPopups[i]), "menu pop-up " + std::to_string(i));
    require(in.items.size() == std::size(kMenu), "the pop-ups hold six items in all");
    for (size_t i = 0; i < std::size(kMenu); ++i) {
        const MenuRow& want = kMenu[i];
        const ProbeMenuItem& got = in.items[i];
        const std::string name = "menu item " + std::to_string(want.id) + " (#" + std::to_string(i) + ")";
        check(got.popup == want.popup && got.id == want.id, name + " sits in its pop-up with its identifier");
        if (want.id == 0) check(got.state & MF_SEPARATOR, name + " is a separator");
        else checkText(got.text, T(want.caption), name + " text");
    }
}

void checkMainWindowAndControls(const Product& p) {
    checkText(windowText(p.main), T(text::title), "window title");
    checkText(windowClass(p.main), "Darnavel", "window class");
    const LONG style = GetWindowLongA(p.main, GWL_STYLE);
    check((style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_CAPTION)) == (WS_SYSMENU | WS_MINIMIZEBOX | WS_CAPTION),
          "window has a caption, a system menu and a minimise box");
    check(!(style & (WS_THICKFRAME | WS_MAXIMIZEBOX)), "window has no sizing border and no maximise box");
    RECT outer{};
    GetWindowRect(p.main, &outer);
    check(outer.right - outer.left == 435 && outer.bottom - outer.top == 380, "window is 435 x 380");

    const std::vector<HWND> list = children(p.main);
    require(list.size() == std::size(kControls), "the window has 22 controls");
    for (size_t i = 0; i < list.size(); ++i) {
        const ControlRow& want = kControls[i];
        const std::string name = "control #" + std::to_string(i + 1) + " (id " + std::to_string(want.id) + ")";
        check(GetDlgCtrlID(list[i]) == want.id, name + " identifier, in creation order");
        check(_stricmp(windowClass(list[i]).c_str(), want.className) == 0, name + " class " + want.className);
        checkText(windowText(list[i]), T(want.caption), name + " caption");
        const RECT r = childRect(list[i]);
        check(r.left == want.x && r.top == want.y && r.right - r.left == want.width && r.bottom - r.top == want.height,
              name + " at " + std::to_string(want.x) + "," + std::to_string(want.y) + " size " +
                  std::to_string(want.width) + "x" + std::to_string(want.height));
        const DWORD wantStyle = WS_CHILD | WS_VISIBLE | (want.disabled ? WS_DISABLED : 0);
        check(static_cast<DWORD>(GetWindowLongA(list[i], GWL_STYLE)) == wantStyle,
              name + " style: child, visible, plain" + (want.disabled ? ", disabled" : ""));
        check(!IsWindowEnabled(list[i]) == want.disabled, name + (want.disabled ? " disabled" : " enabled"));
    }
}

void windowAndPanel() {
    Product p;
    startToMainWindow(p, false);
    const Inside in = p.inside();
    if (japanese) check(in.codePage == 932 && in.uiLanguage == 0x411, "torvane runs in code page 932, language 0x411");
    checkMainWindowAndControls(p);
    checkMenu(in);
    checkPanel(p, kIdle, "after start");
    quitAndExpectStatus0(p);
}

void sizeButtons() {
    struct Step {
        int id;
        int target;
    };
    constexpr Step steps[] = {{kMinus1, 0}, {kPlus1, 1}, {kPlus4, 5}, {kPlus8, 13}, {kPlus16, 29}, {kPlus32, 61},
                              {kPlus64, 125}, {kReset, 0}, {kPlus128, 128}, {kPlus128, 256}, {kPlus128, 384},
                              {kPlus1, 385}, {kMinus1, 384}, {kReset, 0}, {kMinus1, 0}};
    Product p;
    startToMainWindow(p, false);
    for (const Step& s : steps) {
        p.click(s.id);
        p.settle();
        checkText(p.text(kTarget), megabytes(s.target), "target after button " + std::to_string(s.id));
    }
    // Only a plain click counts: a notification code in the high word matches nothing.
    PostMessageA(p.main, WM_COMMAND, MAKEWPARAM(kPlus1, 1), 0);
    p.settle();
    checkText(p.text(kTarget), "0MB", "a command with a notification code changes nothing");
    checkText(p.text(kActual), "0MB", "the actual display is untouched by the size buttons");
    quitAndExpectStatus0(p);
}

// ---- Message boxes --------------------------------------------------------------

void infoBoxes() {
    Product p;
    startToMainWindow(p, false);
    p.command(kMenuAbout);
    HWND window = p.waitBox(p.main);
    require(window, "the About box appears");
    Box box = checkBox(p, window, p.main, "information", {IDOK}, "About box");
    check(!IsWindowEnabled(p.main), "the main window is disabled while the About box is open");
    if (japanese) {
        checkText(box.caption, T(text::aboutCaption), "About caption");
        const std::string head = T(text::title) + "\n";
        check(box.text.compare(0, head.size(), head) == 0 && box.text.size() > head.size(),
              "About text: the name and version, then an authorship line: " + box.text);
    } else {
        check(box.caption == text::aboutCaption.en || box.caption == text::aboutCaptionNeutral,
              "About caption is the English or the neutral one: " + box.caption);
        checkText(box.text, text::aboutEnglish, "About text");
    }
    dismiss(p, window, IDOK, "the About box");
    check(waitUntil([&] { return IsWindowEnabled(p.main) != 0; }, kActionMs), "the main window is enabled again");

    p.command(kMenuHomepage);
    window = p.waitBox(p.main);
    require(window, "the home-page box appears");
    box = checkBox(p, window, p.main, "information", {IDOK}, "home-page box");
    checkText(box.caption, T(text::homepageCaption), "home-page caption");
    if (japanese) {
        const std::string address = std::string("\n") + text::homepageAddress + "\n";
        check(std::count(box.text.begin(), box.text.end(), '\n') == 2 && box.text.find(address) != std::string::npos,
              "home-page text: three lines, the address on its own: " + box.text);
    } else {
        checkText(box.text, std::string("Author's homepage is located in ") + text::homepageAddress,
                  "home-page text");
    }
    dismiss(p, window, IDOK, "the home-page box");
    checkPanel(p, kIdle, "after the boxes");
    quitAndExpectStatus0(p);
}

// ---- Start-up: switches, registry stamp, self-check, quit paths ---------------

void startupSwitch(const std::string& arguments, bool physical) {
    const std::string name = "with arguments \"" + arguments + "\"";
    Product p(arguments);
    if (physical) {
        HWND window = p.waitBox(nullptr, kStartMs);
        require(window, "the physical-mode notice appears " + name);
        check(topWindows(p.processId, "Darnavel").empty(), "no main window exists before the notice");
        const Box box = checkBox(p, window, nullptr, "none", {IDOK}, "physical-mode notice");
        checkText(box.caption, T(text::physicalCaption), "notice caption");
        checkText(box.text, T(text::physicalNotice), "notice text");
        check(!waitUntil([&] { return !topWindows(p.processId, "Darnavel").empty(); }, 1000),
              "no main window while the notice is open");
        p.answer(window, IDOK);
    }
    require(p.waitMainWindow(), "the main window appears " + name);
    std::vector<HWND> boxes = topWindows(p.processId, "#32770");
    boxes.erase(std::remove_if(boxes.begin(), boxes.end(), [](HWND w) { return !IsWindowVisible(w); }), boxes.end());
    check(boxes.empty(), "no message box is left open " + name);
    checkText(windowText(statusLine(p)), T(physical ? text::readyPhysical : text::ready), "first status " + name);
    checkText(p.text(kTarget) + " " + p.text(kActual), "0MB 0MB", "both displays " + name);
    PostMessageA(p.main, WM_CLOSE, 0, 0);
    checkExit(p, 0, "closing the window ends the program with status 0 " + name);
}

void startupSwitches() {
    struct Row {
        const char* arguments;
        bool physical;
    };
    constexpr Row rows[] = {{"", false}, {"/p", true}, {"/P", false}, {"-p", false}, {"x /p", false}, {"/p x y", true}};
    for (const Row& row : rows) {
        if (japanese && row.arguments != std::string("/p")) continue;
        try {
            startupSwitch(row.arguments, row.physical);
        } catch (const Abandon&) {
        }
    }
}

void quitPaths() {
    struct Path {
        const char* name;
        std::function<void(const Product&)> act;
    };
    const Path paths[] = {
        {"the Quit button", [](const Product& p) { p.click(kQuit); }},
        {"menu Quit", [](const Product& p) { p.command(kMenuQuit); }},
        {"WM_CLOSE", [](const Product& p) { PostMessageA(p.main, WM_CLOSE, 0, 0); }},
        {"the system menu's Close", [](const Product& p) { PostMessageA(p.main, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Path& path : paths) {
        Product p;
        startToMainWindow(p, false);
        path.act(p);
        checkExit(p, 0, std::string(path.name) + " ends the program with status 0");
    }
}

constexpr char kStampKey[] = "Software\\Marrowby";

struct Stamp {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0, size = 0;
    BYTE data[64] = {};
};

Stamp readStamp() {
    Stamp s;
    s.size = sizeof s.data;
    s.status = RegGetValueA(HKEY_CURRENT_USER, kStampKey, "Date", RRF_RT_ANY, &s.type, s.data, &s.size);
    return s;
}

void deleteStamp() { RegDeleteKeyValueA(HKEY_CURRENT_USER, kStampKey, "Date"); }

ULONGLONG seconds(const SYSTEMTIME& time) {
    FILETIME file{};
    if (!SystemTimeToFileTime(&time, &file)) return 0;
    return ((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000000;
}

void registryStamp() {
    const BYTE marker[16] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                             0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    for (bool overwrite : {false, true}) {
        const std::string name = overwrite ? "over an older value" : "with no value before";
        deleteStamp();
        if (overwrite) RegSetKeyValueA(HKEY_CURRENT_USER, kStampKey, "Date", REG_BINARY, marker, sizeof marker);
        SYSTEMTIME before;
        GetLocalTime(&before);
        Product p;
        startToMainWindow(p, false);
        const Stamp s = readStamp();
        require(s.status == ERROR_SUCCESS, "the Date value exists " + name);
        check(s.type == REG_BINARY && s.size == 16, "Date is REG_BINARY, 16 bytes " + name);
        check(std::memcmp(s.data, marker, sizeof marker) != 0, "Date is replaced " + name);
        SYSTEMTIME stamp;
        std::memcpy(&stamp, s.data, sizeof stamp);
        const ULONGLONG at = seconds(stamp), start = seconds(before);
        check(at != 0 && at + 60 >= start && at <= start + 60, "Date holds the local time of the start " + name);
        quitAndExpectStatus0(p);
    }
}

// A copy of the program, in the temporary folder, with one byte of its code changed.
std::string copyOfProduct(const char* fileName, bool damage) {
    std::ifstream in(productPath, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    require(image.size() > 4096, "the program file can be read");
    if (damage) {
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
        const IMAGE_SECTION_HEADER* code = nullptr;
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (std::strncmp(reinterpret_cast<const char*>(section[i].Name), ".text", 8) == 0) code = &section[i];
        require(code, "the program has a code section");
        image[code->PointerToRawData + code->SizeOfRawData / 2] ^= 0x5A;  // far from the header's checksum field
    }
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string path = std::string(folder) + fileName;
    std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
    return path;
}

void selfCheck() {
    // An intact copy in the same place passes, so the copying itself is not what fails below.
    const std::string intactPath = copyOfProduct("torvane_intact.exe", false);
    {
        Product intact("", intactPath);
        require(intact.waitMainWindow(), "an intact copy of the program starts");
        quitAndExpectStatus0(intact);
    }
    DeleteFileA(intactPath.c_str());
    const std::string damaged = copyOfProduct("torvane_damaged.exe", true);
    deleteStamp();
    Product p("", damaged);
    HWND window = p.waitBox(nullptr, kStartMs);
    require(window, "a damaged copy shows a box");
    check(topWindows(p.processId, "Darnavel").empty(), "a damaged copy creates no main window");
    const Box box = checkBox(p, window, nullptr, "error", {IDOK}, "self-check box");
    checkText(box.caption, text::selfCheckCaption, "self-check caption");
    check(!box.text.empty(), "the self-check box says what is wrong: " + box.text);
    p.answer(window, IDOK);
    checkExit(p, 1, "a damaged copy ends with status 1");
    check(readStamp().status == ERROR_FILE_NOT_FOUND, "a damaged copy writes no Date value");
    DeleteFileA(damaged.c_str());
}

// ---- Load engine ------------------------------------------------------------------

// Clicks a button and waits for the two status texts it should set, in order.
void expectStatuses(const Product& p, int button, const Tr& first, const Tr& last, DWORD ms = kActionMs) {
    HWND status = statusLine(p);
    const LONG mark = p.textMark();
    p.click(button);
    waitUntil([&] { return p.textsSince(mark, status).size() >= 2; }, ms);
    p.settle();
    checkText(join(p.textsSince(mark, status)), T(first) + " | " + T(last),
              "status after button " + std::to_string(button));
}

void execute(const Product& p, int target) {
    expectStatuses(p, kExecute, text::allocating, text::allocationSuccessful);
    checkText(p.text(kActual), megabytes(target), "actual display after Execute");
    checkPanel(p, kHolding, "after Execute of " + megabytes(target));
}

void freeMemory(const Product& p) {
    expectStatuses(p, kFreeMemory, text::freeing, text::freeCompleted);
    checkText(p.text(kActual), "0MB", "actual display after Free Memory");
    checkPanel(p, kIdle, "after Free Memory");
}

void setTargetIn128s(const Product& p, int clicks) {
    p.click(kReset);
    for (int i = 0; i < clicks; ++i) p.click(kPlus128);
    p.settle();
    require(p.text(kTarget) == megabytes(clicks * 128), "target set to " + megabytes(clicks * 128));
}

void checkAccessButtons(const Product& p, bool on, const std::string& when) {
    p.settle();
    checkText(p.text(kAccessToggle), T(on ? text::accessLoadOn : text::accessLoadOff), "toggle caption " + when);
    check(enabled(p, kAccessOnce) == !on && enabled(p, kAccessToggle),
          std::string("Generate Access Load ") + (on ? "disabled " : "enabled ") + when);
}

void loadEngine(bool physical) {
    const std::string mode = physical ? " (physical mode)" : " (normal mode)";
    Product p(physical ? "/p" : "");
    startToMainWindow(p, physical);

    execute(p, 0);
    freeMemory(p);

    setTargetIn128s(p, 2);
    const SIZE_T before = p.workingSet();
    execute(p, 256);
    const SIZE_T held = p.workingSet();
    if (physical) {
        check(held >= before + 240 * kMB, "a physical-mode block is resident at once" + mode);
    } else {
        check(held < before + 8 * kMB, "a normal-mode block is not touched when taken" + mode);
        p.click(kAccessOnce);
        check(waitUntil([&] { return p.workingSet() >= before + 240 * kMB; }, kActionMs),
              "one Generate Access Load pass writes the whole block" + mode);
        checkAccessButtons(p, false, "after one pass");
    }
    const SIZE_T peak = p.workingSet();
    freeMemory(p);
    check(waitUntil([&] { return p.workingSet() + 200 * kMB <= peak; }, kActionMs),
          "Free Memory gives the block back" + mode);

    // Again, and with the access load on while a box is open: its ticks still arrive.
    execute(p, 256);
    const SIZE_T quiet = p.workingSet();
    p.click(kAccessToggle);
    p.command(kMenuAbout);  // handled before the first tick, which waits for an empty queue
    HWND about = p.waitBox(p.main);
    require(about, "the About box appears with the access load on");
    checkAccessButtons(p, true, "while on");
    if (!physical) {
        check(quiet < before + 8 * kMB, "the new block is untouched before the first tick");
        check(waitUntil([&] { return p.workingSet() >= quiet + 240 * kMB; }, kActionMs) && IsWindowVisible(about),
              "ticks write the block while the About box is open");
    }
    dismiss(p, about, IDOK, "the About box");
    p.click(kAccessToggle);
    checkAccessButtons(p, false, "after switching off");
    checkPanel(p, kHolding, "with the access load switched off");

    if (physical) PostMessageA(p.main, WM_CLOSE, 0, 0);
    else p.click(kQuit);
    checkExit(p, 0, "quitting while a block is held ends with status 0" + mode);
}

// ---- Allocation test ---------------------------------------------------------------

// The largest block this process can take in 1 MB steps, in the program's way.
int largestBlock(bool physical) {
    for (int megabytesTried = 1;; ++megabytesTried) {
        const SIZE_T bytes = static_cast<SIZE_T>(megabytesTried) * kMB;
        void* block = nullptr;
        if (physical) {
            HANDLE heap = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
            block = heap ? HeapAlloc(heap, HEAP_ZERO_MEMORY, bytes) : nullptr;
            if (heap) HeapDestroy(heap);
        } else {
            block = std::malloc(bytes);
            std::free(block);
        }
        if (!block || megabytesTried > 8192) return megabytesTried - 1;
    }
}

void declineAllocationTest(const Product& p) {
    p.click(kReset);
    p.click(kPlus4);
    p.settle();
    const std::string statusBefore = windowText(statusLine(p));
    const LONG mark = p.textMark();
    p.click(kAllocTest);
    HWND window = p.waitBox(p.main);
    require(window, "the allocation-test warning appears");
    const Box box = checkBox(p, window, p.main, "warning", {IDYES, IDNO}, "warning box");
    checkText(box.caption, T(text::warning), "warning caption");
    checkText(box.text, T(text::testWarning), "warning text");
    if (japanese) check(box.text.size() == 226, "the Japanese warning is 226 bytes in code page 932");
    dismiss(p, window, IDNO, "the warning box");
    p.settle();
    check(p.textsSince(mark, statusLine(p)).empty() && windowText(statusLine(p)) == statusBefore,
          "answering No leaves the status line alone");
    checkText(p.text(kTarget) + " " + p.text(kActual), "4MB 0MB", "answering No leaves the displays alone");
    checkPanel(p, kIdle, "after answering No");
}

void allocationTest(bool physical) {
    const std::string mode = physical ? " (physical mode)" : " (normal mode)";
    const int largest = largestBlock(physical);
    // Each step sets five texts, and the probe's log must hold them all.
    require(largest > 256 && largest < kProbeTextRing / 5,
            "an address-space limit keeps the largest block small: " + std::to_string(largest) + " MB" + mode);
    Product p(physical ? "/p" : "");
    startToMainWindow(p, physical);

    // A target beyond what the limit allows fails, and leaves the panel idle.
    setTargetIn128s(p, largest / 128 + 2);
    expectStatuses(p, kExecute, text::allocating, text::allocationFailed);
    checkText(p.text(kActual), "0MB", "a failed Execute leaves the actual display alone" + mode);
    checkPanel(p, kIdle, "after a failed Execute");

    declineAllocationTest(p);

    const LONG mark = p.textMark();
    p.command(kMenuAllocTest);
    HWND warning = p.waitBox(p.main);
    require(warning, "the warning appears for menu Allocation Test");
    p.answer(warning, IDYES);
    HWND window = nullptr;
    require(waitUntil([&] {
                window = p.waitBox(p.main, 0);
                return window && window != warning && windowText(window) == T(text::testResultCaption);
            }, 120000),
            "the test ends with its result box" + mode);
    const Box box = checkBox(p, window, p.main, "information", {IDOK}, "result box");
    int found = -1;
    std::sscanf(box.text.c_str(), T(text::testResult).c_str(), &found);
    require(found >= 0, "the result box gives a size: " + box.text);
    char expected[256];
    std::snprintf(expected, sizeof expected, T(text::testResult).c_str(), found);
    checkText(box.text, expected, "result text");
    check(std::abs(found - largest) <= 16,
          "the result " + std::to_string(found) + " MB is the largest block, " + std::to_string(largest) + " MB" +
              mode);

    // While the result box is open the panel is still in the test's state.
    checkText(windowText(statusLine(p)), T(text::testComplete), "status while the result is shown");
    checkText(p.text(kTarget) + " " + p.text(kActual), megabytes(found + 1) + " " + megabytes(found),
              "displays while the result is shown: the failed step and the last success");
    checkPanel(p, kTesting, "while the result is shown", window);
    const std::vector<std::string> targets = p.textsSince(mark, p.control(kTarget));
    check(targets.size() == static_cast<size_t>(found + 1) && targets.front() == "1MB" &&
              targets.back() == megabytes(found + 1),
          "the target counts up from 1 MB one step at a time");
    const std::vector<std::string> statuses = p.textsSince(mark, statusLine(p));
    const std::vector<std::string> firstStep = {T(text::testAllocating), T(text::testAllocated), T(text::testFreeing)};
    const std::vector<std::string> lastSteps = {T(text::testAllocating), T(text::testFailed), T(text::testComplete)};
    check(statuses.size() == 3 * static_cast<size_t>(found) + 3 &&
              std::equal(firstStep.begin(), firstStep.end(), statuses.begin()) &&
              std::equal(lastSteps.begin(), lastSteps.end(), statuses.end() - 3),
          "status: allocated and freed at each step, then failed and complete");

    dismiss(p, window, IDOK, "the result box");
    check(p.waitText(kTarget, "0MB") && p.waitText(kActual, "0MB"), "both displays show 0MB after the test");
    checkPanel(p, kIdle, "after the test");
    quitAndExpectStatus0(p);
}

// ---- Runs --------------------------------------------------------------------------

void toggleCaptions() {
    Product p;
    startToMainWindow(p, false);
    checkAccessButtons(p, false, "at start");
    p.click(kAccessToggle);
    checkAccessButtons(p, true, "after switching on");
    p.click(kAccessToggle);
    checkAccessButtons(p, false, "after switching off");
    declineAllocationTest(p);
    quitAndExpectStatus0(p);
}

struct Behaviour {
    const char* name;
    std::function<void()> run;
};

struct Suite {
    const char* name;
    DWORD deadlineSeconds;
    std::vector<Behaviour> behaviours;
};

const Suite kSuites[] = {
    {"shell", 240,
     {{"window, controls and menu", windowAndPanel},
      {"size buttons", sizeButtons},
      {"About and home-page boxes", infoBoxes},
      {"quit paths", quitPaths},
      {"the /p switch", startupSwitches},
      {"registry stamp", registryStamp},
      {"self-check", selfCheck}}},
    {"ja", 180,
     {{"window, controls and menu", windowAndPanel},
      {"About and home-page boxes", infoBoxes},
      {"the /p switch", startupSwitches},
      {"access-load captions and the test's warning", toggleCaptions},
      {"a script's boxes and statuses", scriptJapanese}}},
    {"load", 180,
     {{"load engine, normal mode", [] { loadEngine(false); }},
      {"load engine, physical mode", [] { loadEngine(true); }}}},
    {"limits", 300,
     {{"allocation test, normal mode", [] { allocationTest(false); }},
      {"allocation test, physical mode", [] { allocationTest(true); }}}},
    {"script", 240,
     {{"the open dialog", scriptDialog},
      {"the magic line", scriptMagicLine},
      {"pop-ups, and the panel during a run", scriptPopups},
      {"sleep, asktoquit and run", scriptFlow},
      {"release and free", scriptReleases},
      {"allocations that fail", scriptFailedAllocations},
      {"allocations in normal mode", scriptNormalMemory},
      {"allocations in physical mode", scriptPhysicalMemory},
      {"the example scripts", scriptExamples}}},
};

}  // namespace

int main(int argc, char** argv) {
    const Suite* suite = nullptr;
    for (const Suite& s : kSuites)
        if (argc == 3 && std::strcmp(argv[2], s.name) == 0) suite = &s;
    if (!suite) {
        std::fprintf(stderr, "usage: torvane_e2e <torvane.exe> shell|ja|load|limits|script\n");
        return 2;
    }
    char full[MAX_PATH];
    GetFullPathNameA(argv[1], MAX_PATH, full, nullptr);  // under Wine a Unix path becomes Z:\...
    productPath = full;
    japanese = std::strcmp(suite->name, "ja") == 0;
    startOverallDeadline(suite->deadlineSeconds);
    // Under Wine with no window manager (Xvfb), hiding a managed window waits
    // two seconds for the manager's answer; unmanaged windows do not wait.
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))
        RegSetKeyValueA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", "Managed", REG_SZ, "N", 2);

    if (japanese) {
        check(GetACP() == 932 && GetUserDefaultUILanguage() == 0x411,
              "the harness runs in code page 932, language 0x411 (LC_ALL=ja_JP.UTF-8)");
    }
    for (const Behaviour& b : suite->behaviours) {
        std::printf("-- %s\n", b.name);
        const DWORD start = GetTickCount();
        try {
            b.run();
        } catch (const Abandon&) {
            std::printf("   (abandoned; the program was killed)\n");
        }
        std::printf("   (%.1f s)\n", (GetTickCount() - start) / 1000.0);
    }
    std::printf("%d passed, %d failed\n", passedCount(), failedCount());
    return failedCount() == 0 ? 0 : 1;
}
