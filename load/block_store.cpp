#include "block_store.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <emmintrin.h>
#endif

// How the classes were chosen. Measured on the bench machine (2-core AMD
// EPYC virtual machine, family 1Ah, ERMS and FSRM; bench/notes-store.md has
// the tables), each way over the same resident block, taking turns, 16 to 24
// rounds a size, natively (glibc 2.36) and in a MinGW program under Wine 8,
// as ratios to the runtime's memset:
//  - `rep stosb` under Wine: 1.42 to 1.51 at 1 MiB; 1.10 to 1.25 at 48 to
//    128 MiB in every run; 0.87 to 1.11 at 256 MiB and 0.97 to 1.00 at
//    1 GiB. At 4 to 24 MiB it ran either at the caches' speed (1.3 to 1.6,
//    two runs of six) or at the memory's (0.5 to 0.9, four runs), run by
//    run. Natively glibc's memset is a `rep stosb` from 2 KiB (its
//    rep_stosb_threshold, `ld.so --list-diagnostics`), and the two measure
//    alike (0.94 to 1.07; the same two speeds at 4 to 16 MiB).
//  - Non-temporal stores: 0.25 to 0.6 of either while the block fits the
//    caches, 0.80 to 0.97 of `rep stosb` at 256 MiB to 2 GiB, natively and
//    under Wine: this processor's fast string stores already write whole
//    lines without reading them first.
//  - Below 2 KiB `rep stosb` pays its start-up (tens of cycles); memset's
//    vector stores do not.
// So: with fast strings, memset below 2 KiB and `rep stosb` from there on;
// the blocks the access load is for (64 MiB and more) are where it leads or
// ties in every run. Without them (not measured here: the rule is the usual
// one), memset, and non-temporal stores once the block is four times the
// last-level cache, where every line would otherwise be read for ownership
// only to be overwritten.

namespace {
constexpr std::uint64_t kStringFrom = 2048;
constexpr std::uint64_t kStreamCaches = 4;

inline void keepStores(unsigned char* start) {
    // The block is never read back here; this tells the compiler that the
    // memory escapes, so the stores are kept.
    asm volatile("" : : "r"(start) : "memory");
}

#if defined(__x86_64__)
// Leaf 4 (Intel) and 0x8000001D (AMD with topology extensions) describe one
// cache per subleaf in the same layout; the last level is the largest level.
std::uint64_t largestCacheOfLeaf(unsigned leaf) {
    std::uint64_t found = 0;
    unsigned foundLevel = 0;
    for (unsigned index = 0; index < 16; ++index) {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid_count(leaf, index, &a, &b, &c, &d)) return 0;
        const unsigned type = a & 31;
        if (type == 0) break;
        if (type == 2) continue;  // instructions only
        const unsigned level = (a >> 5) & 7;
        const std::uint64_t bytes = std::uint64_t{(b >> 22) + 1} * (((b >> 12) & 0x3ff) + 1) * ((b & 0xfff) + 1) *
                                    (std::uint64_t{c} + 1);
        if (level >= foundLevel) {
            foundLevel = level;
            found = bytes;
        }
    }
    return found;
}

std::uint64_t lastLevelCache() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) && a >= 4) {
        if (const std::uint64_t bytes = largestCacheOfLeaf(4)) return bytes;
    }
    if (!__get_cpuid(0x80000000, &a, &b, &c, &d)) return 0;
    const unsigned extended = a;
    if (extended >= 0x8000001D && __get_cpuid(0x80000001, &a, &b, &c, &d) && (c >> 22 & 1)) {
        if (const std::uint64_t bytes = largestCacheOfLeaf(0x8000001D)) return bytes;
    }
    if (extended >= 0x80000006 && __get_cpuid(0x80000006, &a, &b, &c, &d)) {
        if (const std::uint64_t l3 = std::uint64_t{d >> 18} * 512 * 1024) return l3;
        return std::uint64_t{c >> 16} * 1024;  // L2, when no L3 is named
    }
    return 0;
}
#endif

void storeMemset(unsigned char* start, std::uint64_t bytes, unsigned char value) {
    std::memset(start, value, static_cast<std::size_t>(bytes));
}

void storeRepStosb(unsigned char* start, std::uint64_t bytes, unsigned char value) {
#if defined(__x86_64__)
    std::uint64_t count = bytes;
    asm volatile("rep stosb" : "+D"(start), "+c"(count) : "a"(value) : "memory");
#else
    storeMemset(start, bytes, value);
#endif
}

void storeStream(unsigned char* start, std::uint64_t bytes, unsigned char value) {
#if defined(__x86_64__)
    // The head up to a 16-byte boundary and the tail under 64 bytes by
    // memset; the body by 64-byte rounds of streaming stores.
    std::uint64_t head = (16 - (reinterpret_cast<std::uintptr_t>(start) & 15)) & 15;
    if (head > bytes) head = bytes;
    storeMemset(start, head, value);
    unsigned char* body = start + head;
    const std::uint64_t rounds = (bytes - head) / 64;
    const __m128i pattern = _mm_set1_epi8(static_cast<char>(value));
    auto* line = reinterpret_cast<__m128i*>(body);
    for (std::uint64_t k = 0; k < rounds; ++k, line += 4) {
        _mm_stream_si128(line, pattern);
        _mm_stream_si128(line + 1, pattern);
        _mm_stream_si128(line + 2, pattern);
        _mm_stream_si128(line + 3, pattern);
    }
    // Streaming stores are weakly ordered: the fence makes them visible
    // before anything the caller does next (another thread's next part, the
    // pass's end).
    _mm_sfence();
    storeMemset(body + rounds * 64, bytes - head - rounds * 64, value);
#else
    storeMemset(start, bytes, value);
#endif
}
}  // namespace

StoreFeatures probeStoreFeatures() {
    StoreFeatures features;
#if defined(__x86_64__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) && a >= 7 && __get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        features.fastStrings = (b >> 9) & 1;
    }
    features.lastLevelCacheBytes = lastLevelCache();
#endif
    return features;
}

StorePlan planStores(const StoreFeatures& features) {
    StorePlan plan;
    if (features.fastStrings) {
        plan.stringFrom = kStringFrom;
    } else if (features.lastLevelCacheBytes != 0 && features.lastLevelCacheBytes <= UINT64_MAX / kStreamCaches) {
        plan.streamFrom = features.lastLevelCacheBytes * kStreamCaches;
    }
    return plan;
}

const StorePlan& processStorePlan() {
    static const StorePlan plan = planStores(probeStoreFeatures());
    return plan;
}

StoreWay storeWayFor(const StorePlan& plan, std::uint64_t classBytes) {
    if (classBytes >= plan.streamFrom) return StoreWay::Stream;
    if (classBytes >= plan.stringFrom) return StoreWay::RepStosb;
    return StoreWay::Memset;
}

void storeWith(StoreWay way, unsigned char* start, std::uint64_t bytes, unsigned char value) {
    if (bytes == 0) return;
    switch (way) {
    case StoreWay::Memset: storeMemset(start, bytes, value); break;
    case StoreWay::RepStosb: storeRepStosb(start, bytes, value); break;
    case StoreWay::Stream: storeStream(start, bytes, value); break;
    }
    keepStores(start);
}

void storePart(const StorePlan& plan, unsigned char* start, std::uint64_t bytes, unsigned char value,
               std::uint64_t blockBytes) {
    storeWith(storeWayFor(plan, blockBytes), start, bytes, value);
}
