// --kind: which memory a hold takes its blocks from. Parsed here, without
// the platform; the pages themselves come from system/held_pages.h.
#pragma once
#include <optional>
#include <string>

enum class HeldKind { Anon, File, Shmem };

struct KindRequest {
    HeldKind kind = HeldKind::Anon;
    std::string dir;  // --kind file:DIR; empty: the default folder
};

// "anon", "file", "file:DIR" or "shmem"; nothing for anything else.
std::optional<KindRequest> parseKind(const std::string& text);

// The name --json gives the kind ("anon", "file", "shmem").
const char* kindName(HeldKind kind);

// The folder --kind file makes its file in, given the folder named (empty
// when none), $TMPDIR (empty when unset) and whether a folder is on a
// memory-backed file system. A named folder is taken as named (its checks
// come after); $TMPDIR only when it is not memory-backed, since page cache
// there would be shared memory; else /var/tmp, which outlives a boot and is
// a disk on every common layout.
std::string fileFolder(const std::string& named, const std::string& tmpdir,
                       bool (*onMemory)(const std::string& folder));

// Why a folder cannot hold --kind file's pages, from its file system's
// type; empty when it can. `fsType` is the type's name ("tmpfs", "ramfs",
// "ext4"); `shown` the folder as the user wrote it.
std::string fileFolderFault(const std::string& shown, const std::string& fsType);
