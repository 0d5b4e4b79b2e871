#include "headless/memory/proc_fields.h"
#include "headless/memory/room_rules.h"
#include "headless/system/memory_room.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::uint64_t MiB = 1024 * 1024;
constexpr std::uint64_t GiB = 1024 * MiB;
constexpr std::uint64_t kNone = UINT64_MAX;
constexpr LimitSource H = LimitSource::Host;
constexpr LimitSource C = LimitSource::Cgroup;

// A tree of files held in memory; any path not given is missing.
struct FixtureFiles final : RoomFiles {
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> failing;  // path -> reason
    std::set<std::string> missing;               // taken out of `files`

    Outcome read(const std::string& path, std::string& text) override {
        if (auto f = failing.find(path); f != failing.end()) {
            text = f->second;
            return Outcome::Failed;
        }
        auto f = files.find(path);
        if (f == files.end() || missing.count(path)) return Outcome::Missing;
        text = f->second;
        return Outcome::Read;
    }
};

using Files = std::vector<std::pair<std::string, std::string>>;

// 16 GiB of RAM, 8 GiB available and 1 GiB of swap free: the host's room is 9 GiB.
const char* kMeminfo =
    "MemTotal:       16777216 kB\n"
    "MemFree:         1048576 kB\n"
    "MemAvailable:    8388608 kB\n"
    "SwapTotal:       2097152 kB\n"
    "SwapFree:        1048576 kB\n";
constexpr std::uint64_t kHost = 9 * GiB;
constexpr std::uint64_t kRam = 16 * GiB;

// A hybrid machine: v1 memory at /sys/fs/cgroup/memory, v2 without memory at .../unified.
const char* kV1Mounts =
    "30 22 0:27 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
    "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
// A unified machine: v2 at /sys/fs/cgroup.
const char* kV2Mounts = "35 24 0:30 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";
const char* kV1Unlimited = "9223372036854771712\n";
const std::string V1 = "/sys/fs/cgroup/memory";
const std::string V2 = "/sys/fs/cgroup";

std::string bytes(std::uint64_t n) { return std::to_string(n) + "\n"; }

struct Case {
    const char* name;
    Files files;
    Files failing;
    std::vector<std::string> missing;
    bool known;
    std::uint64_t available;
    LimitSource availableSource;
    std::uint64_t total;
    LimitSource totalSource;
    std::uint64_t limit;
    const char* errorPart;  // when !known
};

MemoryRoom run(const Case& c) {
    FixtureFiles fixture;
    // The first text given for a path wins: cases put their own before shared ones.
    for (const auto& [path, text] : c.files) fixture.files.emplace(path, text);
    fixture.files.emplace("/proc/meminfo", kMeminfo);
    for (const auto& [path, reason] : c.failing) fixture.failing[path] = reason;
    fixture.missing.insert(c.missing.begin(), c.missing.end());
    return linuxMemoryRoom(fixture);
}

void check(const Case& c) {
    SCOPED_TRACE(c.name);
    const MemoryRoom room = run(c);
    ASSERT_EQ(room.known, c.known) << room.error;
    if (!c.known) {
        EXPECT_NE(room.error.find(c.errorPart), std::string::npos) << room.error;
        return;
    }
    EXPECT_TRUE(room.error.empty()) << room.error;
    EXPECT_EQ(room.available, c.available);
    EXPECT_EQ(room.availableSource, c.availableSource);
    EXPECT_EQ(room.total, c.total);
    EXPECT_EQ(room.totalSource, c.totalSource);
    EXPECT_EQ(room.limit, c.limit);
}

