// The held pages' portable parts: the content generator measured with zlib
// page by page as zram and zswap compress, the access load's pass over it,
// and the rules for locking and for the hugetlb pool.
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "headless/memory/page_content.h"
#include "headless/memory/smaps_figures.h"
#include "headless/runs/held_pages.h"

namespace {
constexpr std::size_t kPage = 4096;
constexpr std::size_t kPages = 256;

// A page-aligned buffer, as a held block is.
class Pages {
public:
    explicit Pages(std::size_t pages) : bytes_(pages * kPage + kPage) {}
    unsigned char* data() {
        const auto address = reinterpret_cast<std::uintptr_t>(bytes_.data());
        return bytes_.data() + (kPage - address % kPage) % kPage;
    }

private:
    std::vector<unsigned char> bytes_;
};

// Each page's size after zlib level 6, alone.
std::vector<std::size_t> compressedPages(const unsigned char* start, std::size_t pages) {
    std::vector<std::size_t> sizes;
    std::vector<unsigned char> out(compressBound(kPage));
    for (std::size_t i = 0; i < pages; ++i) {
        uLongf length = static_cast<uLongf>(out.size());
        EXPECT_EQ(compress2(out.data(), &length, start + i * kPage, kPage, 6), Z_OK);
        sizes.push_back(length);
    }
    return sizes;
}

void checkCharacter(const unsigned char* start, const PageContent& content, const char* when) {
    SCOPED_TRACE(when);
    const std::vector<std::size_t> sizes = compressedPages(start, kPages);
    std::size_t total = 0;
    for (std::size_t size : sizes) total += size;
    if (content.kind == PageContent::Kind::Random) {
        for (std::size_t i = 0; i < kPages; ++i) EXPECT_GE(sizes[i], kPage * 99 / 100) << "page " << i;
        return;
    }
    const double ratio = static_cast<double>(kPage * kPages) / static_cast<double>(total);
    EXPECT_NEAR(ratio, content.ratio, content.ratio * 0.2);
}

TEST(PageContent, CompressesPageByPageAsAskedBeforeAndAfterPasses) {
    for (const char* form : {"random", "compressible:2", "compressible:4", "compressible:8", "compressible:64"}) {
        SCOPED_TRACE(form);
        const PageContent content = *parseContent(form);
        Pages pages(kPages);
        writeContent(pages.data(), kPages * kPage, content, 7);
        checkCharacter(pages.data(), content, "as taken");
        xorWords(pages.data(), kPages * kPage, passKey(1, 7));
        checkCharacter(pages.data(), content, "after a pass");
        xorWords(pages.data(), kPages * kPage, passKey(2, 7));
        checkCharacter(pages.data(), content, "after two passes");
    }
}

// A block made resident piece by piece (the room is read before each) gets
// the same bytes as one written whole, whatever the pieces' sizes: each
// page is a function of its address.
TEST(PageContent, PiecesOfAnySizeWriteWhatTheWholeWould) {
    for (const char* form : {"random", "compressible:4"}) {
        SCOPED_TRACE(form);
        const PageContent content = *parseContent(form);
        Pages block(8);
        unsigned char* start = block.data();
        writeContent(start, 8 * kPage, content, 99);
        const std::vector<unsigned char> whole(start, start + 8 * kPage);
        std::memset(start, 0xAA, 8 * kPage);
        std::size_t done = 0;
        for (std::size_t piece : {1, 7, 4095, 3, 8, 5000, 13}) {
            writeContent(start + done, piece, content, 99);
            done += piece;
        }
        writeContent(start + done, 8 * kPage - done, content, 99);
        EXPECT_EQ(std::memcmp(whole.data(), start, 8 * kPage), 0);
        // And a pass likewise: the key's bytes line up with the words.
        std::vector<unsigned char> passed = whole;
        xorWords(passed.data(), 8 * kPage, 0x1122334455667788ull);
        xorWords(start, 3, 0x1122334455667788ull);
        xorWords(start + 3, 8 * kPage - 3, 0x1122334455667788ull);
        EXPECT_EQ(std::memcmp(passed.data(), start, 8 * kPage), 0);
    }
}

// Random pages are each unique (a deduplicating or same-filled-page check
// finds nothing), and another seed makes other pages.
TEST(PageContent, RandomPagesAreUniqueAndEveryPassRewritesEveryByte) {
    const PageContent random = *parseContent("random");
    Pages a(kPages), b(kPages);
    writeContent(a.data(), kPages * kPage, random, 1);
    writeContent(b.data(), kPages * kPage, random, 2);
    std::set<std::string> seen;
    for (std::size_t i = 0; i < kPages; ++i) {
        seen.insert(std::string(reinterpret_cast<const char*>(a.data() + i * kPage), kPage));
        seen.insert(std::string(reinterpret_cast<const char*>(b.data() + i * kPage), kPage));
    }
    EXPECT_EQ(seen.size(), 2 * kPages);
    std::vector<unsigned char> before(a.data(), a.data() + kPages * kPage);
    for (std::uint64_t pass = 1; pass <= 64; ++pass) {
        xorWords(a.data(), kPages * kPage, passKey(pass, 3));
        std::size_t unchanged = 0;
        for (std::size_t i = 0; i < before.size(); ++i) unchanged += a.data()[i] == before[i];
        ASSERT_EQ(unchanged, 0u) << "pass " << pass;
        std::memcpy(before.data(), a.data(), before.size());
    }
}

TEST(PageContent, ReadsItsForms) {
    const struct {
        const char* text;
        bool valid;
        PageContent::Kind kind;
        unsigned ratio;
    } cases[] = {
        {"fill", true, PageContent::Kind::Fill, 1},
        {"zero", true, PageContent::Kind::Zero, 1},
        {"random", true, PageContent::Kind::Random, 1},
        {"compressible:1", true, PageContent::Kind::Compressible, 1},
        {"compressible:64", true, PageContent::Kind::Compressible, 64},
        {"compressible:65", false, PageContent::Kind::Fill, 0},
        {"compressible:0", false, PageContent::Kind::Fill, 0},
        {"compressible:", false, PageContent::Kind::Fill, 0},
        {"compressible:4x", false, PageContent::Kind::Fill, 0},
        {"compressible:-4", false, PageContent::Kind::Fill, 0},
        {"Random", false, PageContent::Kind::Fill, 0},
        {"", false, PageContent::Kind::Fill, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<PageContent> parsed = parseContent(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid);
        if (!parsed) continue;
        EXPECT_EQ(parsed->kind, c.kind);
        EXPECT_EQ(parsed->ratio, c.ratio);
    }
}

constexpr std::uint64_t kMiB = 1ull << 20;

TEST(HeldPages, LocksWithinTheSoftLimitUnlessUnlimited) {
    const struct {
        PageLockRoom room;
        std::uint64_t bytes;
        bool refused;
        std::vector<std::string> said;
    } cases[] = {
        {{true, "", true, 8 * kMiB, 8 * kMiB, 0}, 1024 * kMiB, false, {}},
        {{true, "", false, 64 * kMiB, 64 * kMiB, 0}, 64 * kMiB, false, {}},
        {{true, "", false, 64 * kMiB, 64 * kMiB, 4 * kMiB}, 64 * kMiB, true,
         {"--lock: 64.0MiB cannot be locked: 4.0MiB is locked already and the soft RLIMIT_MEMLOCK is 64.0MiB (hard 64.0MiB)",
          "the hard limit must be raised first", "LimitMEMLOCK=", "limits.conf", "IPC_LOCK"}},
        {{true, "", false, 8 * kMiB, UINT64_MAX, 0}, 9 * kMiB, true,
         {"(hard unlimited)", "raise the soft limit with ulimit -l"}},
        {{false, "getrlimit(RLIMIT_MEMLOCK): nope", false, 0, 0, 0}, 4096, true, {"cannot be read (getrlimit"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const PagesRefusal refusal = lockRefusal(c.room, c.bytes);
        EXPECT_EQ(refusal.code != nullptr, c.refused) << refusal.why;
        for (const std::string& part : c.said) EXPECT_NE(refusal.why.find(part), std::string::npos) << refusal.why;
    }
}

TEST(HeldPages, TakesFromTheHugetlbPoolOnlyWhatItsFreePagesHold) {
    const struct {
        HugePool pool;
        std::uint64_t bytes;
        bool refused;
    } cases[] = {
        {{true, "", 2 * kMiB, 0, 0}, 2 * kMiB, true},
        {{true, "", 2 * kMiB, 32, 64}, 64 * kMiB, false},
        {{true, "", 2 * kMiB, 32, 64}, 64 * kMiB + 1, true},  // a 33rd page
        {{true, "", 1024 * kMiB, 1, 1}, 1, false},
        {{false, "no hugetlb", 0, 0, 0}, 2 * kMiB, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(poolRefusal(c.pool, c.bytes).code != nullptr, c.refused);
    }
    EXPECT_NE(poolRefusal({true, "", 2 * kMiB, 3, 10}, 64 * kMiB).why.find("3 of its 10 pages of 2.0MiB are free"),
              std::string::npos);
}

// A hugetlb cgroup tighter than the pool refuses what passes its limit,
// naming the group: past it a page would fault with SIGBUS.
TEST(HeldPages, TakesNoMoreHugePagesThanTheGroupAllows) {
    const struct {
        std::optional<std::uint64_t> groupRoom;
        std::uint64_t bytes;
        bool refused;
        const char* said;
    } cases[] = {
        {8 * kMiB, 8 * kMiB, false, ""},
        {8 * kMiB, 8 * kMiB + 1, true, "the hugetlb cgroup /g allows: 4 more pages"},
        {0, 2 * kMiB, true, "0 more pages"},
        {std::nullopt, 64 * kMiB, false, ""},
        {1024 * kMiB, 128 * kMiB, true, "does not fit the hugetlb pool"},  // the pool is the tighter
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        HugePool pool{true, "", 2 * kMiB, 32, 64};
        pool.groupRoom = c.groupRoom;
        pool.groupFolder = "/g";
        const PagesRefusal refusal = poolRefusal(pool, c.bytes);
        EXPECT_EQ(refusal.code != nullptr, c.refused) << refusal.why;
        EXPECT_NE(refusal.why.find(c.said), std::string::npos) << refusal.why;
    }
}

// What smaps says of the held mappings only, however the kernel split or
// merged them.
TEST(HeldPages, CountsHugePagesOfTheHeldMappingsOnly) {
    const std::string smaps =
        "7f0000000000-7f0000400000 rw-p 00000000 00:00 0 \n"
        "Size:               4096 kB\n"
        "AnonHugePages:      4096 kB\n"
        "Private_Hugetlb:       0 kB\n"
        "7f0000400000-7f0000a00000 rw-p 00000000 00:00 0 \n"
        "AnonHugePages:      2048 kB\n"
        "7f1000000000-7f1000400000 rw-p 00000000 00:00 0 \n"
        "AnonHugePages:      4096 kB\n"
        "7f2000000000-7f2000400000 rw-p 00000000 00:00 0 \n"
        "AnonHugePages:         0 kB\n"
        "Private_Hugetlb:    4096 kB\n";
    const struct {
        std::vector<AddressRange> ranges;
        std::uint64_t huge;
    } cases[] = {
        {{{0x7f0000000000, 0x7f0000a00000}}, 6 * kMiB},                 // one block, two mappings
        {{{0x7f0000000000, 0x7f0000200000}}, 4 * kMiB},                 // inside one mapping
        {{{0x7f1000000000, 0x7f1000400000}, {0x7f2000000000, 0x7f2000400000}}, 8 * kMiB},
        {{{0x7f0000a00000, 0x7f1000000000}}, 0},                        // between mappings
        {{}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(hugeBytesInSmaps(smaps, c.ranges), c.huge);
}
}  // namespace
