// Windows: the new copy made with CREATE_NEW (which never opens an existing
// file or follows a link at its name) and moved over the target with
// MOVEFILE_REPLACE_EXISTING, which replaces a link itself; `why` is UTF-8,
// the path in it the caller's to convert.
#include <windows.h>

#include "headless/system/replace_file.h"
#include "headless/system/windows/system_text.h"

namespace {
PathKind kindOfHandle(HANDLE file) {
    switch (GetFileType(file)) {
    case FILE_TYPE_CHAR: return PathKind::Device;  // NUL, CON, COM1
    case FILE_TYPE_PIPE: return PathKind::Fifo;    // \\.\pipe\name
    case FILE_TYPE_DISK: break;
    default: return PathKind::Other;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) return PathKind::Other;
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::Link;
    return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

// Opened for its attributes only; a folder needs BACKUP_SEMANTICS to be
// opened at all, and OPEN_REPARSE_POINT keeps a link from being followed.
HANDLE openForFacts(const std::string& path, bool followLink) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

PathKind kindAt(const std::string& path, bool followLink) {
    HANDLE file = openForFacts(path, followLink);
    if (file == INVALID_HANDLE_VALUE) return PathKind::Missing;
    const PathKind kind = kindOfHandle(file);
    CloseHandle(file);
    return kind;
}

const char* kindWords(PathKind kind) {
    switch (kind) {
    case PathKind::Folder: return "it is a folder, not a file";
    case PathKind::Fifo: return "it is a pipe, not a file";
    case PathKind::Device: return "it is a device, not a file";
    default: return "it is not a regular file";
    }
}
}  // namespace

bool replaceFile(const std::string& path, std::string_view content, Durability durability, std::optional<unsigned>,
                 std::string& why) {
    const std::size_t slash = path.find_last_of("/\\:");
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        why = kindWords(PathKind::Folder);
        return false;
    }
    const PathKind existing = kindAt(path, false);
    if (existing != PathKind::Missing && existing != PathKind::File && existing != PathKind::Link) {
        why = kindWords(existing);
        return false;
    }
    const std::string stem = path.substr(0, slash == std::string::npos ? 0 : slash + 1) + "." +
                             name.substr(0, 100) + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-";
    static unsigned serial = 0;
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = stem + std::to_string(serial++);
        // Not inheritable: a command started meanwhile never holds it open.
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        why = systemText(GetLastError());
        return false;
    }
    const auto fail = [&](DWORD error, const char* step) {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        DeleteFileA(temporary.c_str());
        why = std::string(step) + systemText(error);
        return false;
    };
    while (!content.empty()) {
        const DWORD piece = content.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(content.size());
        DWORD wrote = 0;
        if (!WriteFile(file, content.data(), piece, &wrote, nullptr) || wrote == 0) return fail(GetLastError(), "");
        content.remove_prefix(wrote);
    }
    if (durability == Durability::Disk && !FlushFileBuffers(file)) return fail(GetLastError(), "");
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    // WRITE_THROUGH: MoveFileEx returns once the move is on the disk; a
    // move within one folder costs next to nothing more for it.
    if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return fail(GetLastError(), "cannot move the new copy over it: ");
    }
    return true;
}

PathFacts pathFacts(const std::string& path) {
    PathFacts facts;
    facts.kind = facts.leadsTo = kindAt(path, false);
    if (facts.kind == PathKind::Link) facts.leadsTo = kindAt(path, true);
    return facts;
}

namespace {
bool sameFileInformation(const BY_HANDLE_FILE_INFORMATION& first, const BY_HANDLE_FILE_INFORMATION& second) {
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

bool informationOf(const std::string& path, BY_HANDLE_FILE_INFORMATION& information) {
    HANDLE file = openForFacts(path, true);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool read = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    return read;
}
}  // namespace

bool sameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION first, second;
    return informationOf(a, first) && informationOf(b, second) && sameFileInformation(first, second);
}

bool isStandardStream(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION named, stream;
    if (!informationOf(path, named)) return false;
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(which);
        if (handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
            GetFileInformationByHandle(handle, &stream) && sameFileInformation(named, stream)) {
            return true;
        }
    }
    return false;
}
