// The floor under --touch: 1 GiB written once, then each 4 KiB page's first
// word read and written back once a second, by the clock, by the loop
// --touch runs (touchPages), and nothing else, until a signal ends it.
// warm_bench.py measures its processor time as it measures each entrant's:
// what one access a page costs this machine, beside what --touch costs
// with the rest of a run around it.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "headless/runs/warm_load.h"

namespace {
constexpr std::uint64_t kBytes = 1ull << 30;
}  // namespace

int main() {
    void* mapped = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) {
        std::perror("touch_floor: mmap");
        return 1;
    }
    auto* block = static_cast<unsigned char*>(mapped);
    std::memset(block, 1, kBytes);
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (;;) {
        touchPages(block, kBytes, true);
        due.tv_sec += 1;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
        }
    }
}
