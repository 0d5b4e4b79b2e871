// What the held pages hold (--content): the access load's cycling byte (fill,
// the default), zeros, bytes no compressor can shrink (random), or pages
// that each compress about N:1 (compressible:N), as zram and zswap compress
// them: a 4 KiB page at a time. Portable: the generator is tested natively
// with zlib.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

struct PageContent {
    enum class Kind { Fill, Zero, Random, Compressible };
    Kind kind = Kind::Fill;
    unsigned ratio = 1;  // compressible:N
    // Whether the take writes it: fill and zero are what the kernel gives and
    // the access load writes; the others are made here.
    bool generated() const { return kind == Kind::Random || kind == Kind::Compressible; }
};

// The most compressible:N asks: past it a page's random part would be no
// bigger than what zlib adds to any page (its header, checksum and the
// codes of the zero run), so the ratio could not be held to.
constexpr unsigned kMostCompressible = 64;

// "fill", "zero", "random", "compressible:4"; nullopt for anything else.
std::optional<PageContent> parseContent(const std::string& text);
// The forms, for messages and --help.
extern const char kContentForms[];

// Writes `content` over [start, start + bytes). Every page is a function of
// its address and `seed` alone, so that a block made resident in pieces of
// any size is the same as one written whole, and every page of a run
// differs from every other. Fill and zero write nothing.
void writeContent(unsigned char* start, std::uint64_t bytes, const PageContent& content, std::uint64_t seed);

// The access load's pass for random and compressible:N: every 8-byte word
// XORed with `key`, which keeps a random page random and a compressible one
// as compressible (its zero run becomes a run of the key), and rewrites
// every byte. Bytes past the last whole word are XORed with the key's low
// byte.
void xorWords(unsigned char* start, std::uint64_t bytes, std::uint64_t key);

// A key for pass `pass` with no zero byte: every byte of a page changes.
std::uint64_t passKey(std::uint64_t pass, std::uint64_t seed);
