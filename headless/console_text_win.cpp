// Windows: the texts are in the ANSI code page. A console is given UTF-16,
// which it shows whatever its code page; redirected output is converted to the
// console's output code page (what "type" there shows), or stays in the ANSI
// code page when there is no console.
#include <windows.h>

#include "console_text.h"
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

void write(Stream stream, const std::string& text) {
    HANDLE handle = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode;
    DWORD done;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring wide = widen(text, CP_ACP);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
        return;
    }
    const UINT consolePage = GetConsoleOutputCP();
    const std::string bytes =
        consolePage != 0 && consolePage != GetACP() ? narrow(widen(text, CP_ACP), consolePage) : text;
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}
}  // namespace

std::string localText(int id) {
    static const TextLanguage language = userLanguage();
    return narrow(widen(tableText(id, language), CP_UTF8), CP_ACP);
}

void writeLine(Stream stream, const std::string& text) { write(stream, text + "\r\n"); }

void writePrompt(const std::string& text) { write(Stream::Err, text); }
