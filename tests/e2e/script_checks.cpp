// End-to-end checks of scripts. Each script is written at run time, byte for
// byte, into a folder of its own under the temporary folder and chosen in the
// real open dialog as a user would choose it; what counts is what the user
// sees (boxes, the status line, the label and the panel), the files its
// commands leave and the program's working set.
#include "script_checks.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver.h"
#include "expected.h"

namespace {

constexpr SIZE_T kMB = 1024 * 1024;
// The open dialog's file-name box (cmb13): a combo box with an edit inside.
constexpr int kFileNameBox = 0x47C;

// ---- Script files ----------------------------------------------------------------

// A folder of its own under the temporary folder, removed with its files at the
// end. Declare it before the Product: the program's current folder becomes this
// folder, and a process's current folder cannot be removed.
class ScriptFolder {
public:
    ScriptFolder() {
        static int made = 0;
        char temp[MAX_PATH] = "";
        GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp) + "torvane-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++made);
        requireQuietly(CreateDirectoryA(path_.c_str(), nullptr), "a temporary folder is made: " + path_);
    }
    ~ScriptFolder() {
        if (!removeTree(path_)) report(false, "the temporary folder is removed: " + path_, __LINE__);
    }
    ScriptFolder(const ScriptFolder&) = delete;
    ScriptFolder& operator=(const ScriptFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }
    // A folder inside, removed with the rest.
    std::string folder(const std::string& name) const {
        requireQuietly(CreateDirectoryA(file(name).c_str(), nullptr), "a folder is made: " + file(name));
        return file(name);
    }

