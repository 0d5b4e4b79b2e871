// Single-thread ways of writing a value over a block, the yardsticks for the
// access-load pass. Built natively and with MinGW (x86-64 GCC in both).
#pragma once
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace bench {

inline void keepStores(void* p) { asm volatile("" : : "r"(p) : "memory"); }

// Whatever the C runtime in this process provides (glibc natively, the
// runtime DLL under Wine).
inline void fillRuntimeMemset(unsigned char* p, std::size_t n, unsigned char v) {
    std::memset(p, v, n);
    keepStores(p);
}

inline void fillRepStosb(unsigned char* p, std::size_t n, unsigned char v) {
    asm volatile("rep stosb" : "+D"(p), "+c"(n) : "a"(v) : "memory");
}

// 16-byte non-temporal stores, 64 bytes a round, then a fence so that the
// writes are done when the timer stops.
inline void fillStream(unsigned char* p, std::size_t n, unsigned char v) {
    while (n != 0 && (reinterpret_cast<std::uintptr_t>(p) & 15) != 0) {
        *p++ = v;
        --n;
    }
    const __m128i x = _mm_set1_epi8(static_cast<char>(v));
    auto* q = reinterpret_cast<__m128i*>(p);
    std::size_t rounds = n / 64;
    for (; rounds != 0; --rounds, q += 4) {
        _mm_stream_si128(q, x);
        _mm_stream_si128(q + 1, x);
        _mm_stream_si128(q + 2, x);
        _mm_stream_si128(q + 3, x);
    }
    _mm_sfence();
    p = reinterpret_cast<unsigned char*>(q);
    for (n %= 64; n != 0; --n) *p++ = v;
    keepStores(p);
}

// Ordinary 16-byte stores, two a round: what Wine's memset does, and on this
// machine's processor the fastest single thread past the caches.
inline void fillVector(unsigned char* p, std::size_t n, unsigned char v) {
    while (n != 0 && (reinterpret_cast<std::uintptr_t>(p) & 15) != 0) {
        *p++ = v;
        --n;
    }
    const __m128i x = _mm_set1_epi8(static_cast<char>(v));
    auto* q = reinterpret_cast<__m128i*>(p);
    for (std::size_t rounds = n / 32; rounds != 0; --rounds, q += 2) {
        _mm_store_si128(q, x);
        _mm_store_si128(q + 1, x);
    }
    p = reinterpret_cast<unsigned char*>(q);
    for (n %= 32; n != 0; --n) *p++ = v;
    keepStores(p);
}

struct FillVariant {
    const char* name;
    void (*fill)(unsigned char*, std::size_t, unsigned char);
};

inline constexpr FillVariant kFillBaselines[] = {
    {"memset", fillRuntimeMemset},
    {"rep-stosb", fillRepStosb},
    {"stream", fillStream},
    {"vector", fillVector},
};

// The pass and the four fills take turns over the same block. A fill can
// leave the memory system in a state that helps or hurts the next one (the
// non-temporal stores do), so the order is balanced for that: over ten
// rounds every entrant follows every other exactly twice (a Williams design
// for an odd count: a square and its mirror). Entrant 0 is the product's
// pass, 1 to 4 the baselines above.
inline constexpr int kEntrants = 5;
inline constexpr int kBalancedRounds = 2 * kEntrants;
inline int entrantAt(int round, int turn) {
    static constexpr int kFirstRow[kEntrants] = {0, 1, 4, 2, 3};
    const int row = round % kBalancedRounds;
    const int at = row < kEntrants ? turn : kEntrants - 1 - turn;
    return (kFirstRow[at] + row) % kEntrants;
}
static_assert(1 + std::size(kFillBaselines) == kEntrants);

// A fill that skipped bytes would look fast: check a byte in every page and
// both ends.
inline bool filledWith(const unsigned char* p, std::size_t n, unsigned char v) {
    if (n == 0) return true;
    for (std::size_t i = 0; i < n; i += 4096)
        if (p[i] != v) return false;
    return p[n - 1] == v;
}

}  // namespace bench
