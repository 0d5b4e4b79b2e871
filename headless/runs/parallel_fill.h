// --workers N: one access-load pass written by N threads. One thread writes
// at most what one core can push (23.5 GB/s over a 1 GiB block natively,
// bench/results.md); a machine's memory bus takes more than one core's worth.
// Portable; the threads come from part_thread.h.
#pragma once
#include <cstdint>
#include <vector>

// Where each worker's part of [address, address + bytes) ends: `workers`
// contiguous parts of near-equal size, every boundary between two parts on a
// 4 KiB page boundary of the address space (a page is written by one thread
// only: no two threads fault in or share the cache lines of one page). The
// last end is address + bytes; parts may be empty when the block has fewer
// pages than workers. workers 0 counts as 1.
std::vector<std::uintptr_t> fillPartEnds(std::uintptr_t address, std::uint64_t bytes, unsigned workers);

// Writes `value` over [start, start + bytes) with fillBlock (load/access_load.h),
// one part per worker: the calling thread writes the first, a new thread each
// other non-empty part. Every thread is joined before it returns (no thread
// outlives a pass: the program starts commands between passes). workers <= 1:
// a plain fillBlock. A thread the system will not start has its part written
// by the calling thread.
void fillInParts(unsigned char* start, std::uint64_t bytes, unsigned char value, unsigned workers);

// The access load's fill for --workers N: fillInParts with N.
inline auto fillWithWorkers(unsigned workers) {
    return [workers](unsigned char* start, std::uint64_t bytes, unsigned char value) {
        fillInParts(start, bytes, value, workers);
    };
}
