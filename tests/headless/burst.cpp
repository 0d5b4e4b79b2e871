// A burst of memory for the tests: takes BYTES resident in 16 even steps
// over SPREAD milliseconds, holds them HOLD milliseconds, and ends with 0.
// It asks nothing of any room: the competitor a holder must make way for.
//   burst BYTES SPREAD HOLD
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {
void sleepMilliseconds(long ms) {
    const timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::uint64_t bytes = std::strtoull(argv[1], nullptr, 10);
    const long spread = std::atol(argv[2]), hold = std::atol(argv[3]);
    constexpr int kSteps = 16;
    const std::uint64_t step = (bytes / kSteps + 4095) / 4096 * 4096;
    for (int i = 0; i < kSteps; ++i) {
        void* block = mmap(nullptr, step, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) return 1;
        std::memset(block, 1, step);  // resident, and not a zero page
        sleepMilliseconds(spread / kSteps);
    }
    sleepMilliseconds(hold);
    return 0;
}
