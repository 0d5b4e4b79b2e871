// Windows: the script through a handle of its own, never inheritable; `why`
// is UTF-8, the path in it the caller's to convert.
#include <windows.h>

#include "headless/system/script_file.h"
#include "headless/system/windows/system_text.h"

namespace {
class HandleSource final : public ScriptSource {
public:
    explicit HandleSource(HANDLE file) : file_(file) {}
    ~HandleSource() override { CloseHandle(file_); }
    long read(unsigned char* into, std::size_t max) override {
        DWORD got = 0;
        if (ReadFile(file_, into, static_cast<DWORD>(max), &got, nullptr)) return static_cast<long>(got);
        // The writer of a pipe closing its end is the end of the script.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }

private:
    HANDLE file_;
};
}  // namespace

std::unique_ptr<ScriptSource> openScriptFile(const std::string& path, std::string& why) {
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
    return std::make_unique<HandleSource>(file);
}
