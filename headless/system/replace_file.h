// Files that torvane-run writes whole and keeps up to date (the report, and
// any file a reader may look at while the run goes on): the new content goes
// to a temporary file made new in the same folder, then is renamed over the
// old one, so that a reader sees the old file or the new one, never a part.
//   Linux:   system/linux/replace_file.cpp: openat with O_CREAT | O_EXCL |
//            O_NOFOLLOW, renameat, fsync of the file and of the folder.
//   Windows: system/windows/replace_file.cpp: CreateFileA with CREATE_NEW,
//            MoveFileExA(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
#pragma once
#include <optional>
#include <string>
#include <string_view>

// How far the new content must have got when replaceFile returns.
enum class Durability {
    // On the disk before the rename, and the rename on the disk after it:
    // the file survives the machine losing power.
    Disk,
    // In the system's cache: the file survives this process being killed,
    // which is what an update between the final ones guards against.
    Process,
};

// Replaces the file at `path` with `content`. A link at `path` is replaced
// itself, never followed; anything but a regular file or a link there (a
// folder, a FIFO, a device) is refused. On failure the file at `path` is as
// it was, no temporary file is left, and `why` says which step failed and
// the system's reason. `mode` (Linux): the new file's exact permissions, as
// a file that others' tools read needs; none: 0666 less the umask, as any
// new file. Windows gives the file its folder's permissions.
bool replaceFile(const std::string& path, std::string_view content, Durability durability,
                 std::optional<unsigned> mode, std::string& why);

// What is at a path, its last part not followed.
enum class PathKind { Missing, File, Link, Folder, Fifo, Device, Socket, Other };

struct PathFacts {
    PathKind kind = PathKind::Missing;
    // Where a link leads (Missing when nowhere); `kind` again when the path
    // is no link.
    PathKind leadsTo = PathKind::Missing;
};
PathFacts pathFacts(const std::string& path);

// True when both paths, links followed, are one file: the same device and
// inode (Windows: the same volume and file ID), however each is spelled, a
// hard link included. False when either cannot be looked at.
bool sameFile(const std::string& a, const std::string& b);

// True when `path`, links followed, is where this process's standard
// input, output or error already goes: /dev/stdout when the output is a
// file, or a link to that file. Replacing such a link would take it from
// the system, and the lines would never reach the file.
bool isStandardStream(const std::string& path);
