#include "headless/cli/memory_kind.h"

std::optional<KindRequest> parseKind(const std::string& text) {
    if (text == "anon") return KindRequest{HeldKind::Anon, {}};
    if (text == "shmem") return KindRequest{HeldKind::Shmem, {}};
    if (text == "file") return KindRequest{HeldKind::File, {}};
    if (text.rfind("file:", 0) == 0 && text.size() > 5) return KindRequest{HeldKind::File, text.substr(5)};
    return std::nullopt;
}

const char* kindName(HeldKind kind) {
    switch (kind) {
        case HeldKind::Anon: return "anon";
        case HeldKind::File: return "file";
        case HeldKind::Shmem: return "shmem";
    }
    return "anon";
}

std::string fileFolder(const std::string& named, const std::string& tmpdir,
                       bool (*onMemory)(const std::string& folder)) {
    if (!named.empty()) return named;
    if (!tmpdir.empty() && !onMemory(tmpdir)) return tmpdir;
    return "/var/tmp";
}

std::string fileFolderFault(const std::string& shown, const std::string& fsType) {
    if (fsType == "tmpfs" || fsType == "ramfs")
        return shown + " is on " + fsType + ": that is shared memory: use --kind shmem";
    return {};
}
