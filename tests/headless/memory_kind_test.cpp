// --kind: its grammar, the folder a file kind is made in, and the Linux
// pages themselves: taken, measured and given back through the same calls
// a hold makes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "headless/cli/memory_kind.h"
#include "headless/runs/held_kind.h"
#include "headless/system/held_pages.h"
#include "load/load_block.h"

namespace {
constexpr std::uint64_t kMiB = 1ull << 20;

TEST(MemoryKind, Grammar) {
    const struct {
        const char* text;
        bool valid;
        HeldKind kind;
        const char* dir;
    } cases[] = {
        {"anon", true, HeldKind::Anon, ""},
        {"file", true, HeldKind::File, ""},
        {"file:/var/tmp", true, HeldKind::File, "/var/tmp"},
        {"file:rel/dir", true, HeldKind::File, "rel/dir"},
        {"file:/a:b", true, HeldKind::File, "/a:b"},  // only the first colon parts kind and folder
        {"shmem", true, HeldKind::Shmem, ""},
        {"file:", false, HeldKind::Anon, ""},
        {"", false, HeldKind::Anon, ""},
        {"Shmem", false, HeldKind::Anon, ""},
        {"files", false, HeldKind::Anon, ""},
        {"anon:/x", false, HeldKind::Anon, ""},
        {"shmem:/dev/shm", false, HeldKind::Anon, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = parseKind(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid);
        if (!parsed) continue;
        EXPECT_EQ(parsed->kind, c.kind);
        EXPECT_EQ(parsed->dir, c.dir);
    }
}

bool onMemory(const std::string& folder) { return folder == "/dev/shm" || folder == "/run/user/0"; }

TEST(MemoryKind, FileFolderChoice) {
    const struct {
        const char *named, *tmpdir, *chosen;
    } cases[] = {
        {"/data", "/tmp", "/data"},            // named: as named, refused later if it is memory
        {"/dev/shm", "/tmp", "/dev/shm"},
        {"", "/scratch", "/scratch"},          // $TMPDIR on a disk
        {"", "/dev/shm", "/var/tmp"},          // $TMPDIR on tmpfs would be shared memory
        {"", "", "/var/tmp"},                  // unset
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.named) + " | " + c.tmpdir);
        EXPECT_EQ(fileFolder(c.named, c.tmpdir, onMemory), c.chosen);
    }
}

TEST(MemoryKind, FoldersOnMemoryAreRefused) {
    const struct {
        const char* fsType;
        bool refused;
    } cases[] = {{"tmpfs", true}, {"ramfs", true}, {"ext4", false}, {"xfs", false}, {"overlay", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fsType);
        const std::string fault = fileFolderFault("/x", c.fsType);
        EXPECT_EQ(!fault.empty(), c.refused);
        if (c.refused) {
            EXPECT_NE(fault.find("use --kind shmem"), std::string::npos) << fault;
        }
    }
}

// Pages whose residency the test sets.
class FakePages final : public HeldPages {
public:
    FakePages(HeldKind kind, std::uint64_t resident) : kind_(kind), resident_(resident) {}
    HeldKind kind() const override { return kind_; }
    std::optional<std::uint64_t> resident() override { return resident_; }
    std::string where() const override { return "here"; }
    std::string roomFor(std::uint64_t) override { return {}; }
    void* createHeap() override { return nullptr; }
    void* takeFromHeap(void*, std::uint64_t) override { return nullptr; }
    void destroyHeap(void*) override {}
    bool makeResident(void*, std::uint64_t) override { return false; }
    bool flush(void*, std::uint64_t) override { return true; }
    std::uint64_t commitLimit() override { return 0; }

private:
    HeldKind kind_;
    std::uint64_t resident_;
};

