// The access-load pass against the best plain fill of the same resident
// block, in a Windows program as the product runs: the window's pass on one
// thread, and torvane-run's pass split across two workers (--workers 2)
// against the fills on two threads.
#include <string>
#include <vector>

#include "fills.h"
#include "headless/runs/parallel_fill.h"
#include "load/access_load.h"
#include "load/load_state.h"
#include "product_pass.h"
#include "thread_fills.h"
#include "win_bench.h"

namespace {

void measureBlock(const char* figure, std::uint64_t megabytes, unsigned workers, int repetitions) {
    char what[32];
    std::snprintf(what, sizeof what, "%lluMiB", static_cast<unsigned long long>(megabytes));
    const std::uint64_t bytes = megabytes * bench::kMiB;
    LoadBlock load;
    AccessLoad access;
    if (allocateBlock(load, platformAllocator(), 0, bytes, PageTouch::Leave) != 0) {
        bench::note(figure, "block not granted");
        return;
    }
    bench::ThreadTeam team(workers);
    if (!team.ready()) {
        bench::note(figure, "the system refused a thread");
        releaseBlock(load, platformAllocator(), 0);
        return;
    }
    std::vector<std::string> names = {"product"};
    for (const bench::FillVariant& variant : bench::kFillBaselines) {
        char name[64];
        std::snprintf(name, sizeof name, workers > 1 ? "%s x%u" : "%s", variant.name, workers);
        names.push_back(name);
    }
    bench::fillRuntimeMemset(load.block, bytes, 0xEE);  // resident before any timing
    const bench::SettledPass settled = bench::settleProductPass(
        [&] {
            if (workers <= 1) {
                accessLoadPass(load, access, load.block);
            } else {
                accessLoadIfHeld(load, access, fillWithWorkers(workers));
            }
        },
        load.block, bytes, workers);
    bench::note(figure, (std::string(what) + ": " + settled.label()).c_str());
    // The rounds per repetition: about a quarter of a second each.
    const int rounds = megabytes >= 1024 ? 2 : megabytes >= 256 ? 5 : 10;
    const double gigabytes = static_cast<double>(bytes) * rounds / 1e9;
    // Each repetition: `rounds` rounds of turns (fills.h), so that drifts in
    // the machine's load hit all alike; the five records of a repetition are
    // taken side by side.
    static int round = 0;  // across sizes, so that the orders stay balanced
    for (int rep = 0; rep < repetitions; ++rep) {
        double seconds[bench::kEntrants] = {};
        bool filled = true;
        for (int r = 0; r < rounds; ++r, ++round) {
            for (int turn = 0; turn < bench::kEntrants; ++turn) {
                const int entrant = bench::entrantAt(round, turn);
                unsigned char value = 0;
                bench::Stopwatch watch;
                if (entrant == 0) {
                    value = static_cast<unsigned char>(access.fillByte);
                    if (workers <= 1) {
                        accessLoadPass(load, access, load.block);
                    } else {
                        accessLoadIfHeld(load, access, fillWithWorkers(workers));
                    }
                } else {
                    value = static_cast<unsigned char>(100 + round % 100);
                    team.fill(bench::kFillBaselines[entrant - 1].fill, load.block, bytes, value);
                }
                seconds[entrant] += watch.seconds();
                filled = filled && bench::filledWith(load.block, bytes, value);
            }
        }
        if (!filled) {
            bench::note(figure, "a fill left bytes unwritten");
            continue;
        }
        for (int e = 0; e < bench::kEntrants; ++e)
            bench::record(figure, what, names[e].c_str(), gigabytes / seconds[e], "GB/s");
    }
    const std::string later = bench::laterProductWay(load.block, bytes, settled);
    if (!later.empty()) bench::note(figure, (std::string(what) + later).c_str());
    releaseBlock(load, platformAllocator(), 0);
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = bench::argOr(argc, argv, 1, 20);
    for (const std::uint64_t megabytes : {64ull, 256ull, 1024ull}) {
        measureBlock("fill.wine", megabytes, 1, repetitions);
        measureBlock("fill2.wine", megabytes, 2, repetitions);
    }
    return 0;
}
