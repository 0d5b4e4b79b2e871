#include "access_load.h"

#include "block_store.h"

bool accessLoadGuard(const LoadBlock& load) {
    return load.allocated == 1 && load.block != nullptr && load.busy == 0;
}

void fillBlock(unsigned char* start, std::uint64_t bytes, unsigned char value) {
    storeBlock(processStorePlan(), start, bytes, value);
}

namespace {
// The one pass body; a template so that the window's pass calls fillBlock
// directly, with no std::function in between.
template <typename Fill>
void passWith(LoadBlock& load, AccessLoad& access, unsigned char* start, const Fill& fill) {
    load.busy = 1;
    const unsigned char value = takeFillByte(access);
    if (load.allocated == 1) fill(start, load.size, value);
    load.busy = 0;
}
}  // namespace

unsigned char takeFillByte(AccessLoad& access) {
    const auto value = static_cast<unsigned char>(access.fillByte);
    access.fillByte += 1;
    if (access.fillByte >= 65) access.fillByte = 1;
    return value;
}

int accessLoadPass(LoadBlock& load, AccessLoad& access, unsigned char* start) {
    passWith(load, access, start, fillBlock);
    return 0;
}

bool accessLoadIfHeld(LoadBlock& load, AccessLoad& access) {
    if (!accessLoadGuard(load)) return false;
    accessLoadPass(load, access, load.block);
    return true;
}

bool accessLoadIfHeld(LoadBlock& load, AccessLoad& access, const BlockFill& fill) {
    if (!accessLoadGuard(load)) return false;
    passWith(load, access, load.block, fill);
    return true;
}
