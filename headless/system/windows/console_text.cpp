// Windows: texts are UTF-8 inside the program, as on Linux. A console is
// given UTF-16, which it shows whatever its code page; redirected output is
// converted to the console's output code page (what "type" there shows), or
// to the ANSI code page when there is no console. The script runner's texts
// and a script's bytes are in the ANSI code page, as the window reads them.
#include <windows.h>

#include "headless/runs/run_control.h"
#include "headless/system/console_text.h"
#include "headless/system/windows/system_text.h"
#include "shell/string_table.h"

namespace {
TextLanguage userLanguage() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? TextLanguage::Japanese
                                                                      : TextLanguage::English;
}

std::wstring widen(const std::string& text, UINT codePage) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string narrow(const std::wstring& wide, UINT codePage) {
    if (wide.empty()) return {};
    const int length =
        WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
    return text;
}

bool closedAtStart[2] = {false, false};  // output, error
std::string lossReason;

void noteLoss(Stream stream, const std::string& why) {
    if (lossReason.empty()) lossReason = (stream == Stream::Out ? "standard output: " : "standard error: ") + why;
}

// A pipe set to PIPE_NOWAIT (by whoever shares it with us): WriteFile
// succeeds there having written nothing while the pipe is full, which is a
// reader to wait for, not output lost.
bool isNonBlockingPipe(HANDLE file) {
    DWORD state = 0;
    return GetFileType(file) == FILE_TYPE_PIPE &&
           GetNamedPipeHandleStateA(file, &state, nullptr, nullptr, nullptr, nullptr, 0) && (state & PIPE_NOWAIT);
}

// Writes all `count` units, as many calls as it takes; a write that fails
// or takes nothing is output lost, unless `mayWaitForRoom`. Such a pipe
// cannot be waited on for room, so it is tried again every 10 ms while the
// run may wait for its reader.
template <typename Unit, typename WriteSome>
void writeWhole(Stream stream, const Unit* units, std::size_t count, bool mayWaitForRoom, WriteSome writeSome) {
    std::size_t done = 0;
    while (done < count) {
        DWORD written = 0;
        if (!writeSome(units + done, static_cast<DWORD>(count - done), &written)) {
            noteLoss(stream, systemText(GetLastError()));
            return;
        }
        if (written == 0 && mayWaitForRoom) {
            if (outputMayWaitOn()) {
                Sleep(10);
                continue;
            }
            noteLoss(stream, "full, and its reader took nothing in the 2 s a stopping run waits for it");
            return;
        }
        if (written == 0) {
            noteLoss(stream, "nothing written");
            return;
        }
        done += written;
    }
}

void writeConsole(Stream stream, HANDLE console, const std::string& text) {
    const std::wstring wide = widen(text, CP_UTF8);
    writeWhole(stream, wide.data(), wide.size(), false, [console](const wchar_t* units, DWORD count, DWORD* written) {
        return WriteConsoleW(console, units, count, written, nullptr);
    });
}

void writeFile(Stream stream, HANDLE file, const std::string& text) {
    UINT page = GetConsoleOutputCP();
    if (page == 0) page = GetACP();  // no console
    const std::string bytes = page == CP_UTF8 ? text : narrow(widen(text, CP_UTF8), page);
    writeWhole(stream, bytes.data(), bytes.size(), isNonBlockingPipe(file),
               [file](const char* units, DWORD count, DWORD* written) {
                   return WriteFile(file, units, count, written, nullptr);
               });
}

void write(Stream stream, const std::string& text) {
    if (closedAtStart[stream == Stream::Out ? 0 : 1]) {
        noteLoss(stream, "closed when the run started");
        return;
    }
    HANDLE handle = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode;
    if (GetConsoleMode(handle, &mode)) {
        writeConsole(stream, handle, text);
    } else {
        writeFile(stream, handle, text);
    }
}
}  // namespace

std::string localText(int id) {
    static const TextLanguage language = userLanguage();
    return tableText(id, language);
}

std::string runnerText(int id) { return narrow(widen(localText(id), CP_UTF8), CP_ACP); }

std::string fromScript(const std::string& bytes) { return narrow(widen(bytes, CP_ACP), CP_UTF8); }

void openMissingStreams() {
    const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
        const HANDLE handle = GetStdHandle(streams[i]);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) continue;
        if (i > 0) closedAtStart[i - 1] = true;
        // Inheritable, so that commands find the null device there too, as
        // a Linux command inherits the reopened /dev/null.
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        const HANDLE null = CreateFileA("NUL", i == 0 ? GENERIC_READ : GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        if (null != INVALID_HANDLE_VALUE) SetStdHandle(streams[i], null);
    }
}

void writeLine(Stream stream, const std::string& text) { write(stream, text + "\r\n"); }

void writePrompt(const std::string& text) { write(Stream::Err, text); }

bool outputLost() { return !lossReason.empty(); }

std::string outputLossReason() { return lossReason; }

void checkOutputReader() {
    // Windows has no way to ask a pipe's writing end whether the reader is
    // still there short of writing; the next line's WriteFile fails with
    // ERROR_NO_DATA then, and that ends the run.
}
