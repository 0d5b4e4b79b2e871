// The allocation test's own step loop up to a 2 GiB limit, in a Windows
// program with the 1 ms pause as the product takes it; against the pauses
// alone (steps x the measured length of one pause).
#include "win_bench.h"  // windows.h first: mmsystem.h needs its types

#include <mmsystem.h>

#include "load/allocation_steps.h"
#include "load/load_state.h"

namespace {

// The platform's allocators with a commit limit of 2 GiB, so that the steps
// end there and not at the machine's memory.
class LimitedAllocator final : public BlockAllocator {
public:
    LimitedAllocator(BlockAllocator& inner, std::uint64_t limit) : inner_(inner), limit_(limit) {}
    void* takeNormal(std::uint64_t bytes) override { return inner_.takeNormal(bytes); }
    void releaseNormal(void* block) override { inner_.releaseNormal(block); }
    void* createHeap() override { return inner_.createHeap(); }
    void* takeFromHeap(void* heap, std::uint64_t bytes) override { return inner_.takeFromHeap(heap, bytes); }
    void destroyHeap(void* heap) override { inner_.destroyHeap(heap); }
    bool makeResident(void* block, std::uint64_t bytes) override { return inner_.makeResident(block, bytes); }
    std::uint64_t commitLimit() override { return limit_; }

private:
    BlockAllocator& inner_;
    std::uint64_t limit_;
};

class QuietSteps final : public AllocationStepView {
public:
    void pause() override {
        if (sleeps) Sleep(1);
        ++pauses;
    }
    bool sleeps = true;
    int pauses = 0;
};

double meanPauseSeconds() {
    constexpr int kSamples = 200;
    bench::Stopwatch watch;
    for (int i = 0; i < kSamples; ++i) Sleep(1);
    return watch.seconds() / kSamples;
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = bench::argOr(argc, argv, 1, 3);
    LimitedAllocator limited(platformAllocator(), 2048 * bench::kMiB);
    timeBeginPeriod(1);
    for (int physical = 0; physical <= 1; ++physical) {
        const char* what = physical ? "2GiB physical" : "2GiB normal";
        for (int rep = 0; rep < repetitions; ++rep) {
            const double pause = meanPauseSeconds();
            QuietSteps view;
            LoadBlock load;
            int megabytes = 0;
            int held = 0;
            bench::Stopwatch watch;
            stepUntilRefused(load, limited, physical, megabytes, held, view);
            const double seconds = watch.seconds();
            if (megabytes != 2049 || view.pauses != 2048) {
                bench::note("alloctest.wine", "the loop did not stop at the limit");
                break;
            }
            bench::record("alloctest.wine", what, "product", seconds, "s");
            bench::record("alloctest.wine", what, "pauses", pause * view.pauses, "s");
            bench::record("alloctest.wine", what, "pause", pause * 1e3, "ms");

            // The steps alone, without their pauses: what the block
            // operations themselves cost.
            QuietSteps quiet;
            quiet.sleeps = false;
            megabytes = 0;
            watch.restart();
            stepUntilRefused(load, limited, physical, megabytes, held, quiet);
            bench::record("alloctest.wine", what, "steps alone", watch.seconds(), "s");
        }
    }
    timeEndPeriod(1);
    return 0;
}