TEST(MemoryRoom, CgroupV1Limits) {
    const Case cases[] = {
        {"no memory controller on either version: the host alone",
         {{"/proc/self/cgroup", "4:cpu:/\n0::/\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {"/sys/fs/cgroup/unified/cgroup.controllers", "cpu io pids\n"}},
         {}, {}, true, kHost, H, kRam, H, kNone, ""},
        {"one group with a limit, no swap accounting (no memsw files)",
         {{"/proc/self/cgroup", "4:memory:/a\n0::/\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(512 * MiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(100 * MiB)},
          {V1 + "/memory.limit_in_bytes", kV1Unlimited}, {V1 + "/memory.usage_in_bytes", bytes(12 * GiB)}},
         {}, {}, true, 412 * MiB, C, 512 * MiB, C, 512 * MiB, ""},
        {"memory shares a hierarchy with cpu",
         {{"/proc/self/cgroup", "3:cpu,memory:/a\n"},
          {"/proc/self/mountinfo", "34 30 0:31 / /cg rw - cgroup cgroup rw,cpu,memory\n"},
          {"/cg/a/memory.limit_in_bytes", bytes(GiB)}, {"/cg/a/memory.usage_in_bytes", bytes(GiB - MiB)}},
         {}, {}, true, MiB, C, GiB, C, GiB, ""},
        {"a parent tighter than the group",
         {{"/proc/self/cgroup", "4:memory:/a/b\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/b/memory.limit_in_bytes", bytes(GiB)}, {V1 + "/a/b/memory.usage_in_bytes", bytes(100 * MiB)},
          {V1 + "/a/memory.limit_in_bytes", bytes(600 * MiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(500 * MiB)}},
         {}, {}, true, 100 * MiB, C, 600 * MiB, C, 600 * MiB, ""},
        {"memory+swap pair tighter than memory alone",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(200 * MiB)},
          {V1 + "/a/memory.memsw.limit_in_bytes", bytes(1536 * MiB)},
          {V1 + "/a/memory.memsw.usage_in_bytes", bytes(1436 * MiB)}},
         {}, {}, true, 100 * MiB, C, GiB, C, GiB, ""},
        {"unlimited at every level",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", kV1Unlimited}, {V1 + "/a/memory.memsw.limit_in_bytes", kV1Unlimited},
          {V1 + "/memory.limit_in_bytes", "9223372036854710272\n"}},  // 64 KiB pages round it lower
         {}, {}, true, kHost, H, kRam, H, kNone, ""},
        {"a limit above the host's figures leaves the host in charge",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(32 * GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(GiB)}},
         {}, {}, true, kHost, H, kRam, H, 32 * GiB, ""},
        {"usage above the limit: no room, never a wrapped figure",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(256 * MiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(300 * MiB)}},
         {}, {}, true, 0, C, 256 * MiB, C, 256 * MiB, ""},
        {"a container's view: the mount's root is its own group",
         {{"/proc/self/cgroup", "4:memory:/docker/abc/x\n"},
          {"/proc/self/mountinfo",
           "50 40 0:31 /other /mnt/other rw - cgroup cgroup rw,memory\n"
           "51 40 0:31 /docker/ab /mnt/ab rw - cgroup cgroup rw,memory\n"
           "52 40 0:31 /docker/abc /sys/fs/cgroup/memory ro master:9 - cgroup cgroup rw,memory\n"},
          {V1 + "/x/memory.limit_in_bytes", kV1Unlimited},
          {V1 + "/memory.limit_in_bytes", bytes(512 * MiB)}, {V1 + "/memory.usage_in_bytes", bytes(128 * MiB)},
          {"/mnt/ab/c/x/memory.limit_in_bytes", bytes(MiB)}, {"/mnt/ab/c/x/memory.usage_in_bytes", "0\n"}},
         {}, {}, true, 384 * MiB, C, 512 * MiB, C, 512 * MiB, ""},
        {"an escaped mount point",
         {{"/proc/self/cgroup", "4:memory:/a\n"},
          {"/proc/self/mountinfo", "34 30 0:31 / /mnt/my\\040groups rw - cgroup cgroup rw,memory\n"},
          {"/mnt/my groups/a/memory.limit_in_bytes", bytes(GiB)}, {"/mnt/my groups/a/memory.usage_in_bytes", "0\n"}},
         {}, {}, true, GiB, C, GiB, C, GiB, ""},
    };
    for (const Case& c : cases) check(c);
}

