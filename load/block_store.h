// The one store routine of the access load's pass: how a run of bytes gets
// one value, by size class. The classes and their thresholds are chosen once
// from the processor's features (CPUID), never by timing; see block_store.cpp
// for what was measured to choose them. No platform headers: compiler
// intrinsics only, so it is unit-tested natively.
#pragma once
#include <cstdint>

// The ways of storing a value over a run of bytes.
enum class StoreWay {
    Memset,    // the C library's memset
    RepStosb,  // one `rep stosb` (fast string stores)
    Stream,    // non-temporal 16-byte stores, then a store fence
};

// What the choice rests on, as read from CPUID.
struct StoreFeatures {
    bool fastStrings = false;                // ERMS: CPUID 7.0 EBX bit 9
    std::uint64_t lastLevelCacheBytes = 0;   // 0 when CPUID does not say
};

// The size classes: below stringFrom bytes memset, from stringFrom up to
// streamFrom `rep stosb`, from streamFrom non-temporal stores. A threshold of
// UINT64_MAX leaves its class out.
struct StorePlan {
    std::uint64_t stringFrom = UINT64_MAX;
    std::uint64_t streamFrom = UINT64_MAX;
};

// The processor this runs on (all false/0 off x86-64).
StoreFeatures probeStoreFeatures();

// The classes for a processor with these features.
StorePlan planStores(const StoreFeatures& features);

// The plan of this process: planStores(probeStoreFeatures()), made on first
// use and kept.
const StorePlan& processStorePlan();

// Which way `plan` takes for a block of `classBytes`.
StoreWay storeWayFor(const StorePlan& plan, std::uint64_t classBytes);

// Writes `value` over [start, start + bytes) the given way; nothing outside
// it is written. The compiler may not drop the stores (the block escapes).
void storeWith(StoreWay way, unsigned char* start, std::uint64_t bytes, unsigned char value);

// Writes one part of a block the way its whole block's class takes: a pass
// split across threads stores each part as the whole block would be stored,
// since the class is about the block against the caches, not the part.
void storePart(const StorePlan& plan, unsigned char* start, std::uint64_t bytes, unsigned char value,
               std::uint64_t blockBytes);
