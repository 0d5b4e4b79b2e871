// Windows: the script through a handle of its own, never inheritable; `why`
// is UTF-8, the path in it the caller's to convert.
#include <windows.h>

#include "headless/system/script_file.h"
#include "headless/system/windows/system_text.h"

namespace {
class HandleFile final : public ScriptFile {
public:
    explicit HandleFile(HANDLE file) : file_(file), type_(GetFileType(file)) {}
    ~HandleFile() override { CloseHandle(file_); }
    long read(unsigned char* into, std::size_t max) override {
        DWORD got = 0;
        if (ReadFile(file_, into, static_cast<DWORD>(max), &got, nullptr)) return static_cast<long>(got);
        // The writer of a pipe closing its end is the end of the script.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    bool rewindable() const override { return type_ == FILE_TYPE_DISK; }
    bool rewind() override {
        LARGE_INTEGER start = {};
        return rewindable() && SetFilePointerEx(file_, start, nullptr, FILE_BEGIN);
    }
    bool waitReadable(std::uint32_t milliseconds) override {
        if (type_ != FILE_TYPE_PIPE) return true;  // files and consoles: a read comes back
        // A pipe has no wait of its own for data: look every 10 ms.
        for (std::uint32_t waited = 0;; waited += 10) {
            DWORD available = 0;
            // A broken pipe is its end: a read returns at once.
            if (!PeekNamedPipe(file_, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
            if (waited >= milliseconds) return false;
            Sleep(10);
        }
    }

private:
    HANDLE file_;
    DWORD type_;
};
}  // namespace

std::unique_ptr<ScriptFile> openScriptFile(const std::string& path, std::string& why) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "it is a folder, not a script file";
        return nullptr;
    }
    // Handles are not inherited unless asked for: commands never get this one.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = systemText(GetLastError());
        return nullptr;
    }
    return std::make_unique<HandleFile>(file);
}
