// The Windows side of the script runner's seam: the file dialog, message
// boxes, the status line, Sleep and system().
#include <windows.h>
#include <commdlg.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "load/load_state.h"
#include "script_command.h"
#include "script_runner.h"
#include "shell/app_state.h"
#include "shell/system_library.h"
#include "shell/text_buffers.h"

namespace {

// The longest path the system hands out, in characters.
constexpr DWORD kPathCapacity = 32768;

// The common dialogs are loaded when the file dialog is first needed: linked
// at start they cost tens of milliseconds before the window shows.
struct CommonDialogs {
    BOOL(WINAPI* getOpenFileName)(LPOPENFILENAMEA) = nullptr;
    DWORD(WINAPI* extendedError)() = nullptr;
};

const CommonDialogs& commonDialogs() {
    static const CommonDialogs dialogs{
        systemProcedure<decltype(CommonDialogs::getOpenFileName)>("comdlg32.dll", "GetOpenFileNameA"),
        systemProcedure<decltype(CommonDialogs::extendedError)>("comdlg32.dll", "CommDlgExtendedError")};
    return dialogs;
}

class WinScriptHost final : public ScriptHost {
public:
    WinScriptHost(HWND owner, HWND status) : owner_(owner), status_(status) {}

    Choice chooseFile(std::string& path) override {
        // Room for any path the dialog can return: a long path then opens, or
        // fails to open with its name shown, instead of failing in the dialog.
        std::vector<char> file(kPathCapacity, '\0');
        char fileTitle[MAX_PATH] = "";
        OPENFILENAMEA ofn = {};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = owner_;
        ofn.lpstrFilter = "EVK Script File\0*.evk\0All file\0*.*\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file.data();
        ofn.nMaxFile = kPathCapacity;
        // Not shown by the dialog; it names the file should the dialog fail.
        ofn.lpstrFileTitle = fileTitle;
        ofn.nMaxFileTitle = sizeof fileTitle;
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
        const CommonDialogs& dialogs = commonDialogs();
        if (!dialogs.getOpenFileName || !dialogs.extendedError) return Choice::Failed;
        if (dialogs.getOpenFileName(&ofn)) {
            path = file.data();
            if (path.empty()) return Choice::Cancelled;
            // Windows' dialog leaves the current folder at the script's, where
            // "run" looks for its commands; Wine's does not when a whole path
            // is typed, so the folder is entered here (a no-op on Windows).
            if (ofn.nFileOffset > 0 && ofn.nFileOffset < path.size()) {
                SetCurrentDirectoryA(path.substr(0, ofn.nFileOffset).c_str());
            }
            return Choice::Chosen;
        }
        if (dialogs.extendedError() == 0) return Choice::Cancelled;
        path = fileTitle;
        return Choice::Failed;
    }

    void showStatus(int stringId) override { SetWindowTextA(status_, loadText(stringId, textBuffer)); }

    std::string loadString(int stringId) override {
        char text[kTextBufferSize];
        return loadText(stringId, text);
    }

    int messageBox(const char* text, int captionId, unsigned style) override {
        return MessageBoxA(owner_, text, loadText(captionId, captionBuffer), style);
    }

    void sleepMilliseconds(std::uint64_t milliseconds) override {
        // Sleep takes 32 bits and treats 0xFFFFFFFF as forever: longer
        // pauses are served in pieces.
        constexpr std::uint64_t kLongest = 0xFFFFFFFEu;
        do {
            const std::uint64_t piece = milliseconds < kLongest ? milliseconds : kLongest;
            Sleep(static_cast<DWORD>(piece));
            milliseconds -= piece;
        } while (milliseconds != 0);
    }

    void runCommand(const char* command) override { std::system(command); }

private:
    HWND owner_;
    HWND status_;
};

}  // namespace

int ScriptRunner(HWND owner, HWND status) {
    WinScriptHost host(owner, status);
    return runScript(host, loadBlock, platformAllocator(), physicalMode);
}
