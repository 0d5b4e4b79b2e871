#include "headless/memory/page_content.h"

#include <algorithm>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#include <immintrin.h>
#endif

namespace {
constexpr std::uint64_t kPage = 4096;

// splitmix64's finalizer: each page's streams seeded from its address.
inline std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

// The random bytes at the start of each page of compressible:N; the rest of
// the page is zero. zlib level 6 stores L random bytes and a zero run in
// about 1.04 L + 36 bytes (a dynamic Huffman block's literals and tree, the
// stream's header and checksum), measured page by page: taking L = N's
// share of the page alone gave 3.79:1 for 4 and 50:1 for 64; solved for L,
// every N from 2 to 64 lands within 3 % of the ratio asked.
std::uint64_t randomBytesPerPage(unsigned ratio) {
    if (ratio <= 1) return kPage;
    const std::uint64_t target = kPage / ratio;
    return target > 44 ? (target - 36) * 25 / 26 : 8;
}

// One page's random words: 32 xorshift64 streams side by side, seeded from
// the page's address, so that the loop has independent chains enough to
// fill the vector units. Measured in cache on the bench machine: with
// four 64-bit lanes to a register the chain is latency bound, 11 GB/s for
// 8 streams, 22 for 16, 42 for 32; a counter hash with two 64-bit
// multiplies a word ran at 8.
constexpr std::size_t kLanes = 32;

inline void seedLanes(std::uint64_t* lane, std::uintptr_t pageAddress, std::uint64_t seed) {
    for (std::size_t k = 0; k < kLanes; ++k) lane[k] = mix((pageAddress / kPage) * kLanes + k + seed) | 1;
}

void randomPageWords(std::uint64_t* page, std::uintptr_t pageAddress, std::uint64_t seed) {
    std::uint64_t lane[kLanes];
    seedLanes(lane, pageAddress, seed);
    for (std::size_t i = 0; i < kPage / 8; i += kLanes) {
        for (std::size_t k = 0; k < kLanes; ++k) {
            std::uint64_t x = lane[k];
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            lane[k] = x;
            page[i + k] = x;
        }
    }
}

// Not under MinGW: its GCC does not align the stack to 32 bytes for the
// 256-bit registers it spills (GCC bug 54412), so Windows keeps the baseline.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
// The same streams, four to a 256-bit register, where the processor has
// AVX2 (the build's baseline has only SSE2's two): 1 GiB written at 29 GB/s
// against 15 for the baseline's, the fill pass 35 in the same runs.
__attribute__((target("avx2"))) void randomPageWordsWide(std::uint64_t* page, std::uintptr_t pageAddress,
                                                          std::uint64_t seed) {
    alignas(32) std::uint64_t seeds[kLanes];
    seedLanes(seeds, pageAddress, seed);
    __m256i lane[kLanes / 4];
    for (std::size_t k = 0; k < kLanes / 4; ++k) lane[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(seeds) + k);
    auto* to = reinterpret_cast<__m256i*>(page);
    for (std::size_t i = 0; i < kPage / 32; i += kLanes / 4) {
        for (std::size_t k = 0; k < kLanes / 4; ++k) {
            __m256i x = lane[k];
            x = _mm256_xor_si256(x, _mm256_slli_epi64(x, 13));
            x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 7));
            x = _mm256_xor_si256(x, _mm256_slli_epi64(x, 17));
            lane[k] = x;
            _mm256_store_si256(to + i + k, x);
        }
    }
}

using PageWriter = void (*)(std::uint64_t*, std::uintptr_t, std::uint64_t);

// Chosen on first use, from the processor's features, never by timing; the
// compiler's check covers the system saving the wide registers too, which
// the CPUID bit alone does not.
void randomWholePage(std::uint64_t* page, std::uintptr_t pageAddress, std::uint64_t seed) {
    static const PageWriter writer = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? randomPageWordsWide : randomPageWords;
    }();
    writer(page, pageAddress, seed);
}
#else
constexpr auto randomWholePage = randomPageWords;
#endif

