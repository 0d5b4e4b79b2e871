// The access-load pass against the best single-thread fill of the same
// resident block, in a Windows program as the product runs; then the pass
// rate sustained over 1 GiB, to set beside the peer's figure.
#include "fills.h"
#include "load/access_load.h"
#include "load/load_state.h"
#include "win_bench.h"

namespace {

void measureBlock(std::uint64_t megabytes, int repetitions, double sustainSeconds) {
    char what[32];
    std::snprintf(what, sizeof what, "%lluMiB", static_cast<unsigned long long>(megabytes));
    const std::uint64_t bytes = megabytes * bench::kMiB;
    LoadBlock load;
    AccessLoad access;
    if (allocateBlock(load, platformAllocator(), 0, bytes, PageTouch::Leave) != 0) {
        bench::note("fill.wine", "block not granted");
        return;
    }
    bench::fillRuntimeMemset(load.block, bytes, 0xEE);  // resident before any timing
    const double gigabytes = static_cast<double>(bytes) / 1e9;
    // Each repetition is one round of turns (fills.h), so that drifts in the
    // machine's load hit all alike.
    for (int rep = 0; rep < repetitions; ++rep) {
        for (int turn = 0; turn < bench::kEntrants; ++turn) {
            const int entrant = bench::entrantAt(rep, turn);
            unsigned char value = 0;
            const char* series = "product";
            bench::Stopwatch watch;
            if (entrant == 0) {
                value = static_cast<unsigned char>(access.fillByte);
                accessLoadPass(load, access, load.block);
            } else {
                const bench::FillVariant& variant = bench::kFillBaselines[entrant - 1];
                series = variant.name;
                value = static_cast<unsigned char>(100 + rep * bench::kEntrants + turn);
                variant.fill(load.block, bytes, value);
            }
            const double seconds = watch.seconds();
            if (!bench::filledWith(load.block, bytes, value)) {
                bench::note("fill.wine", "a fill left bytes unwritten");
                continue;
            }
            bench::record("fill.wine", what, series, gigabytes / seconds, "GB/s");
        }
    }
    if (sustainSeconds > 0) {
        // Back-to-back passes, as the timer gives them once a pass outlasts
        // the period.
        int passes = 0;
        bench::Stopwatch watch;
        double seconds = 0;
        while ((seconds = watch.seconds()) < sustainSeconds) {
            accessLoadPass(load, access, load.block);
            ++passes;
        }
        bench::record("peer", "wine", "product", gigabytes * passes / seconds, "GB/s");
    }
    releaseBlock(load, platformAllocator(), 0);
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = bench::argOr(argc, argv, 1, 7);
    const double sustainSeconds = bench::argOr(argc, argv, 2, 5);
    measureBlock(64, repetitions, 0);
    measureBlock(256, repetitions, 0);
    measureBlock(1024, repetitions, sustainSeconds);
    return 0;
}
