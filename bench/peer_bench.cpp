// The product's side of the peer row: what `torvane-run --hold 1G -a` does,
// counted the way the peer counts its own work. The block is taken as a
// hold takes it (a block from platformAllocator() made resident at once),
// then passes run back to back for SECONDS; the rate is bytes written over
// the time from before the take, so that it includes bringing the block in,
// as the peer's figure over its run does. Built natively and as a Windows
// program.
//   bench_peer WORKERS SECONDS CASE
// prints one BENCH record: peer CASE product GB/s, and a NOTE with the way
// the pass kept at the end (the block is timed over its first passes, and
// at 1 GiB the ways differ by up to a fifth: memset 19.8 against ordinary
// stores 24.3 GB/s in one bench run).
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "fills.h"
#include "headless/runs/parallel_fill.h"
#include "headless/system/block_allocator.h"
#include "load/access_load.h"
#include "load/block_store.h"
#include "load/load_block.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_peer WORKERS SECONDS CASE\n");
        return 2;
    }
    const unsigned workers = static_cast<unsigned>(std::atoi(argv[1]));
    const double seconds = std::atof(argv[2]);
    const std::uint64_t bytes = std::uint64_t{1} << 30;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    LoadBlock load;
    AccessLoad access;
    if (allocateBlock(load, platformAllocator(), 0, bytes, PageTouch::Leave) != 0 ||
        !platformAllocator().makeResident(load.block, bytes)) {
        std::printf("NOTE\tpeer\t%s: the product's 1 GiB block was not granted\n", argv[3]);
        return 1;
    }
    std::uint64_t passes = 0;
    double elapsed = 0;
    unsigned char last = 0;
    while ((elapsed = std::chrono::duration<double>(Clock::now() - start).count()) < seconds) {
        last = static_cast<unsigned char>(access.fillByte);
        accessLoadIfHeld(load, access, fillWithWorkers(workers));
        ++passes;
    }
    const bool filled = bench::filledWith(load.block, bytes, last);
    StoreWay way;
    if (calibratedWay(load.block, bytes, way, workers))
        std::printf("NOTE\tpeer\t%s: the pass's way at the end: %s\n", argv[3], storeWayName(way));
    releaseBlock(load, platformAllocator(), 0);
    if (!filled) {
        std::printf("NOTE\tpeer\t%s: a pass left bytes unwritten\n", argv[3]);
        return 1;
    }
    std::printf("BENCH\tpeer\t%s\tproduct\t%.9g\tGB/s\n", argv[3], static_cast<double>(bytes) * passes / elapsed / 1e9);
    return 0;
}
