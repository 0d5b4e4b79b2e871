// The Windows side of the script runner's seam: the file dialog, message
// boxes, the status line, Sleep and system().
#include <windows.h>
#include <commdlg.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "load/load_state.h"
#include "script_command.h"
#include "script_runner.h"
#include "shell/app_state.h"
#include "shell/text_buffers.h"

namespace {

class WinScriptHost final : public ScriptHost {
public:
    WinScriptHost(HWND owner, HWND status) : owner_(owner), status_(status) {}

    Choice chooseFile(std::string& path) override {
        char file[256] = "";
        char fileTitle[MAX_PATH] = "";
        OPENFILENAMEA ofn = {};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = owner_;
        ofn.lpstrFilter = "EVK Script File\0*.evk\0All file\0*.*\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = file;
        ofn.nMaxFile = sizeof file;
        // Not shown by the dialog; it names the file when the path does not fit.
        ofn.lpstrFileTitle = fileTitle;
        ofn.nMaxFileTitle = sizeof fileTitle;
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
        if (GetOpenFileNameA(&ofn)) {
            path = file;
            return path.empty() ? Choice::Cancelled : Choice::Chosen;
        }
        if (CommDlgExtendedError() == 0) return Choice::Cancelled;
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