TEST(MemoryRoom, CgroupV2Limits) {
    const Files unified = {{"/proc/self/mountinfo", kV2Mounts}, {V2 + "/cgroup.controllers", "cpuset cpu io memory pids\n"}};
    const auto with = [&](Files more) {
        more.insert(more.end(), unified.begin(), unified.end());
        return more;
    };
    const Case cases[] = {
        {"memory.max says max",
         with({{"/proc/self/cgroup", "0::/svc\n"}, {V2 + "/svc/memory.max", "max\n"},
               {V2 + "/svc/memory.current", bytes(50 * MiB)}}),
         {}, {}, true, kHost, H, kRam, H, kNone, ""},
        {"memory.high tighter than memory.max",
         with({{"/proc/self/cgroup", "0::/svc\n"}, {V2 + "/svc/memory.max", bytes(GiB)},
               {V2 + "/svc/memory.high", bytes(300 * MiB)}, {V2 + "/svc/memory.current", bytes(100 * MiB)}}),
         {}, {}, true, 200 * MiB, C, 300 * MiB, C, 300 * MiB, ""},
        {"nested: the parent's limit binds",
         with({{"/proc/self/cgroup", "0::/svc/job\n"}, {V2 + "/svc/job/memory.max", "max\n"},
               {V2 + "/svc/job/memory.high", "max\n"}, {V2 + "/svc/job/memory.current", bytes(10 * MiB)},
               {V2 + "/svc/memory.max", bytes(700 * MiB)}, {V2 + "/svc/memory.current", bytes(650 * MiB)}}),
         {}, {}, true, 50 * MiB, C, 700 * MiB, C, 700 * MiB, ""},
        {"the root group has no memory.max",
         with({{"/proc/self/cgroup", "0::/\n"}, {V2 + "/memory.current", bytes(GiB)}}),
         {}, {}, true, kHost, H, kRam, H, kNone, ""},
        {"only the group's own controllers file: memory handed down",
         {{"/proc/self/cgroup", "0::/svc\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/svc/cgroup.controllers", "memory\n"}, {V2 + "/svc/memory.max", bytes(GiB)},
          {V2 + "/svc/memory.current", bytes(GiB + 1)}},
         {}, {}, true, 0, C, GiB, C, GiB, ""},
        {"v2 mounted without the memory controller",
         {{"/proc/self/cgroup", "0::/svc\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/cgroup.controllers", "cpu io\n"}, {V2 + "/svc/memory.max", bytes(MiB)}},
         {}, {}, true, kHost, H, kRam, H, kNone, ""},
        {"v2 not mounted, memory not on v2: the host alone",
         {{"/proc/self/cgroup", "0::/svc\n"}, {"/proc/self/mountinfo", "22 1 0:5 / /proc rw - proc proc rw\n"},
          {"/proc/cgroups", "#subsys_name\thierarchy\tnum_cgroups\tenabled\ncpu\t0\t80\t1\nmemory\t0\t80\t0\n"}},
         {}, {}, true, kHost, H, kRam, H, kNone, ""},
        {"no /proc/self/cgroup: a kernel without cgroups", {}, {}, {}, true, kHost, H, kRam, H, kNone, ""},
    };
    for (const Case& c : cases) check(c);
}

