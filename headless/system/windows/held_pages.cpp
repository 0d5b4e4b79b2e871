// Windows' pages for --kind file and --kind shmem, one object per block:
// a section cannot shrink, so the held memory grows and shrinks by whole
// sections (shmem: pagefile-backed; file: a view of a file of its own,
// opened delete-on-close, so that the system removes it however the run
// ends).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "headless/record/mebibytes.h"
#include "headless/system/block_allocator.h"
#include "headless/system/held_pages.h"
#include "headless/system/windows/system_text.h"

namespace {

std::size_t pageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

struct Section {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mapping = nullptr;
    void* view = nullptr;
    std::uint64_t bytes = 0;
};

class WinPages final : public HeldPages {
public:
    WinPages(HeldKind kind, std::string folder) : kind_(kind), folder_(std::move(folder)) {}

    HeldKind kind() const override { return kind_; }
    std::string where() const override { return kind_ == HeldKind::File ? folder_ : "pagefile-backed sections"; }

    // Unchecked here: the cache manager gives no per-file residency that
    // a process can read cheaply, and a view's working-set share is not
    // the section's residency.
    std::optional<std::uint64_t> resident() override { return std::nullopt; }

    std::string roomFor(std::uint64_t bytes) override {
        if (kind_ != HeldKind::File) return {};
        ULARGE_INTEGER free = {}, total = {};
        if (!GetDiskFreeSpaceExA(folder_.c_str(), &free, &total, nullptr))
            return "the free space in " + folder_ + " cannot be read: " + systemText(GetLastError());
        const std::uint64_t reserve = std::max<std::uint64_t>(64ull << 20, total.QuadPart / 100);
        if (free.QuadPart >= reserve && bytes <= free.QuadPart - reserve) return {};
        return mebibytesText(bytes) + " of page cache needs as much free space in " + folder_ + ", which has " +
               mebibytesText(free.QuadPart) + " free and keeps " + mebibytesText(reserve) + " of it for the system";
    }

    void* createHeap() override { return new (std::nothrow) Section; }

    void* takeFromHeap(void* heap, std::uint64_t bytes) override {
        auto* section = static_cast<Section*>(heap);
        const std::uint64_t size = bytes ? bytes : pageSize();
        if (size > SIZE_MAX) return nullptr;
        if (kind_ == HeldKind::File) {
            if (!roomFor(size).empty()) return nullptr;
            char path[MAX_PATH];
            if (!GetTempFileNameA(folder_.c_str(), "tvh", 0, path)) return nullptr;
            section->file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (section->file == INVALID_HANDLE_VALUE) {
                DeleteFileA(path);
                return nullptr;
            }
        }
        section->mapping = CreateFileMappingA(section->file, nullptr, PAGE_READWRITE | SEC_COMMIT,
                                              static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr);
        if (section->mapping) section->view = MapViewOfFile(section->mapping, FILE_MAP_WRITE, 0, 0, 0);
        if (!section->view) {
            closeSection(*section);
            return nullptr;
        }
        section->bytes = size;
        return section->view;
    }

    void destroyHeap(void* heap) override {
        auto* section = static_cast<Section*>(heap);
        closeSection(*section);
        delete section;
    }

    bool makeResident(void* block, std::uint64_t bytes) override {
        if (bytes == 0) return true;
        // Writing through the view makes the pages: for a file they are its
        // cache, flushed below so that they are clean.
        writeEveryPage(block, bytes, pageSize());
        return flush(block, bytes);
    }

    bool flush(void* block, std::uint64_t bytes) override {
        if (kind_ != HeldKind::File) return true;
        return FlushViewOfFile(block, static_cast<SIZE_T>(bytes)) != 0;
    }

    std::uint64_t commitLimit() override {
        if (kind_ == HeldKind::Shmem) return platformAllocator().commitLimit();
        return UINT64_MAX - 1;
    }

private:
    static void closeSection(Section& section) {
        if (section.view) UnmapViewOfFile(section.view);
        if (section.mapping) CloseHandle(section.mapping);
        if (section.file != INVALID_HANDLE_VALUE) CloseHandle(section.file);  // deleted on this close
        section = Section{};
    }

    HeldKind kind_;
    std::string folder_;
};

bool neverMemory(const std::string&) { return false; }

}  // namespace

OpenedPages openHeldPages(const KindRequest& request) {
    OpenedPages opened;
    if (request.kind == HeldKind::Shmem) {
        opened.pages = std::make_unique<WinPages>(HeldKind::Shmem, std::string());
        return opened;
    }
    char temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof temp, temp);
    const std::string tmpdir = length > 0 && length < sizeof temp ? std::string(temp, length) : std::string();
    const std::string folder = fileFolder(request.dir, tmpdir, neverMemory);
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    const std::string shown = "--kind file" + (request.dir.empty() ? std::string() : ":" + request.dir);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        opened.error = shown + ": " + folder + " is not a folder that exists; name one";
        opened.usage = true;
        return opened;
    }
    opened.pages = std::make_unique<WinPages>(HeldKind::File, folder);
    return opened;
}