    // The bytes exactly as given: no line end is translated.
    void write(const std::string& name, const std::string& bytes) const {
        HANDLE out = CreateFileA(file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        const bool ok = out != INVALID_HANDLE_VALUE &&
                        WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size();
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        requireQuietly(ok, "the file is written: " + file(name));
    }
    bool exists(const std::string& name) const {
        return GetFileAttributesA(file(name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    static bool removeTree(const std::string& path) {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = found.cFileName;
                if (name == "." || name == "..") continue;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(path + "\\" + name);
                else DeleteFileA((path + "\\" + name).c_str());
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        return RemoveDirectoryA(path.c_str()) != 0;
    }

    std::string path_;
};

// ---- The open dialog ---------------------------------------------------------------

// Holds a script open with no sharing, as another program may; closed at the end.
struct Lock {
    explicit Lock(const std::string& path)
        : handle(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
        require(handle != INVALID_HANDLE_VALUE, "the harness holds the script open with no sharing");
    }
    ~Lock() { CloseHandle(handle); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    HANDLE handle;
};

bool isOpen(HWND window) { return IsWindow(window) && IsWindowVisible(window); }

bool isFileDialog(HWND window) { return GetDlgItem(window, kFileNameBox) != nullptr; }

HWND waitFileDialog(const Product& p) {
    HWND dialog = p.waitBox(p.main);
    require(dialog && isFileDialog(dialog), "the open dialog appears, owned by the main window");
    return dialog;
}

HWND findEdit(HWND window) {
    if (_stricmp(windowClass(window).c_str(), "Edit") == 0) return window;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (HWND edit = findEdit(child)) return edit;
    return nullptr;
}

// What a user types into the file-name box goes into the edit inside it.
void typeFileName(HWND dialog, const std::string& text) {
    HWND box = GetDlgItem(dialog, kFileNameBox);
    HWND edit = findEdit(box);
    DWORD_PTR ignored = 0;
    requireQuietly(SendMessageTimeoutA(edit ? edit : box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                                       SMTO_ABORTIFHUNG, kActionMs, &ignored),
                   "the file-name box takes a text");
}

// Goes to the folder first and then picks the file by its name, as a user does:
// the dialog leaves the current folder where it looked last.
void chooseFile(const Product& p, HWND dialog, const std::string& folder, const std::string& name) {
    typeFileName(dialog, folder);
    p.answer(dialog, IDOK);
    p.inside(dialog);  // the dialog has gone to the folder
    requireQuietly(isOpen(dialog), "the open dialog stays open when it goes to a folder");
    typeFileName(dialog, name);
    p.answer(dialog, IDOK);
    require(waitUntil([&] { return !isOpen(dialog); }, kActionMs), "the open dialog closes on Open: " + name);
}

enum class From { Button, Menu };

// Starts a run with Script Exec. or the menu's Execute Script and picks the
// file. Returns the mark from which the run's texts are logged.
LONG startScript(const Product& p, const ScriptFolder& folder, const std::string& name, From from = From::Button) {
    const LONG mark = p.textMark();
    if (from == From::Button) p.click(kScript);
    else p.command(kMenuScript);
    chooseFile(p, waitFileDialog(p), folder.path(), name);
    return mark;
}

// ---- What a run shows ------------------------------------------------------------------

// Waits for a box owned by the main window and checks all of it.
HWND expectBox(const Product& p, const Tr& caption, const std::string& text, const char* icon,
               const std::string& name, std::vector<int> buttons = {IDOK}, DWORD ms = kActionMs) {
    HWND window = p.waitBox(p.main, ms);
    require(window && !isFileDialog(window), name + " appears");
    const Box box = checkBox(p, window, p.main, icon, buttons, name);
    checkText(box.caption, T(caption), name + " caption");
    checkText(box.text, text, name + " text");
    return window;
}

HWND expectPopup(const Product& p, const std::string& text, const std::string& name, DWORD ms = kActionMs) {
    return expectBox(p, text::information, text, "information", name, {IDOK}, ms);
}

void confirm(const Product& p, const std::string& script) {
    HWND box = expectBox(p, text::confirmCaption, T(text::confirmScript), "question", "the confirmation of " + script,
                         {IDYES, IDNO});
    dismiss(p, box, IDYES, "the confirmation");
}

std::string loadFailure(const std::string& path) {
    char text[1024];
    std::snprintf(text, sizeof text, T(text::loadFailed).c_str(), path.c_str());
    return text;
}

std::string statuses(const Product& p, LONG mark) { return join(p.textsSince(mark, statusLine(p))); }

std::string sequence(const std::vector<Tr>& texts) {
    std::vector<std::string> shown;
    for (const Tr& t : texts) shown.push_back(T(t));
    return join(shown);
}

// The framing ends every run: the label reads "Script Running" while it runs
// and "Status" again after it; then no box is left and the panel is idle,
// Free Memory disabled even when the script left a block held.
void expectRunEnds(const Product& p, LONG mark, const std::string& what, DWORD ms = kActionMs) {
    HWND label = statusLabel(p);
    require(waitUntil([&] { return p.textsSince(mark, label).size() >= 2; }, ms),
            what + ": the run ends and the label is set back");
    p.settle();
    checkText(join(p.textsSince(mark, label)), sequence({text::scriptRunning, text::status}),
              what + ": the label during and after the run");
    check(!p.waitBox(p.main, 0), what + ": no box is left open");
    checkPanel(p, kIdle, "after " + what);
}

void checkWhileRunning(const Product& p, HWND box, const std::string& when) {
    checkPanel(p, kScriptRunning, when, box);
    checkText(windowText(statusLabel(p)), T(text::scriptRunning), "the label " + when);
    check(enabled(p, kAccessToggle) && enabled(p, kAccessOnce), "both access-load buttons are enabled " + when);
}

}  // namespace

// ---- The dialog ----------------------------------------------------------------------------

void scriptDialog() {
    ScriptFolder folder;
    Product p;
    startToMainWindow(p, false);
    const std::string status = windowText(statusLine(p));

    // Cancelled: nothing is shown or changed; the framing still puts the label back.
    LONG mark = p.textMark();
    p.click(kScript);
    HWND dialog = waitFileDialog(p);
    checkWhileRunning(p, dialog, "while the open dialog is open");
    check(!IsWindowEnabled(p.main), "the main window is disabled while the dialog is open");
    dismiss(p, dialog, IDCANCEL, "the open dialog");
    expectRunEnds(p, mark, "a cancelled dialog");
    check(statuses(p, mark).empty() && windowText(statusLine(p)) == status, "a cancel leaves the status line alone");

    // A name that does not exist: the dialog itself says so and stays open.
    mark = p.textMark();
    p.command(kMenuScript);
    dialog = waitFileDialog(p);
    typeFileName(dialog, folder.file("missing.evk"));
    p.answer(dialog, IDOK);
    HWND complaint = p.waitBox(dialog);
    check(complaint && isOpen(dialog), "a missing name gets the dialog's own box, and the dialog stays open");
    if (complaint) dismiss(p, complaint, IDOK, "the dialog's box");
    dismiss(p, dialog, IDCANCEL, "the open dialog");
    expectRunEnds(p, mark, "a missing name, then cancel");
    check(statuses(p, mark).empty(), "a missing name leaves the status line alone");

    // A file that passes the dialog but cannot be opened: held open with no
    // sharing. (Wine's dialog lets it through; Windows' own dialog may warn of
    // the sharing violation itself, since the program does not ask it not to.)
    folder.write("locked.evk", "EVKScript\npopup Locked\n");
    HWND box = nullptr;
    {
        const Lock lock(folder.file("locked.evk"));
        mark = startScript(p, folder, "locked.evk");
        box = expectBox(p, text::error, loadFailure(folder.file("locked.evk")), "error", "the load failure");
    }
    dismiss(p, box, IDOK, "the load failure");
    expectRunEnds(p, mark, "a file that cannot be opened");
    check(statuses(p, mark).empty() && windowText(statusLine(p)) == status,
          "a load failure leaves the status line alone");

    // A path longer than 255 characters still opens: the dialog has room for
    // any path the system gives, so a long one is not refused on its length.
    const std::string name = "long-ab.evk";
    require(folder.path().size() < 200, "the temporary folder leaves room for a long path");
    const std::string inner(258 - name.size() - 1 - folder.path().size() - 1, 'x');
    const std::string deep = folder.folder(inner);
    folder.write(inner + "\\" + name, "EVKScript\npopup Long\n");
    mark = p.textMark();
    p.click(kScript);
    chooseFile(p, waitFileDialog(p), deep, name);
    box = expectBox(p, text::confirmCaption, T(text::confirmScript), "question",
                    "the confirmation of a script with a 258-character path", {IDYES, IDNO});
    dismiss(p, box, IDNO, "the confirmation");
    expectRunEnds(p, mark, "a script with a long path, answered No");
    check(statuses(p, mark).empty(), "answering No leaves the status line alone");
    quitAndExpectStatus0(p);
}

// ---- The magic line ---------------------------------------------------------------------------

void scriptMagicLine() {
    enum Outcome { NotAScript, ConfirmedNo, ConfirmedYes };
    struct Row {
        const char* name;
        std::string bytes;
        Outcome outcome;
    };
    const Row rows[] = {
        {"lower case", "evkscript\npopup X\n", NotAScript},
        {"a space before the line end", "EVKScript \npopup X\n", NotAScript},
        {"a byte-order mark", "\xEF\xBB\xBF" "EVKScript\npopup X\n", NotAScript},
        {"an empty file", "", NotAScript},
        {"no line end", "EVKScript", NotAScript},
        {"CR LF, answered No", "EVKScript\r\npopup X\r\n", ConfirmedNo},
        {"the magic line alone, answered Yes", "EVKScript\n", ConfirmedYes},
    };
    ScriptFolder folder;
    Product p;
    startToMainWindow(p, false);
    int n = 0;
    for (const Row& row : rows) {
        const std::string name = "magic-" + std::to_string(++n) + ".evk";
        folder.write(name, row.bytes);
        const std::string status = windowText(statusLine(p));
        const LONG mark = startScript(p, folder, name);
        const std::string what = std::string("a first line with ") + row.name;
        if (row.outcome == NotAScript) {
            HWND box = expectBox(p, text::illegalFile, T(text::notEvk), "error", "the box for " + what);
            dismiss(p, box, IDOK, "the box");
        } else {
            HWND box = expectBox(p, text::confirmCaption, T(text::confirmScript), "question",
                                 "the confirmation for " + what, {IDYES, IDNO});
            dismiss(p, box, row.outcome == ConfirmedYes ? IDYES : IDNO, "the confirmation");
        }
        expectRunEnds(p, mark, what);
        if (row.outcome == ConfirmedYes) {
            checkText(statuses(p, mark), T(text::completed), "status after " + what);
        } else {
            check(statuses(p, mark).empty() && windowText(statusLine(p)) == status,
                  "the status line is left alone after " + what);
        }
    }
    quitAndExpectStatus0(p);
}

// ---- Pop-ups and the panel while a script runs ------------------------------------------------------

void scriptPopups() {
    ScriptFolder folder;
    // A pop-up's text is its line's last token with the line end; a CR LF line
    // end reads as LF. "end" right before the line end is no command, "end " is.
    folder.write("popups.evk",
                 "EVKScript\n"
                 "popup Hello\n"
                 "popup Hello world\n"
                 "popup Windows_line_end\r\n"
                 "# popup Comment\n"
                 "end\n"
                 "popup After_end\n"
                 "end \n"
                 "popup Never\n");
    const char* const popups[] = {"Hello\n", "Hello", "Windows_line_end\n", "After_end\n"};
    Product p;
    startToMainWindow(p, false);
    const std::string status = windowText(statusLine(p));
    const LONG mark = startScript(p, folder, "popups.evk", From::Menu);
    confirm(p, "popups.evk");
    int n = 0;
    for (const char* text : popups) {
        const std::string name = "pop-up " + std::to_string(++n);
        HWND box = expectPopup(p, text, name);
        if (n == 1) {
            checkWhileRunning(p, box, "while a pop-up is open");
            check(!IsWindowEnabled(p.main), "the main window is disabled while a pop-up is open");
            check(statuses(p, mark).empty() && windowText(statusLine(p)) == status,
                  "a pop-up leaves the status line alone");
        }
        dismiss(p, box, IDOK, name);
    }
    expectRunEnds(p, mark, "a script of pop-ups");
    checkText(statuses(p, mark), T(text::completed), "\"end \" shows Completed and ends the run");
    quitAndExpectStatus0(p);
}

// ---- sleep, asktoquit, run -----------------------------------------------------------------

void scriptFlow() {
    ScriptFolder folder;
    folder.write("sleep.evk", "EVKScript\nsleep 1\n");
    folder.write("asktoquit.evk", "EVKScript\nsleep 0\nasktoquit \npopup Never\n");
    // Found only in the script's folder, and it writes where it runs.
    folder.write("marker.bat", "@echo off\r\necho ran> marker.txt\r\n");
    folder.write("run.evk", "EVKScript\nrun marker.bat\npopup After_run\n");
    folder.write("run-missing.evk", "EVKScript\nrun no-such-command-here\npopup After_run\n");
    Product p;
    startToMainWindow(p, false);

    LONG mark = startScript(p, folder, "sleep.evk");
    confirm(p, "sleep.evk");
    expectRunEnds(p, mark, "sleep 1", kActionMs + 1000);
    checkText(statuses(p, mark), sequence({text::pause, text::execute, text::completed}),
              "sleep shows Pause, then Execute; the end of the file shows Completed");

    mark = startScript(p, folder, "asktoquit.evk");
    confirm(p, "asktoquit.evk");
    HWND box = expectBox(p, text::error, T(text::error), "error", "the asktoquit box");
    dismiss(p, box, IDOK, "the asktoquit box");
    expectRunEnds(p, mark, "asktoquit");
    checkText(statuses(p, mark), sequence({text::pause, text::execute}),
              "asktoquit ends the run and leaves the status line as it was");

    mark = startScript(p, folder, "run.evk");
    confirm(p, "run.evk");
    box = expectPopup(p, "After_run\n", "the pop-up after run");
    checkText(statuses(p, mark), T(text::externalCommand), "status after run");
    waitUntil([&] { return folder.read("marker.txt") == "ran\r\n"; }, kActionMs);
    check(folder.exists("marker.txt"), "run starts the batch file in the script's folder, and it runs there");
    checkText(folder.read("marker.txt"), "ran\r\n", "what the batch file wrote");
    dismiss(p, box, IDOK, "the pop-up");
    expectRunEnds(p, mark, "run of a batch file");

    // Picked by typing its whole path, from another folder: "run" still finds
    // the batch file beside the script.
    ScriptFolder other;
    other.write("marker.bat", "@echo off\r\necho there> marker.txt\r\n");
    other.write("run.evk", "EVKScript\nrun marker.bat\npopup After_run\n");
    mark = p.textMark();
    p.click(kScript);
    HWND dialog = waitFileDialog(p);
    typeFileName(dialog, other.file("run.evk"));
    p.answer(dialog, IDOK);
    require(waitUntil([&] { return !isOpen(dialog); }, kActionMs), "the open dialog closes on a whole path");
    confirm(p, "run.evk by its whole path");
    box = expectPopup(p, "After_run\n", "the pop-up after run, picked by its whole path");
    // Under Wine the batch file's output can reach the file a moment after
    // the command has ended: read once it is there, or at the deadline.
    waitUntil([&] { return other.read("marker.txt") == "there\r\n"; }, kActionMs);
    checkText(other.read("marker.txt"), "there\r\n", "run works in the folder of a script picked by its whole path");
    dismiss(p, box, IDOK, "the pop-up");
    expectRunEnds(p, mark, "run of a script picked by its whole path");

    mark = startScript(p, folder, "run-missing.evk");
    confirm(p, "run-missing.evk");
    box = expectPopup(p, "After_run\n", "the pop-up after a command that does not exist");
    checkText(statuses(p, mark), T(text::externalCommand), "status after a command that does not exist");
    dismiss(p, box, IDOK, "the pop-up");
    expectRunEnds(p, mark, "run of a command that does not exist");
    quitAndExpectStatus0(p);
}

// ---- release and free -----------------------------------------------------------------------------

void scriptReleases() {
    struct Row {
        const char* name;
        const char* lines;
        std::vector<Tr> statuses;
        bool refused;  // ends with "Cannot free unallocated memory block."
    };
    const Row rows[] = {
        {"release after an allocation, then again", "kallocate 64\nrelease \nrelease \npopup Never\n",
         {text::allocating, text::freeing, text::freeing}, true},
        {"release with nothing held", "release \npopup Never\n", {text::freeing}, true},
        {"free with nothing held", "free \npopup Never\n", {text::freeing}, true},
        {"release right before the line end, skipped", "kallocate 64\nrelease\nfree \nfree \n",
         {text::allocating, text::freeing, text::freeing}, true},
        {"free after an allocation", "allocate 4096\nfree \n", {text::memoryAllocating, text::freeing, text::completed},
         false},
    };
    ScriptFolder folder;
    Product p;
    startToMainWindow(p, false);
    int n = 0;
    for (const Row& row : rows) {
        const std::string name = "release-" + std::to_string(++n) + ".evk";
        folder.write(name, std::string("EVKScript\n") + row.lines);
        const LONG mark = startScript(p, folder, name);
        confirm(p, name);
        if (row.refused) {
            HWND box = expectBox(p, text::error, T(text::cannotFree), "error", std::string("the box for ") + row.name);
            dismiss(p, box, IDOK, "the box");
        }
        expectRunEnds(p, mark, row.name);
        checkText(statuses(p, mark), sequence(row.statuses), std::string("statuses of ") + row.name);
    }
    quitAndExpectStatus0(p);
}

// ---- Allocations that fail ------------------------------------------------------------------------

void scriptFailedAllocations() {
    struct Row {
        const char* line;
        Tr status, failure;
    };
    const Row rows[] = {
        {"mallocate 99999999", text::allocating, text::allocationFailed},  // beyond the commit limit
        {"kallocate -1", text::allocating, text::allocationFailed},
        {"allocate -1", text::memoryAllocating, text::allocationFailedDot},
    };
    ScriptFolder folder;
    Product p;
    startToMainWindow(p, false);
    int n = 0;
    for (const Row& row : rows) {
        const std::string name = "fail-" + std::to_string(++n) + ".evk";
        folder.write(name, std::string("EVKScript\n") + row.line + "\npopup Never\n");
        const LONG mark = startScript(p, folder, name);
        confirm(p, name);
        HWND box = expectBox(p, text::error, T(row.failure), "error", std::string("the failure of ") + row.line);
        dismiss(p, box, IDOK, "the failure box");
        expectRunEnds(p, mark, row.line);
        checkText(statuses(p, mark), T(row.status), std::string("the status stays after ") + row.line);
    }
    quitAndExpectStatus0(p);
}

// ---- Memory -----------------------------------------------------------------------------------------

namespace {

// The script takes 256 MB, shows Held, releases, shows Released.
constexpr char kHoldAndRelease[] = "popup Held\nrelease \npopup Released\n";

struct HeldRun {
    SIZE_T before = 0, held = 0;  // working set at the confirmation, and while Held is open
    LONG mark = 0;
    HWND box = nullptr;           // Held, still open
};

HeldRun startHeldRun(const Product& p, const ScriptFolder& folder, const std::string& name) {
    HeldRun run;
    run.mark = startScript(p, folder, name);
    HWND box = expectBox(p, text::confirmCaption, T(text::confirmScript), "question", "the confirmation",
                         {IDYES, IDNO});
    run.before = p.workingSet();  // the dialog is closed: what it loaded counts already
    dismiss(p, box, IDYES, "the confirmation");
    run.box = expectPopup(p, "Held\n", "Held");
    run.held = p.workingSet();
    return run;
}

// Closes Held; the release follows; a block that was resident leaves the working set.
void finishHeldRun(const Product& p, const HeldRun& run, const Tr& allocationStatus, const std::string& mode,
                   bool resident) {
    const SIZE_T peak = p.workingSet();
    dismiss(p, run.box, IDOK, "Held");
    HWND released = expectPopup(p, "Released\n", "Released");
    if (resident) {
        check(waitUntil([&] { return p.workingSet() + 200 * kMB <= peak; }, kActionMs),
              "release gives the block back" + mode);
    }
    dismiss(p, released, IDOK, "Released");
    expectRunEnds(p, run.mark, "a script that holds and releases" + mode);
    checkText(statuses(p, run.mark), sequence({allocationStatus, text::freeing, text::completed}),
              "statuses of a script that holds and releases" + mode);
}

}  // namespace

void scriptNormalMemory() {
    const std::string mode = " (normal mode)";
    ScriptFolder folder;
    folder.write("untouched.evk", std::string("EVKScript\nmallocate 256\n") + kHoldAndRelease);
    folder.write("rewritten.evk", std::string("EVKScript\nallocate 268435456\n") + kHoldAndRelease);
    folder.write("left-held.evk", "EVKScript\nkallocate 65536\n");
    Product p;
    startToMainWindow(p, false);

    HeldRun run = startHeldRun(p, folder, "untouched.evk");
    checkText(statuses(p, run.mark), T(text::allocating), "mallocate shows Allocating... and it stays");
    check(run.held < run.before + 8 * kMB, "a normal-mode block is not touched when taken" + mode);
    finishHeldRun(p, run, text::allocating, mode, false);

    // The access load's ticks go on while a pop-up is open, and write the script's block.
    p.click(kAccessToggle);
    run = startHeldRun(p, folder, "rewritten.evk");
    checkText(statuses(p, run.mark), T(text::memoryAllocating), "allocate shows Memory allocating and it stays");
    check(waitUntil([&] { return p.workingSet() >= run.before + 240 * kMB; }, kActionMs) && isOpen(run.box),
          "the access load writes the script's block while its pop-up is open" + mode);
    finishHeldRun(p, run, text::memoryAllocating, mode, true);

    // A block the script leaves stays held, and the access load still writes it.
    const SIZE_T before = p.workingSet();
    const LONG mark = startScript(p, folder, "left-held.evk");
    confirm(p, "left-held.evk");
    expectRunEnds(p, mark, "a script that leaves a block held");
    checkText(statuses(p, mark), sequence({text::allocating, text::completed}), "statuses of left-held.evk");
    check(waitUntil([&] { return p.workingSet() >= before + 60 * kMB; }, kActionMs),
          "the access load writes a block that a finished script left" + mode);
    p.click(kAccessToggle);
    quitAndExpectStatus0(p);
}

void scriptPhysicalMemory() {
    const std::string mode = " (physical mode)";
    ScriptFolder folder;
    folder.write("held.evk", std::string("EVKScript\nmallocate 256\n") + kHoldAndRelease);
    folder.write("too-large.evk", "EVKScript\nmallocate 99999999\npopup Never\n");
    Product p("/p");
    startToMainWindow(p, true);

    const HeldRun run = startHeldRun(p, folder, "held.evk");
    check(run.held >= run.before + 240 * kMB, "a physical-mode block is resident at once" + mode);
    checkPanel(p, kScriptRunning, "while the script holds a block" + mode, run.box);
    finishHeldRun(p, run, text::allocating, mode, true);

    const LONG mark = startScript(p, folder, "too-large.evk");
    confirm(p, "too-large.evk");
    HWND box = expectBox(p, text::error, T(text::allocationFailed), "error", "the failure" + mode);
    dismiss(p, box, IDOK, "the failure box");
    expectRunEnds(p, mark, "a failed allocation" + mode);
    checkText(statuses(p, mark), T(text::allocating), "the status stays after a failed allocation" + mode);
    PostMessageA(p.main, WM_CLOSE, 0, 0);
    checkExit(p, 0, "closing the window ends the program with status 0" + mode);
}

// ---- The examples ---------------------------------------------------------------------------------

void scriptExamples() {
    struct Row {
        const char* file;
        std::vector<const char*> popups;
        std::vector<Tr> statuses;
        DWORD seconds;  // how long it pauses in all
    };
    const Row rows[] = {
        {"hold-64mb.evk", {"Holding_64_MB_for_10_seconds\n", "Released\n"},
         {text::allocating, text::pause, text::execute, text::freeing, text::completed}, 10},
        {"staircase.evk", {"Staircase_done\n"},
         {text::allocating, text::pause, text::execute, text::allocating, text::pause, text::execute,
          text::allocating, text::pause, text::execute, text::allocating, text::pause, text::execute, text::freeing,
          text::completed},
         12},
        {"command-under-load.evk", {"Command_finished\n"},
         {text::allocating, text::externalCommand, text::freeing, text::completed}, 0},
    };
    char examples[MAX_PATH];
    GetFullPathNameA(TORVANE_EXAMPLES_DIR, MAX_PATH, examples, nullptr);  // under Wine a Unix path becomes Z:\...
    ScriptFolder folder;
    for (const char* name : {"hold-64mb.evk", "staircase.evk", "command-under-load.evk", "under-load.bat"}) {
        std::ifstream in(std::string(examples) + "\\" + name, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        require(!bytes.empty(), std::string("the example can be read: ") + name);
        folder.write(name, bytes);
    }
    Product p;
    startToMainWindow(p, false);
    for (const Row& row : rows) {
        const LONG mark = startScript(p, folder, row.file);
        confirm(p, row.file);
        const DWORD ms = kActionMs + row.seconds * 1000;
        for (const char* text : row.popups) {
            HWND box = expectPopup(p, text, std::string(row.file) + "'s pop-up", ms);
            dismiss(p, box, IDOK, "the pop-up");
        }
        expectRunEnds(p, mark, row.file, ms);
        checkText(statuses(p, mark), sequence(row.statuses), std::string("statuses of ") + row.file);
    }
    check(folder.exists("under-load.log"), "under-load.bat wrote under-load.log beside the script");
    quitAndExpectStatus0(p);
}

// ---- In Japanese ----------------------------------------------------------------------------------

void scriptJapanese() {
    ScriptFolder folder;
    folder.write("not-a-script.evk", "evkscript\n");
    folder.write("release.evk", "EVKScript\nsleep 0\nrelease \n");
    folder.write("locked.evk", "EVKScript\n");
    Product p;
    startToMainWindow(p, false);

    LONG mark = startScript(p, folder, "not-a-script.evk");
    HWND box = expectBox(p, text::illegalFile, T(text::notEvk), "error", "the box for a wrong first line");
    dismiss(p, box, IDOK, "the box");
    expectRunEnds(p, mark, "a wrong first line");

    {
        const Lock lock(folder.file("locked.evk"));
        mark = startScript(p, folder, "locked.evk");
        box = expectBox(p, text::error, loadFailure(folder.file("locked.evk")), "error", "the load failure");
    }
    dismiss(p, box, IDOK, "the load failure");
    expectRunEnds(p, mark, "a file that cannot be opened");

    mark = startScript(p, folder, "release.evk");
    confirm(p, "release.evk");
    box = expectBox(p, text::error, T(text::cannotFree), "error", "the release box");
    checkWhileRunning(p, box, "while a box of the script is open");
    dismiss(p, box, IDOK, "the release box");
    expectRunEnds(p, mark, "a release with nothing held");
    checkText(statuses(p, mark), sequence({text::pause, text::execute, text::freeing}), "statuses in Japanese");
    quitAndExpectStatus0(p);
}
