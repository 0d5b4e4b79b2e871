// The allocator seam with the memory room asked first. Linux grants a
// mapping it cannot fill and later ends some process to fill it; inside a
// memory cgroup that process is this one (exit 137, nothing printed). So a
// block that is to be resident and does not fit the room is refused before
// the system is asked, and fails as any refused allocation does.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "headless/memory/room_rules.h"
#include "load/load_block.h"

// What the room keeps beyond everything torvane-run makes resident: the
// process's own growth (its threads' stacks, the figures it reads), a
// command's fork and exec (the watcher, the program's first pages, the page
// cache of its binary) and the kernel's own small charges. Measured in a
// 512 MiB cgroup v1 group: `--hold all-X --partial -- true` and
// `-a --workers 4` were OOM-killed with X = 0 and 1 MiB and never from 2 MiB
// up; the margin is eight times that, so that a shell or a bigger program
// starts too.
constexpr std::uint64_t kRoomMargin = 16ull << 20;

// Whether a resident block of `bytes` fits `room` and leaves the margin.
// Each 4 KiB page also needs 8 bytes of page table, charged to the same
// limit, so a block needs 1/512 more than its size.
bool fitsRoom(std::uint64_t bytes, const MemoryRoom& room);

// The most that fits `roomBytes` by that rule: 512/513 of what is left after
// the margin, rounded down.
std::uint64_t mostResidentIn(std::uint64_t roomBytes);

// Blocks are made resident in pieces of at most this size, the room read
// again before each: a 1 GiB block in 16 reads, each a few files of /proc
// and the group's (about 0.1 ms against the 9 ms a piece takes to fill).
constexpr std::uint64_t kResidentPiece = 64ull << 20;

class RoomCheckedAllocator final : public BlockAllocator {
public:
    using ReadRoom = std::function<MemoryRoom()>;
    // Says why a block was refused: a fixed code ("room-refused") and a line
    // for the user.
    using Explain = std::function<void(const char* code, const std::string& text)>;

    // `normalResident`: normal-mode blocks will be written whole (the access
    // load), so they must fit too and are made resident when taken;
    // otherwise they are only committed.
    RoomCheckedAllocator(BlockAllocator& inner, ReadRoom readRoom, Explain explain, bool normalResident);

    void* takeNormal(std::uint64_t bytes) override;
    void releaseNormal(void* block) override;
    void* createHeap() override { return inner_.createHeap(); }
    void* takeFromHeap(void* heap, std::uint64_t bytes) override;
    void destroyHeap(void* heap) override;
    bool makeResident(void* block, std::uint64_t bytes) override;
    std::uint64_t commitLimit() override;

    // False for blocks that are the run's own clean page cache (--kind
    // file): the room already counts that cache as what the kernel takes
    // back first (room_rules.h's reclaimable), so taking it can never leave
    // the room short, and checking it against the room would refuse cache
    // that costs the room nothing. Such blocks are bounded by their file
    // system's free space instead, which the pages check themselves.
    // Shared memory is charged to the group and left out of MemAvailable as
    // anonymous memory is, so it is checked as anonymous memory.
    void setRoomCounts(bool counts) { roomCounts_ = counts; }

    // What the run holds now: every block taken and not yet given back
    // (the script's block, a hold's chunks). Changed by the run's thread
    // only; read from any (the metrics endpoint's).
    std::uint64_t held() const { return held_.load(std::memory_order_relaxed); }
    // The most it held at once.
    std::uint64_t heldMax() const { return heldMax_; }
    // The size last asked for while blocks are held or since the last ask
    // failed; nothing once all has been given back.
    std::optional<std::uint64_t> lastAsked() const { return lastAsked_; }

private:
    bool fits(std::uint64_t bytes);
    void* counted(void* key, std::uint64_t bytes);
    void forget(void* key);

    BlockAllocator& inner_;
    ReadRoom readRoom_;
    Explain explain_;
    bool normalResident_;
    bool roomCounts_ = true;
    // Block (normal mode) or heap (physical mode) to its size: every block
    // passes here, so the count needs nothing of the load engine's.
    std::map<void*, std::uint64_t> sizes_;
    std::atomic<std::uint64_t> held_{0};
    std::uint64_t heldMax_ = 0;
    std::optional<std::uint64_t> lastAsked_;
};