// The room a hold steers by leaves out the run's own page cache, and only
// where the figure counted it: all of the host's (MemAvailable counts the
// cache), a group's reclaimable part at most.
TEST(MemoryKind, TheRunsOwnCacheIsNoRoom) {
    const std::uint64_t none = UINT64_MAX;
    const struct {
        const char* what;
        HeldKind kind;
        std::uint64_t resident, available, reclaimable, expected;
    } cases[] = {
        {"host", HeldKind::File, 300 * kMiB, 1000 * kMiB, none, 700 * kMiB},
        {"group, cache partly active", HeldKind::File, 300 * kMiB, 1000 * kMiB, 100 * kMiB, 900 * kMiB},
        {"group, all reclaimable", HeldKind::File, 300 * kMiB, 1000 * kMiB, 500 * kMiB, 700 * kMiB},
        {"more cache than room", HeldKind::File, 300 * kMiB, 200 * kMiB, none, 0},
        {"shared memory is charged already", HeldKind::Shmem, 300 * kMiB, 1000 * kMiB, none, 1000 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakePages pages(c.kind, c.resident);
        useHeldKind(c.kind, &pages);
        MemoryRoom room;
        room.known = true;
        room.available = c.available;
        room.reclaimable = c.reclaimable;
        EXPECT_EQ(roomLessOwnCache(room).available, c.expected);
    }
    useHeldKind(HeldKind::Anon, nullptr);
}

// The descriptor of the pages' file: a memfd of that name, or a file of
// /var/tmp that has none.
std::string backingFile() {
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        if (target.find("torvane-held") != std::string::npos || target.rfind("/var/tmp/", 0) == 0)
            return fd.path().string();
    }
    return {};
}

// The bytes the system has given a file (a memfd's pages, a file's disk
// blocks): what unmapping alone would leave.
std::uint64_t allocatedBytes(const std::string& fdPath) {
    struct stat facts {};
    if (stat(fdPath.c_str(), &facts) != 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(facts.st_blocks) * 512;
}

// Three blocks taken as a hold takes them; the middle one given back
// first, which only punching its part out frees (cutting the file back
// cannot reach it); then the rest.
void takesMeasuresAndGivesBack(HeldKind kind) {
    OpenedPages opened = openHeldPages(KindRequest{kind, kind == HeldKind::File ? "/var/tmp" : ""});
    ASSERT_TRUE(opened.pages) << opened.error;
    const std::string backing = backingFile();
    ASSERT_FALSE(backing.empty());
    HeldPages& pages = *opened.pages;
    const auto resident = [&pages] { return pages.resident().value_or(UINT64_MAX); };
    const std::uint64_t residentBefore = resident();
    LoadBlock blocks[3];
    for (LoadBlock& block : blocks) ASSERT_EQ(allocateBlock(block, pages, 1, 32 * kMiB, PageTouch::WriteAll), 0);
    // Measured: all of it there (a little slack for shmem's other mappings).
    EXPECT_GE(resident(), residentBefore + 96 * kMiB);
    EXPECT_LE(resident(), residentBefore + 97 * kMiB);
    // Written and readable through the block as any block.
    blocks[1].block[5] = 7;
    EXPECT_EQ(blocks[1].block[5], 7);
    releaseBlock(blocks[1], pages, 1);
    EXPECT_LE(resident(), residentBefore + 65 * kMiB) << "a block given back out of order keeps its pages";
    EXPECT_GE(resident(), residentBefore + 64 * kMiB);
    EXPECT_LE(allocatedBytes(backing), 65 * kMiB) << "unmapped but not freed";
    releaseBlock(blocks[2], pages, 1);
    releaseBlock(blocks[0], pages, 1);
    EXPECT_LE(resident(), residentBefore + kMiB);
    EXPECT_LE(allocatedBytes(backing), kMiB);
}

TEST(HeldPages, SharedMemoryIsTakenMeasuredAndGivenBack) { takesMeasuresAndGivesBack(HeldKind::Shmem); }
TEST(HeldPages, PageCacheIsTakenMeasuredAndGivenBack) { takesMeasuresAndGivesBack(HeldKind::File); }

}  // namespace
