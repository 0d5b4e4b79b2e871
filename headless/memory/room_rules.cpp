#include "headless/memory/room_rules.h"

#include "headless/memory/proc_fields.h"

#include <algorithm>
#include <string_view>
#include <vector>

const char* limitSourceName(LimitSource source) {
    switch (source) {
        case LimitSource::Host: return "host";
        case LimitSource::Cgroup: return "cgroup";
        case LimitSource::Job: return "job";
    }
    return "host";
}

namespace {

// cgroup v1 writes "no limit" as the largest page-aligned signed value
// (9223372036854771712 on x86-64 with 4 KiB pages; other page sizes round it
// differently), so anything this large is no limit at all.
constexpr std::uint64_t kV1NoLimitFrom = std::uint64_t{1} << 62;

std::vector<std::string_view> splitOn(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = text.find(separator, at);
        parts.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return parts;
        at = end + 1;
    }
}

bool listHas(std::string_view list, char separator, std::string_view word) {
    for (std::string_view part : splitOn(list, separator)) {
        if (part == word) return true;
    }
    return false;
}

std::string_view trimmed(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string decodeOctal(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](std::size_t k) { return k < field.size() && field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out.push_back(
                static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

struct Mount {
    std::string root;
    std::string point;
    std::string fsType;
    std::string superOptions;
};

// "id parent major:minor ROOT MOUNTPOINT options [optional fields...] - FSTYPE SOURCE SUPEROPTIONS"
std::vector<Mount> parseMountinfo(std::string_view text) {
    std::vector<Mount> mounts;
    for (std::string_view line : splitOn(text, '\n')) {
        std::vector<std::string_view> fields;
        for (std::string_view field : splitOn(line, ' ')) {
            if (!field.empty()) fields.push_back(field);
        }
        std::size_t dash = 6;  // the optional fields come before the lone "-"
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 1 >= fields.size()) continue;  // no "-" or no FSTYPE: not a mount line
        Mount mount;
        mount.root = decodeOctal(fields[3]);
        mount.point = decodeOctal(fields[4]);
        mount.fsType = std::string(fields[dash + 1]);
        if (dash + 3 < fields.size()) mount.superOptions = std::string(fields[dash + 3]);
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

// The part of group `path` below a mount's ROOT ("" for the root itself);
// false when the mount shows another part of the hierarchy.
bool pathBelow(const std::string& root, const std::string& path, std::string& rest) {
    // A group outside this cgroup namespace shows as "/../x": no mount here reaches it.
    if (path.empty() || path.front() != '/' || listHas(path, '/', "..")) return false;
    std::string_view base = root;
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    if (path.compare(0, base.size(), base) != 0) return false;
    if (path.size() != base.size() && path[base.size()] != '/') return false;  // "/a" is not above "/ab"
    rest = path.substr(base.size());
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    return true;
}

// The mount of the wanted hierarchy that reaches `path`. Of several (bind
// mounts of parts of it), the one nearest the hierarchy's root: it shows the
// most levels above the group, and each of them may set a limit.
const Mount* reachingMount(const std::vector<Mount>& mounts, bool (*wanted)(const Mount&), const std::string& path,
                           std::string& rest, bool& anyMounted) {
    const Mount* best = nullptr;
    anyMounted = false;
    for (const Mount& mount : mounts) {
        if (!wanted(mount)) continue;
        anyMounted = true;
        std::string below;
        if (pathBelow(mount.root, path, below) && (!best || mount.root.size() < best->root.size())) {
            best = &mount;
            rest = below;
        }
    }
    return best;
}

bool v1Memory(const Mount& m) { return m.fsType == "cgroup" && listHas(m.superOptions, ',', "memory"); }
bool v2Any(const Mount& m) { return m.fsType == "cgroup2"; }

std::string joinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (out.empty() || out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

// The group's folder and each one above it, up to and including the mount point.
std::vector<std::string> levelFolders(const std::string& mountPoint, const std::string& rest) {
    std::string base = mountPoint;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::vector<std::string> folders;
    std::string below = rest;
    for (;;) {
        folders.push_back(below.empty() ? base : (base == "/" ? below : base + below));
        if (below.empty()) return folders;
        below.erase(below.rfind('/'));  // `below` starts with '/' (pathBelow)
    }
}

// Reads files for one room, keeping the first reason it could not.
class Reader {
public:
    explicit Reader(RoomFiles& files) : files_(files) {}

    std::string error;

    enum class Got { Text, Missing, Failed };
    Got read(const std::string& path, std::string& text) {
        switch (files_.read(path, text)) {
            case RoomFiles::Outcome::Read: return Got::Text;
            case RoomFiles::Outcome::Missing: return Got::Missing;
            case RoomFiles::Outcome::Failed: break;
        }
        error = "cannot read " + path + ": " + (text.empty() ? std::string("unknown error") : text);
        return Got::Failed;
    }

    // A file that must be there.
    bool readRequired(const std::string& path, std::string& text) {
        const Got got = read(path, text);
        if (got == Got::Missing) error = "cannot read " + path + ": No such file or directory";
        return got == Got::Text;
    }

    // A byte count, or `noLimitWord` ("max") standing for none. `value` is
    // UINT64_MAX for none.
    bool parseBytes(const std::string& path, std::string_view text, const char* noLimitWord, std::uint64_t& value) {
        const std::string_view word = trimmed(text);
        if (noLimitWord && word == noLimitWord) {
            value = UINT64_MAX;
            return true;
        }
        bool fits = !word.empty();
        std::uint64_t n = 0;
        for (char c : word) {
            if (c < '0' || c > '9' || n > (UINT64_MAX - (c - '0')) / 10) {
                fits = false;
                break;
            }
            n = n * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (!fits) {
            std::string shown(word.substr(0, 40));
            error = path + " holds \"" + shown + "\", not a number of bytes" +
                    (noLimitWord ? std::string(" or \"") + noLimitWord + "\"" : std::string());
            return false;
        }
        value = n;
        return true;
    }

private:
    RoomFiles& files_;
};

struct Tightest {
    std::uint64_t room = UINT64_MAX;
    std::uint64_t limit = UINT64_MAX;
    std::uint64_t usage = UINT64_MAX;        // at the level that sets `room`
    std::uint64_t reclaimable = UINT64_MAX;  // likewise
    std::string cacheUnread;                 // the first reason a level's cache could not be read
    std::string folder;                      // of the level that sets `room`
};

// A group's reclaimable page cache: v1's hierarchical total_inactive_file,
// v2's inactive_file, from the level's memory.stat. Clean inactive file
// pages are what the kernel takes back before it refuses a charge; active
// ones it may not, and anonymous memory only into swap, which the memsw and
// swap limits count. Nothing is counted when the file cannot be read: a
// figure that is too low refuses a hold, one that is too high kills it.
std::uint64_t reclaimableIn(RoomFiles& files, const std::string& folder, bool v2, std::string& unread) {
    const std::string path = joinPath(folder, "memory.stat");
    std::string text;
    switch (files.read(path, text)) {
        case RoomFiles::Outcome::Read: break;
        case RoomFiles::Outcome::Missing:
            if (unread.empty()) unread = "cannot read " + path + ": No such file or directory";
            return 0;
        case RoomFiles::Outcome::Failed:
            if (unread.empty()) unread = "cannot read " + path + ": " + (text.empty() ? "unknown error" : text);
            return 0;
    }
    const char* name = v2 ? "inactive_file" : "total_inactive_file";
    for (std::string_view line : splitOn(text, '\n')) {
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos || line.substr(0, space) != name) continue;
        std::uint64_t value = 0;
        for (char c : line.substr(space + 1)) {
            if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) break;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return value;
    }
    if (unread.empty()) unread = path + " has no " + name + " figure";
    return 0;
}

// One limit at one level: room = limit - (usage - reclaimable cache),
// saturating at 0 (usage may pass a limit that was lowered under it, or
// memory.high, which only throttles). A missing limit file is no such limit
// at that level.
bool addLimit(Reader& reader, RoomFiles& files, const std::string& folder, const char* limitName,
              const char* usageName, bool v2, Tightest& tightest) {
    const std::string limitPath = joinPath(folder, limitName);
    std::string text;
    const Reader::Got got = reader.read(limitPath, text);
    if (got == Reader::Got::Missing) return true;
    if (got == Reader::Got::Failed) return false;
    std::uint64_t limit = 0;
    if (!reader.parseBytes(limitPath, text, v2 ? "max" : nullptr, limit)) return false;
    if (limit == UINT64_MAX || (!v2 && limit >= kV1NoLimitFrom)) return true;

    const std::string usagePath = joinPath(folder, usageName);
    std::string usageText;
    if (!reader.readRequired(usagePath, usageText)) return false;
    std::uint64_t usage = 0;
    if (!reader.parseBytes(usagePath, usageText, nullptr, usage)) return false;
    const std::uint64_t reclaimable = std::min(usage, reclaimableIn(files, folder, v2, tightest.cacheUnread));
    const std::uint64_t charged = usage - reclaimable;
    const std::uint64_t room = charged >= limit ? 0 : limit - charged;
    if (room < tightest.room) {
        tightest.room = room;
        tightest.usage = usage;
        tightest.reclaimable = reclaimable;
        tightest.folder = folder;
    }
    if (limit < tightest.limit) tightest.limit = limit;
    return true;
}

// Whether a cgroup2 hierarchy that is not mounted here carries the memory
// controller: /proc/cgroups rows are "name hierarchy num_cgroups enabled", and
// a controller on v2 has hierarchy 0.
bool memoryOnUnifiedHierarchy(Reader& reader, bool& onV2) {
    std::string text;
    if (!reader.readRequired("/proc/cgroups", text)) return false;
    onV2 = false;
    for (std::string_view line : splitOn(text, '\n')) {
        std::vector<std::string_view> fields;
        for (std::string_view field : splitOn(line, '\t')) {
            for (std::string_view part : splitOn(field, ' ')) {
                if (!part.empty()) fields.push_back(part);
            }
        }
        if (fields.size() >= 4 && fields[0] == "memory") onV2 = fields[1] == "0" && fields[3] == "1";
    }
    return true;
}

// The process's groups in /proc/self/cgroup: the path in the v1 hierarchy
// that has `controller`, and the v2 one (the "0::" line).
struct Membership {
    std::optional<std::string> v1, v2;
};
Membership membershipOf(std::string_view text, std::string_view controller) {
    Membership membership;
    for (std::string_view line : splitOn(text, '\n')) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        if (listHas(controllers, ',', controller)) membership.v1 = std::string(line.substr(second + 1));
        if (line.substr(0, first) == "0" && controllers.empty()) membership.v2 = std::string(line.substr(second + 1));
    }
    return membership;
}

MemoryRoom failed(std::string error) {
    MemoryRoom room;
    room.error = std::move(error);
    return room;
}

std::string notMounted(const std::string& path, const char* version, bool anyMounted) {
    return std::string("the memory cgroup ") + path + " (cgroup " + version + ") is " +
           (anyMounted ? "outside every mount of its hierarchy" : "not mounted") + ", so its limit cannot be read";
}

}  // namespace

MemoryRoom linuxMemoryRoom(RoomFiles& files) {
    Reader reader(files);

    std::string meminfo;
    if (!reader.readRequired("/proc/meminfo", meminfo)) return failed(reader.error);
    const auto memAvailable = procField(meminfo, "MemAvailable");
    const auto memTotal = procField(meminfo, "MemTotal");
    if (!memAvailable || !memTotal) {
        return failed(memAvailable ? "/proc/meminfo has no MemTotal figure"
                                   : "/proc/meminfo has no MemAvailable figure (Linux 3.14 and later give it)");
    }
    // Swap takes what does not fit in RAM before the OOM killer acts.
    const std::uint64_t host = *memAvailable + procField(meminfo, "SwapFree").value_or(0);

    MemoryRoom room;
    room.known = true;
    room.available = host;
    room.total = *memTotal;

    std::string membership;
    const Reader::Got gotCgroup = reader.read("/proc/self/cgroup", membership);
    if (gotCgroup == Reader::Got::Failed) return failed(reader.error);
    // Procfs is there (meminfo was read) but the file is not: a kernel built
    // without cgroups, so no group can limit us.
    if (gotCgroup == Reader::Got::Missing) return room;

    const Membership groups = membershipOf(membership, "memory");
    const bool hasV1 = groups.v1.has_value(), hasV2 = groups.v2.has_value();
    const std::string v1Path = groups.v1.value_or(""), v2Path = groups.v2.value_or("");
    if (!hasV1 && !hasV2) return room;

    std::string mountinfo;
    if (!reader.readRequired("/proc/self/mountinfo", mountinfo)) return failed(reader.error);
    const std::vector<Mount> mounts = parseMountinfo(mountinfo);

    std::vector<std::string> folders;
    bool v2 = false;
    std::string rest;
    bool anyMounted = false;
    if (hasV1) {
        const Mount* mount = reachingMount(mounts, v1Memory, v1Path, rest, anyMounted);
        if (!mount) return failed(notMounted(v1Path, "v1", anyMounted));
        folders = levelFolders(mount->point, rest);
    } else {
        const Mount* mount = reachingMount(mounts, v2Any, v2Path, rest, anyMounted);
        if (!mount) {
            bool memoryOnV2 = false;
            if (!memoryOnUnifiedHierarchy(reader, memoryOnV2)) {
                return failed(notMounted(v2Path, "v2", anyMounted) + " (" + reader.error + ")");
            }
            if (memoryOnV2) return failed(notMounted(v2Path, "v2", anyMounted));
            return room;
        }
        folders = levelFolders(mount->point, rest);
        // The hierarchy's root lists every controller it has; a group's file
        // only those its parent hands down.
        std::string controllers;
        Reader::Got got = reader.read(joinPath(folders.back(), "cgroup.controllers"), controllers);
        if (got == Reader::Got::Missing) {
            got = reader.read(joinPath(folders.front(), "cgroup.controllers"), controllers);
            if (got == Reader::Got::Missing) {
                return failed("cannot read " + joinPath(folders.back(), "cgroup.controllers") +
                              ": No such file or directory");
            }
        }
        if (got == Reader::Got::Failed) return failed(reader.error);
        bool memory = false;
        for (std::string_view line : splitOn(controllers, '\n')) {
            if (listHas(trimmed(line), ' ', "memory")) memory = true;
        }
        if (!memory) return room;
        v2 = true;
    }

    Tightest tightest;
    for (const std::string& folder : folders) {
        const bool ok =
            v2 ? addLimit(reader, files, folder, "memory.max", "memory.current", true, tightest) &&
                     addLimit(reader, files, folder, "memory.high", "memory.current", true, tightest)
               : addLimit(reader, files, folder, "memory.limit_in_bytes", "memory.usage_in_bytes", false, tightest) &&
                     addLimit(reader, files, folder, "memory.memsw.limit_in_bytes", "memory.memsw.usage_in_bytes",
                              false, tightest);
        if (!ok) return failed(reader.error);
    }

    room.limit = tightest.limit;
    room.cacheUnread = tightest.cacheUnread;
    if (tightest.room < room.available) {
        room.available = tightest.room;
        room.availableSource = LimitSource::Cgroup;
        room.usage = tightest.usage;
        room.reclaimable = tightest.reclaimable;
        room.limitFolder = tightest.folder;
        room.limitV2 = v2;
    }
    if (tightest.limit < room.total) {
        room.total = tightest.limit;
        room.totalSource = LimitSource::Cgroup;
    }
    return room;
}

namespace {
bool v1Hugetlb(const Mount& m) { return m.fsType == "cgroup" && listHas(m.superOptions, ',', "hugetlb"); }

// The kernel's name for a huge-page size in the controller's files.
std::string hugetlbSizeName(std::uint64_t bytes) {
    if (bytes >= (1ull << 30) && bytes % (1ull << 30) == 0) return std::to_string(bytes >> 30) + "GB";
    if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0) return std::to_string(bytes >> 20) + "MB";
    return std::to_string(bytes >> 10) + "KB";
}

HugetlbGroupRoom unknownHugetlb(std::string error) {
    HugetlbGroupRoom room;
    room.known = false;
    room.error = std::move(error);
    return room;
}
}  // namespace

HugetlbGroupRoom linuxHugetlbGroupRoom(RoomFiles& files, std::uint64_t pageBytes) {
    Reader reader(files);
    std::string membership;
    const Reader::Got gotCgroup = reader.read("/proc/self/cgroup", membership);
    if (gotCgroup == Reader::Got::Failed) return unknownHugetlb(reader.error);
    if (gotCgroup == Reader::Got::Missing) return {};
    const Membership groups = membershipOf(membership, "hugetlb");
    if (!groups.v1 && !groups.v2) return {};
    std::string mountinfo;
    if (!reader.readRequired("/proc/self/mountinfo", mountinfo)) return unknownHugetlb(reader.error);
    const std::vector<Mount> mounts = parseMountinfo(mountinfo);
    // The v1 controller where it is mounted; otherwise the unified hierarchy,
    // whose files exist only where it hands the controller down.
    std::string rest;
    bool anyMounted = false;
    const Mount* mount = groups.v1 ? reachingMount(mounts, v1Hugetlb, *groups.v1, rest, anyMounted) : nullptr;
    const bool v2 = !mount;
    if (v2) {
        if (!groups.v2) return {};
        mount = reachingMount(mounts, v2Any, *groups.v2, rest, anyMounted);
        if (!mount) return {};
    }
    const std::string size = hugetlbSizeName(pageBytes);
    const std::string limitName = "hugetlb." + size + (v2 ? ".max" : ".limit_in_bytes");
    const std::string usageName = "hugetlb." + size + (v2 ? ".current" : ".usage_in_bytes");
    HugetlbGroupRoom tightest;
    for (const std::string& folder : levelFolders(mount->point, rest)) {
        const std::string limitPath = joinPath(folder, limitName);
        std::string text;
        const Reader::Got got = reader.read(limitPath, text);
        if (got == Reader::Got::Missing) continue;  // no controller, or the root's: no limit here
        if (got == Reader::Got::Failed) return unknownHugetlb(reader.error);
        std::uint64_t limit = 0;
        if (!reader.parseBytes(limitPath, text, v2 ? "max" : nullptr, limit)) return unknownHugetlb(reader.error);
        if (limit == UINT64_MAX || (!v2 && limit >= kV1NoLimitFrom)) continue;
        const std::string usagePath = joinPath(folder, usageName);
        std::string usageText;
        std::uint64_t usage = 0;
        if (!reader.readRequired(usagePath, usageText) || !reader.parseBytes(usagePath, usageText, nullptr, usage)) {
            return unknownHugetlb(reader.error);
        }
        const std::uint64_t room = usage >= limit ? 0 : limit - usage;
        if (!tightest.room || room < *tightest.room) {
            tightest.room = room;
            tightest.folder = folder;
        }
    }
    return tightest;
}
