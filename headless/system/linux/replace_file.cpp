#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "headless/system/replace_file.h"

namespace {
// Closes a descriptor when its scope ends.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

PathKind kindOf(mode_t mode) {
    if (S_ISREG(mode)) return PathKind::File;
    if (S_ISLNK(mode)) return PathKind::Link;
    if (S_ISDIR(mode)) return PathKind::Folder;
    if (S_ISFIFO(mode)) return PathKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return PathKind::Device;
    if (S_ISSOCK(mode)) return PathKind::Socket;
    return PathKind::Other;
}

const char* kindWords(PathKind kind) {
    switch (kind) {
    case PathKind::Folder: return "it is a folder, not a file";
    case PathKind::Fifo: return "it is a FIFO, not a file";
    case PathKind::Device: return "it is a device, not a file";
    case PathKind::Socket: return "it is a socket, not a file";
    default: return "it is not a regular file";
    }
}

bool writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t wrote = write(fd, content.data(), content.size());
        if (wrote < 0 && errno == EINTR) continue;  // a stop signal; the stop is acted on by the run
        if (wrote <= 0) {
            if (wrote == 0) errno = EIO;
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

// A name of its own in the target's folder, made anew: a dot first so that
// a glob for the target's kind ("*.html") does not pick it up.
int makeTemporary(int folder, const std::string& name, unsigned creationMode, std::string& made) {
    static unsigned serial = 0;
    std::string stem = ".";  // appended: GCC 12 warns falsely (-Wrestrict) on "." + a string
    stem += name.substr(0, 100) + ".tmp-" + std::to_string(getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        made = stem + std::to_string(serial++);
        const int fd = openat(folder, made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              static_cast<mode_t>(creationMode));
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}
}  // namespace

bool replaceFile(const std::string& path, std::string_view content, Durability durability,
                 std::optional<unsigned> mode, std::string& why) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        why = kindWords(PathKind::Folder);
        return false;
    }
    // The folder held open: the temporary file, the rename and the sync all
    // happen in the one folder even if its path is changed meanwhile.
    Descriptor folder{open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    std::string temporary;
    Descriptor file{makeTemporary(folder.fd, name, mode.value_or(0666), temporary)};
    if (file.fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    const auto fail = [&](const std::string& reason) {
        why = reason;
        unlinkat(folder.fd, temporary.c_str(), 0);
        return false;
    };
    if (mode && fchmod(file.fd, static_cast<mode_t>(*mode)) != 0) return fail(std::strerror(errno));
    if (!writeAll(file.fd, content)) return fail(std::strerror(errno));
    // Without this, a rename that reaches the disk before the data can
    // leave an empty file after a power loss (XFS does; ext4's
    // auto_da_alloc covers the rename-over case, not every file system).
    if (durability == Durability::Disk && fsync(file.fd) != 0) return fail(std::strerror(errno));
    // Some file systems (NFS) report a failed write only when it is closed.
    const int closed = close(file.fd);
    file.fd = -1;
    if (closed != 0) return fail(std::strerror(errno));
    struct stat target;
    if (fstatat(folder.fd, name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0) {
        const PathKind kind = kindOf(target.st_mode);
        if (kind != PathKind::File && kind != PathKind::Link) return fail(kindWords(kind));
    }
    if (renameat(folder.fd, temporary.c_str(), folder.fd, name.c_str()) != 0) {
        return fail(std::string("cannot rename the new copy over it: ") + std::strerror(errno));
    }
    // The rename itself, on the disk. Its failure is not the caller's: the
    // new content is in place either way.
    if (durability == Durability::Disk) fsync(folder.fd);
    return true;
}

PathFacts pathFacts(const std::string& path) {
    PathFacts facts;
    struct stat state;
    if (lstat(path.c_str(), &state) != 0) return facts;
    facts.kind = facts.leadsTo = kindOf(state.st_mode);
    if (facts.kind == PathKind::Link) {
        facts.leadsTo = stat(path.c_str(), &state) == 0 ? kindOf(state.st_mode) : PathKind::Missing;
    }
    return facts;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool isStandardStream(const std::string& path) {
    struct stat named, stream;
    if (stat(path.c_str(), &named) != 0) return false;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fstat(fd, &stream) == 0 && stream.st_dev == named.st_dev && stream.st_ino == named.st_ino) return true;
    }
    return false;
}
