#include "access_load.h"

#include <cstring>

bool accessLoadGuard(const LoadBlock& load) {
    return load.allocated == 1 && load.block != nullptr && load.busy == 0;
}

void fillBlock(unsigned char* start, std::uint64_t bytes, unsigned char value) {
    if (bytes == 0) return;
    std::memset(start, value, static_cast<std::size_t>(bytes));
    // The block is never read back here; this barrier tells the compiler the
    // memory escapes, so the memset is a store it must keep.
    asm volatile("" : : "r"(start) : "memory");
}

int accessLoadPass(LoadBlock& load, AccessLoad& access, unsigned char* start) {
    load.busy = 1;
    if (load.allocated == 1) fillBlock(start, load.size, static_cast<unsigned char>(access.fillByte));
    load.busy = 0;
    access.fillByte += 1;
    if (access.fillByte >= 65) access.fillByte = 1;
    return 0;
}

bool accessLoadIfHeld(LoadBlock& load, AccessLoad& access) {
    if (!accessLoadGuard(load)) return false;
    accessLoadPass(load, access, load.block);
    return true;
}