TEST(MemoryRoom, FailsClosedWhenAFigureCannotBeRead) {
    const Files v1Group = {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
                           {V1 + "/a/memory.limit_in_bytes", bytes(GiB)},
                           {V1 + "/a/memory.usage_in_bytes", bytes(MiB)}};
    const Files v2Group = {{"/proc/self/cgroup", "0::/svc\n"}, {"/proc/self/mountinfo", kV2Mounts},
                           {V2 + "/cgroup.controllers", "memory\n"}, {V2 + "/svc/memory.max", bytes(GiB)},
                           {V2 + "/svc/memory.current", bytes(MiB)}};
    const auto v1With = [&](Files more) {
        for (auto& f : v1Group) more.push_back(f);  // a case's own files come first and win
        return more;
    };
    const auto v2With = [&](Files more) {
        for (auto& f : v2Group) more.push_back(f);
        return more;
    };
    const Case cases[] = {
        {"unreadable usage file", v1Group, {{V1 + "/a/memory.usage_in_bytes", "Permission denied"}}, {},
         false, 0, H, 0, H, 0, "cannot read /sys/fs/cgroup/memory/a/memory.usage_in_bytes: Permission denied"},
        {"unreadable parent limit", v1Group, {{V1 + "/memory.limit_in_bytes", "Permission denied"}}, {},
         false, 0, H, 0, H, 0, "cannot read /sys/fs/cgroup/memory/memory.limit_in_bytes: Permission denied"},
        {"a limit without its usage", v1Group, {}, {V1 + "/a/memory.usage_in_bytes"},
         false, 0, H, 0, H, 0, "cannot read /sys/fs/cgroup/memory/a/memory.usage_in_bytes: No such file"},
        {"malformed number", v1With({{V1 + "/a/memory.limit_in_bytes", "12abc\n"}}), {}, {},
         false, 0, H, 0, H, 0, "memory.limit_in_bytes holds \"12abc\", not a number"},
        {"number beyond 64 bits", v1With({{V1 + "/a/memory.usage_in_bytes", "18446744073709551616\n"}}), {}, {},
         false, 0, H, 0, H, 0, "memory.usage_in_bytes holds \"18446744073709551616\""},
        {"empty v2 limit", v2With({{V2 + "/svc/memory.max", "\n"}}), {}, {},
         false, 0, H, 0, H, 0, "/sys/fs/cgroup/svc/memory.max holds \"\", not a number of bytes or \"max\""},
        {"v2 usage unreadable", v2Group, {{V2 + "/svc/memory.current", "Input/output error"}}, {},
         false, 0, H, 0, H, 0, "cannot read /sys/fs/cgroup/svc/memory.current: Input/output error"},
        {"v2 controllers unreadable", v2Group, {{V2 + "/cgroup.controllers", "Permission denied"}}, {},
         false, 0, H, 0, H, 0, "cannot read /sys/fs/cgroup/cgroup.controllers"},
        {"/proc/meminfo unreadable", v1Group, {{"/proc/meminfo", "Permission denied"}}, {},
         false, 0, H, 0, H, 0, "cannot read /proc/meminfo: Permission denied"},
        {"/proc/meminfo missing", v1Group, {}, {"/proc/meminfo"},
         false, 0, H, 0, H, 0, "cannot read /proc/meminfo: No such file"},
        {"/proc/meminfo without MemAvailable", v1With({{"/proc/meminfo", "MemTotal: 1024 kB\nMemFree: 10 kB\n"}}),
         {}, {}, false, 0, H, 0, H, 0, "/proc/meminfo has no MemAvailable"},
        {"/proc/self/cgroup unreadable", v1Group, {{"/proc/self/cgroup", "Permission denied"}}, {},
         false, 0, H, 0, H, 0, "cannot read /proc/self/cgroup: Permission denied"},
        {"/proc/self/mountinfo missing", v1Group, {}, {"/proc/self/mountinfo"},
         false, 0, H, 0, H, 0, "cannot read /proc/self/mountinfo"},
        {"v1 memory listed but not mounted",
         v1With({{"/proc/self/mountinfo", "40 30 0:37 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"}}), {}, {},
         false, 0, H, 0, H, 0, "the memory cgroup /a (cgroup v1) is not mounted, so its limit cannot be read"},
        {"v1 mounted, but only another part of the hierarchy",
         v1With({{"/proc/self/mountinfo", "34 30 0:31 /b /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"}}),
         {}, {}, false, 0, H, 0, H, 0, "the memory cgroup /a (cgroup v1) is outside every mount"},
        {"a group outside the cgroup namespace",
         v2With({{"/proc/self/cgroup", "0::/../../user.slice\n"}}), {}, {},
         false, 0, H, 0, H, 0, "the memory cgroup /../../user.slice (cgroup v2) is outside every mount"},
        {"v2 memory not mounted",
         {{"/proc/self/cgroup", "0::/svc\n"}, {"/proc/self/mountinfo", "22 1 0:5 / /proc rw - proc proc rw\n"},
          {"/proc/cgroups", "#subsys_name\thierarchy\tnum_cgroups\tenabled\nmemory\t0\t80\t1\n"}},
         {}, {}, false, 0, H, 0, H, 0, "the memory cgroup /svc (cgroup v2) is not mounted"},
        {"v2 not mounted and /proc/cgroups unreadable",
         {{"/proc/self/cgroup", "0::/svc\n"}, {"/proc/self/mountinfo", ""}},
         {{"/proc/cgroups", "Permission denied"}}, {},
         false, 0, H, 0, H, 0, "(cgroup v2) is not mounted, so its limit cannot be read (cannot read /proc/cgroups"},
    };
    for (const Case& c : cases) check(c);
}

