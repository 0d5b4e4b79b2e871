// How much memory torvane-run may still make resident: the one figure its
// room checks and its log lines use. The host's free memory alone is not it:
// inside a memory-limited container (a cgroup, a Windows job) the kernel ends
// the process at the group's limit, long before the host runs short.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

enum class LimitSource { Host, Cgroup, Job };
const char* limitSourceName(LimitSource);  // "host", "cgroup", "job"

struct MemoryRoom {
    bool known = false;            // false: `error` says why the figures could not be read
    std::string error;             // e.g. "cannot read /sys/fs/cgroup/memory/x/memory.usage_in_bytes: Permission denied"
    std::uint64_t available = 0;   // room for resident memory now: the tightest of the host and every limit
    LimitSource availableSource = LimitSource::Host;  // what set `available`
    std::uint64_t total = 0;       // the room's total: the tighter of physical memory and the tightest limit
    LimitSource totalSource = LimitSource::Host;
    std::uint64_t limit = UINT64_MAX;  // the tightest group/job limit; UINT64_MAX when none
    // The parts of `available` where a limit sets it: the level's usage and
    // the page cache in it that the kernel reclaims before it fails a charge
    // (its inactive file pages, as the kubelet's working set leaves them
    // out). Unknown (UINT64_MAX) where the host sets the room.
    std::uint64_t usage = UINT64_MAX;
    std::uint64_t reclaimable = UINT64_MAX;
    // Set when a group's page cache could not be read: the room is then the
    // limit less the whole usage, as if no cache could be reclaimed.
    std::string cacheUnread;
    // The group whose limit sets `available` (its folder, and whether it is
    // cgroup v2), for a watch on it; empty where the host or a job sets it.
    std::string limitFolder;
    bool limitV2 = false;
};

// Files read through this seam, so that tests give fixture trees.
struct RoomFiles {
    virtual ~RoomFiles() = default;
    enum class Outcome { Read, Missing, Failed };
    // Missing: the file does not exist (ENOENT/ENOTDIR); Failed: it exists
    // but cannot be read (`text` then holds the reason, e.g. "Permission denied").
    virtual Outcome read(const std::string& path, std::string& text) = 0;
};

// The Linux rules, from /proc/meminfo, /proc/self/cgroup,
// /proc/self/mountinfo (and /proc/cgroups when a v2 group is not mounted) and
// the groups' files. Any figure that cannot be read makes the room unknown:
// a check that guesses is how a process gets OOM-killed.
MemoryRoom linuxMemoryRoom(RoomFiles& files);

// What the hugetlb controller lets this process's group take in pages of
// `pageBytes`: the least of limit less usage over the group and each level
// above it (v2 hugetlb.<size>.max and .current; v1's hugetlb hierarchy,
// hugetlb.<size>.limit_in_bytes and .usage_in_bytes; <size> as the kernel
// names it: 2MB, 1GB). Pages past it fault with SIGBUS, not a failed take,
// so a hold is checked against it first.
struct HugetlbGroupRoom {
    bool known = true;
    std::string error;                  // when not known: the file that could not be read, and why
    std::optional<std::uint64_t> room;  // none: no group limits it
    std::string folder;                 // the level that sets `room`
};
HugetlbGroupRoom linuxHugetlbGroupRoom(RoomFiles& files, std::uint64_t pageBytes);