void writeRandom(unsigned char* start, std::uint64_t bytes, std::uint64_t seed) {
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    std::uint64_t done = 0;
    while (done < bytes) {
        const std::uintptr_t at = address + done;
        const std::uintptr_t page = at - at % kPage;
        const std::uint64_t inPage = at - page;
        const std::uint64_t length = std::min<std::uint64_t>(kPage - inPage, bytes - done);
        if (inPage == 0 && length == kPage) {
            randomWholePage(reinterpret_cast<std::uint64_t*>(start + done), page, seed);
        } else {
            // Part of a page: the whole page's words made aside, the part copied.
            alignas(8) std::uint64_t whole[kPage / 8];
            randomPageWords(whole, page, seed);
            std::memcpy(start + done, reinterpret_cast<unsigned char*>(whole) + inPage, length);
        }
        done += length;
    }
}

void writeCompressible(unsigned char* start, std::uint64_t bytes, unsigned ratio, std::uint64_t seed) {
    const std::uint64_t randomPart = randomBytesPerPage(ratio);
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    std::uint64_t done = 0;
    while (done < bytes) {
        const std::uint64_t inPage = (address + done) % kPage;
        const std::uint64_t pageLeft = std::min(kPage - inPage, bytes - done);
        if (inPage < randomPart) {
            const std::uint64_t part = std::min(randomPart - inPage, pageLeft);
            writeRandom(start + done, part, seed);
            std::memset(start + done + part, 0, pageLeft - part);
        } else {
            std::memset(start + done, 0, pageLeft);
        }
        done += pageLeft;
    }
}
}  // namespace

const char kContentForms[] = "fill, zero, random or compressible:N (N from 1 to 64), e.g. --content random";

std::optional<PageContent> parseContent(const std::string& text) {
    if (text == "fill") return PageContent{PageContent::Kind::Fill, 1};
    if (text == "zero") return PageContent{PageContent::Kind::Zero, 1};
    if (text == "random") return PageContent{PageContent::Kind::Random, 1};
    const std::string prefix = "compressible:";
    if (text.rfind(prefix, 0) != 0) return std::nullopt;
    const std::string number = text.substr(prefix.size());
    if (number.empty() || number.size() > 2 || number.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned ratio = static_cast<unsigned>(std::stoul(number));
    if (ratio < 1 || ratio > kMostCompressible) return std::nullopt;
    return PageContent{PageContent::Kind::Compressible, ratio};
}

void writeContent(unsigned char* start, std::uint64_t bytes, const PageContent& content, std::uint64_t seed) {
    switch (content.kind) {
    case PageContent::Kind::Fill:
    case PageContent::Kind::Zero: return;
    case PageContent::Kind::Random: writeRandom(start, bytes, seed); return;
    case PageContent::Kind::Compressible: writeCompressible(start, bytes, content.ratio, seed); return;
    }
}

void xorWords(unsigned char* start, std::uint64_t bytes, std::uint64_t key) {
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    std::uint64_t done = 0;
    // Whole words at word addresses: the key's bytes then line up with the
    // words the generator wrote, so an unaligned head is XORed byte by byte
    // with the matching byte of the key.
    while (done < bytes && (address + done) % 8 != 0) {
        start[done] ^= static_cast<unsigned char>(key >> (8 * ((address + done) % 8)));
        ++done;
    }
    const std::uint64_t words = (bytes - done) / 8;
    auto* word = reinterpret_cast<std::uint64_t*>(start + done);
    for (std::uint64_t i = 0; i < words; ++i) word[i] ^= key;
    done += words * 8;
    while (done < bytes) {
        start[done] ^= static_cast<unsigned char>(key >> (8 * ((address + done) % 8)));
        ++done;
    }
}

std::uint64_t passKey(std::uint64_t pass, std::uint64_t seed) {
    // No byte of the key is 0, so that every byte of every page changes.
    return mix(pass * 0x9E3779B97F4A7C15ull ^ seed) | 0x0101010101010101ull;
}