// A group's inactive page cache is room: the kernel reclaims it before it
// fails a charge. Active cache and anonymous memory are not.
TEST(MemoryRoom, CountsAGroupsInactiveCacheAsRoom) {
    const std::string v1Stat = "cache 734003200\ntotal_active_file 104857600\ntotal_inactive_file 629145600\n";
    const std::string v2Stat = "anon 1048576\nactive_file 104857600\ninactive_file 629145600\n";
    const struct {
        const char* name;
        Files files;
        Files failing;
        std::uint64_t available, usage, reclaimable;
        bool cacheRead;
    } cases[] = {
        {"v1: 1 GiB group holding 700 MiB of cache, 600 MiB of it inactive",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(720 * MiB)},
          {V1 + "/a/memory.stat", v1Stat}},
         {}, GiB - 120 * MiB, 720 * MiB, 600 * MiB, true},
        {"v1: the memsw pair takes the cache off its usage too",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(2 * GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(720 * MiB)},
          {V1 + "/a/memory.memsw.limit_in_bytes", bytes(GiB)},
          {V1 + "/a/memory.memsw.usage_in_bytes", bytes(820 * MiB)}, {V1 + "/a/memory.stat", v1Stat}},
         {}, GiB - 220 * MiB, 820 * MiB, 600 * MiB, true},
        {"v1: a parent's cache counted at the parent",
         {{"/proc/self/cgroup", "4:memory:/a/b\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/b/memory.limit_in_bytes", bytes(4 * GiB)}, {V1 + "/a/b/memory.usage_in_bytes", bytes(10 * MiB)},
          {V1 + "/a/b/memory.stat", "total_inactive_file 0\n"},
          {V1 + "/a/memory.limit_in_bytes", bytes(GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(720 * MiB)},
          {V1 + "/a/memory.stat", v1Stat}},
         {}, GiB - 120 * MiB, 720 * MiB, 600 * MiB, true},
        {"v2: memory.current less inactive_file",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/cgroup.controllers", "cpu memory\n"}, {V2 + "/a/memory.max", bytes(GiB)},
          {V2 + "/a/memory.current", bytes(720 * MiB)}, {V2 + "/a/memory.stat", v2Stat}},
         {}, GiB - 120 * MiB, 720 * MiB, 600 * MiB, true},
        {"no memory.stat: the whole usage counts, and it is said",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(720 * MiB)}},
         {}, GiB - 720 * MiB, 720 * MiB, 0, false},
        {"memory.stat unreadable: likewise",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(720 * MiB)}},
         {{V1 + "/a/memory.stat", "Permission denied"}}, GiB - 720 * MiB, 720 * MiB, 0, false},
        {"more cache than usage (a racing read): nothing below zero",
         {{"/proc/self/cgroup", "4:memory:/a\n"}, {"/proc/self/mountinfo", kV1Mounts},
          {V1 + "/a/memory.limit_in_bytes", bytes(GiB)}, {V1 + "/a/memory.usage_in_bytes", bytes(500 * MiB)},
          {V1 + "/a/memory.stat", v1Stat}},
         {}, GiB, 500 * MiB, 500 * MiB, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureFiles fixture;
        for (const auto& [path, text] : c.files) fixture.files.emplace(path, text);
        fixture.files.emplace("/proc/meminfo", "MemTotal: 16777216 kB\nMemAvailable: 8388608 kB\n");
        for (const auto& [path, reason] : c.failing) fixture.failing[path] = reason;
        const MemoryRoom room = linuxMemoryRoom(fixture);
        ASSERT_TRUE(room.known) << room.error;
        EXPECT_EQ(room.available, c.available);
        EXPECT_EQ(room.usage, c.usage);
        EXPECT_EQ(room.reclaimable, c.reclaimable);
        EXPECT_EQ(room.cacheUnread.empty(), c.cacheRead) << room.cacheUnread;
    }
}

// The hugetlb controller's room: the tightest level of the group's path,
// in the files of the page size asked, v1 or v2; unreadable is unknown.
TEST(MemoryRoom, HugetlbGroupRoomIsTheTightestLevel) {
    const char* v1Hugetlb =
        "30 22 0:27 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "35 30 0:32 / /sys/fs/cgroup/hugetlb rw,relatime - cgroup cgroup rw,hugetlb\n"
        "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const std::string H = "/sys/fs/cgroup/hugetlb";
    const struct {
        const char* name;
        Files files;
        Files failing;
        std::uint64_t pageBytes;
        bool known;
        std::optional<std::uint64_t> room;
        std::string folder;
    } cases[] = {
        {"v2: the lower level is tighter",
         {{"/proc/self/cgroup", "0::/a/b\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/a/hugetlb.2MB.max", bytes(64 * MiB)}, {V2 + "/a/hugetlb.2MB.current", bytes(16 * MiB)},
          {V2 + "/a/b/hugetlb.2MB.max", bytes(40 * MiB)}, {V2 + "/a/b/hugetlb.2MB.current", bytes(2 * MiB)}},
         {}, 2 * MiB, true, 38 * MiB, V2 + "/a/b"},
        {"v2: the upper level is tighter",
         {{"/proc/self/cgroup", "0::/a/b\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/a/hugetlb.2MB.max", bytes(20 * MiB)}, {V2 + "/a/hugetlb.2MB.current", bytes(16 * MiB)},
          {V2 + "/a/b/hugetlb.2MB.max", "max\n"}, {V2 + "/a/b/hugetlb.2MB.current", bytes(0)}},
         {}, 2 * MiB, true, 4 * MiB, V2 + "/a"},
        {"v2: max everywhere",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/a/hugetlb.2MB.max", "max\n"}, {V2 + "/a/hugetlb.2MB.current", bytes(0)}},
         {}, 2 * MiB, true, std::nullopt, ""},
        {"v2: 1 GiB pages read their own files",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/a/hugetlb.2MB.max", bytes(0)}, {V2 + "/a/hugetlb.2MB.current", bytes(0)},
          {V2 + "/a/hugetlb.1GB.max", bytes(2 * GiB)}, {V2 + "/a/hugetlb.1GB.current", bytes(GiB)}},
         {}, GiB, true, GiB, V2 + "/a"},
        {"v2: usage past the limit leaves nothing",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/a/hugetlb.2MB.max", bytes(2 * MiB)}, {V2 + "/a/hugetlb.2MB.current", bytes(4 * MiB)}},
         {}, 2 * MiB, true, 0, V2 + "/a"},
        {"v1: the hugetlb hierarchy, its unlimited figure no limit",
         {{"/proc/self/cgroup", "6:hugetlb:/job\n4:memory:/job\n0::/\n"}, {"/proc/self/mountinfo", v1Hugetlb},
          {H + "/hugetlb.2MB.limit_in_bytes", kV1Unlimited}, {H + "/hugetlb.2MB.usage_in_bytes", bytes(0)},
          {H + "/job/hugetlb.2MB.limit_in_bytes", bytes(8 * MiB)}, {H + "/job/hugetlb.2MB.usage_in_bytes", bytes(2 * MiB)}},
         {}, 2 * MiB, true, 6 * MiB, H + "/job"},
        {"no hugetlb controller anywhere",
         {{"/proc/self/cgroup", "4:memory:/job\n0::/\n"}, {"/proc/self/mountinfo", kV1Mounts}}, {}, 2 * MiB, true,
         std::nullopt, ""},
        {"a limit that cannot be read",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/proc/self/mountinfo", kV2Mounts}},
         {{V2 + "/a/hugetlb.2MB.max", "Permission denied"}}, 2 * MiB, false, std::nullopt, ""},
        {"a usage that is no number",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/proc/self/mountinfo", kV2Mounts},
          {V2 + "/a/hugetlb.2MB.max", bytes(8 * MiB)}, {V2 + "/a/hugetlb.2MB.current", "lots\n"}},
         {}, 2 * MiB, false, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixtureFiles files;
        for (const auto& [path, text] : c.files) files.files[path] = text;
        for (const auto& [path, why] : c.failing) files.failing[path] = why;
        const HugetlbGroupRoom room = linuxHugetlbGroupRoom(files, c.pageBytes);
        EXPECT_EQ(room.known, c.known) << room.error;
        if (!c.known) {
            EXPECT_FALSE(room.error.empty());
            continue;
        }
        EXPECT_EQ(room.room, c.room);
        EXPECT_EQ(room.folder, c.folder);
    }
}

TEST(MemoryRoom, SourceNames) {
    EXPECT_STREQ(limitSourceName(LimitSource::Host), "host");
    EXPECT_STREQ(limitSourceName(LimitSource::Cgroup), "cgroup");
    EXPECT_STREQ(limitSourceName(LimitSource::Job), "job");
}

// This machine's own figures: whatever groups hold the test, the room is
// known and within what /proc/meminfo gives. Other work on the machine moves
// MemAvailable between the two reads, hence the slack.
TEST(MemoryRoom, RealMachineRoomIsKnownAndWithinTheHost) {
    const MemoryRoom room = readMemoryRoom();
    ASSERT_TRUE(room.known) << room.error;
    const std::string meminfo = readProcFile("/proc/meminfo");
    const std::uint64_t ram = procField(meminfo, "MemTotal").value_or(0);
    const std::uint64_t host = procField(meminfo, "MemAvailable").value_or(0) + procField(meminfo, "SwapFree").value_or(0);
    EXPECT_EQ(room.total, std::min(ram, room.limit));
    EXPECT_LE(room.available, host + 256 * MiB);
    if (room.limit != kNone) {
        EXPECT_LE(room.available, room.limit);
    }
}

}  // namespace
