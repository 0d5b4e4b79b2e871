// Taking a block, as a Windows program under Wine: in physical mode against
// the fastest way the platform offers to make as much fresh memory resident,
// and in normal mode against a bare malloc and free.
#include "win_bench.h"  // windows.h first: psapi.h needs its types

#include <psapi.h>

#include <initializer_list>
#include <iterator>
#include <vector>

#include "fills.h"
#include "load/load_state.h"

namespace {

using QueryWorkingSetExFn = BOOL(WINAPI*)(HANDLE, PVOID, DWORD);
// Declared here: the headers offer it only to programs for Windows 8 and later.
struct MemoryRange {
    PVOID address;
    SIZE_T bytes;
};
using PrefetchFn = BOOL(WINAPI*)(HANDLE, ULONG_PTR, MemoryRange*, ULONG);

QueryWorkingSetExFn queryWorkingSetEx() {
    static const auto fn = reinterpret_cast<QueryWorkingSetExFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32QueryWorkingSetEx")));
    return fn;
}

std::uint64_t pageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

// Whether sampled pages (about 1,000 of them, and the last) are in the
// working set. A method that leaves pages to be faulted in later would look
// fast without doing the work.
enum class Residency { Resident, NotResident, Unknown };
Residency residency(const unsigned char* block, std::uint64_t bytes) {
    QueryWorkingSetExFn query = queryWorkingSetEx();
    if (!query) return Residency::Unknown;
    const std::uint64_t page = pageSize();
    const std::uint64_t pages = bytes / page;
    const std::uint64_t stride = pages > 1000 ? pages / 1000 : 1;
    std::vector<PSAPI_WORKING_SET_EX_INFORMATION> samples;
    for (std::uint64_t p = 0; p < pages; p += stride) {
        PSAPI_WORKING_SET_EX_INFORMATION info = {};
        info.VirtualAddress = const_cast<unsigned char*>(block) + p * page;
        samples.push_back(info);
    }
    PSAPI_WORKING_SET_EX_INFORMATION last = {};
    last.VirtualAddress = const_cast<unsigned char*>(block) + bytes - 1;
    samples.push_back(last);
    if (!query(GetCurrentProcess(), samples.data(), static_cast<DWORD>(samples.size() * sizeof samples[0])))
        return Residency::Unknown;
    for (const auto& s : samples)
        if (!s.VirtualAttributes.Valid) return Residency::NotResident;
    return Residency::Resident;
}

bool allZero(const unsigned char* block, std::uint64_t bytes) {
    for (std::uint64_t i = 0; i < bytes; i += 4096)
        if (block[i] != 0) return false;
    return block[bytes - 1] == 0;
}

// One way of making fresh memory resident: take, with the clock running,
// then give back.
struct TakeMethod {
    const char* name;
    unsigned char* (*take)(std::uint64_t bytes, void*& handle);
    void (*give)(unsigned char* block, void* handle);
};

unsigned char* virtualAlloc(std::uint64_t bytes) {
    return static_cast<unsigned char*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}
void virtualFree(unsigned char* block, void*) { VirtualFree(block, 0, MEM_RELEASE); }

const TakeMethod kTakeMethods[] = {
    {"VirtualAlloc+touch",
     [](std::uint64_t bytes, void*&) {
         unsigned char* block = virtualAlloc(bytes);
         if (!block) return block;
         writeEveryPage(block, bytes, 4096);
         return block;
     },
     virtualFree},
    {"malloc+memset",
     [](std::uint64_t bytes, void*&) {
         auto* block = static_cast<unsigned char*>(std::malloc(bytes));
         // Without the barrier the compiler makes malloc and memset one
         // calloc, which writes nothing.
         bench::keepStores(block);
         if (block) bench::fillRuntimeMemset(block, bytes, 0);
         return block;
     },
     [](unsigned char* block, void*) { std::free(block); }},
    {"VirtualAlloc+rep-stosb",
     [](std::uint64_t bytes, void*&) {
         unsigned char* block = virtualAlloc(bytes);
         if (block) bench::fillRepStosb(block, bytes, 0);
         return block;
     },
     virtualFree},
    {"VirtualAlloc+VirtualLock",
     [](std::uint64_t bytes, void*&) {
         unsigned char* block = virtualAlloc(bytes);
         if (!block) return block;
         if (!VirtualLock(block, bytes)) {
             VirtualFree(block, 0, MEM_RELEASE);
             return static_cast<unsigned char*>(nullptr);
         }
         VirtualUnlock(block, bytes);
         return block;
     },
     virtualFree},
    {"VirtualAlloc+VirtualLock, 4 MiB at a time",
     [](std::uint64_t bytes, void*&) {
         unsigned char* block = virtualAlloc(bytes);
         if (!block) return block;
         constexpr std::uint64_t kPiece = 4 * bench::kMiB;
         for (std::uint64_t done = 0; done < bytes; done += kPiece) {
             const SIZE_T piece = static_cast<SIZE_T>(bytes - done < kPiece ? bytes - done : kPiece);
             if (!VirtualLock(block + done, piece)) {
                 VirtualFree(block, 0, MEM_RELEASE);
                 return static_cast<unsigned char*>(nullptr);
             }
             VirtualUnlock(block + done, piece);
         }
         return block;
     },
     virtualFree},
    {"VirtualAlloc+Prefetch",
     [](std::uint64_t bytes, void*&) {
         static const auto prefetch = reinterpret_cast<PrefetchFn>(
             reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "PrefetchVirtualMemory")));
         if (!prefetch) return static_cast<unsigned char*>(nullptr);
         unsigned char* block = virtualAlloc(bytes);
         if (!block) return block;
         MemoryRange range = {block, static_cast<SIZE_T>(bytes)};
         if (!prefetch(GetCurrentProcess(), 1, &range, 0)) {
             VirtualFree(block, 0, MEM_RELEASE);
             return static_cast<unsigned char*>(nullptr);
         }
         return block;
     },
     virtualFree},
    {"VirtualAlloc(large pages)+touch",
     [](std::uint64_t bytes, void*&) {
         const SIZE_T large = GetLargePageMinimum();
         if (large == 0) return static_cast<unsigned char*>(nullptr);
         const std::uint64_t rounded = (bytes + large - 1) / large * large;
         auto* block = static_cast<unsigned char*>(
             VirtualAlloc(nullptr, rounded, MEM_RESERVE | MEM_COMMIT | MEM_LARGE_PAGES, PAGE_READWRITE));
         if (!block) return block;
         writeEveryPage(block, bytes, 4096);
         return block;
     },
     virtualFree},
    {"HeapAlloc(zero) alone",
     [](std::uint64_t bytes, void*& handle) {
         handle = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
         return handle ? static_cast<unsigned char*>(HeapAlloc(handle, HEAP_ZERO_MEMORY, bytes)) : nullptr;
     },
     [](unsigned char*, void* handle) { HeapDestroy(handle); }},
};

void physicalTake(std::uint64_t megabytes, int repetitions) {
    char what[32];
    std::snprintf(what, sizeof what, "%lluMiB", static_cast<unsigned long long>(megabytes));
    const std::uint64_t bytes = megabytes * bench::kMiB;
    const double gigabytes = static_cast<double>(bytes) / 1e9;
    std::vector<bool> usable(std::size(kTakeMethods), true);
    for (int rep = 0; rep < repetitions; ++rep) {
        LoadBlock load;
        bench::Stopwatch watch;
        const int failed = allocateBlock(load, platformAllocator(), 1, bytes, PageTouch::WriteAll);
        const double seconds = watch.seconds();
        if (failed) {
            bench::note("take.physical", "the product's physical-mode block was not granted");
            return;
        }
        const Residency r = residency(load.block, bytes);
        if (r == Residency::NotResident) bench::note("take.physical", "the product's block is not all resident");
        if (!allZero(load.block, bytes)) bench::note("take.physical", "the product's block is not all zero");
        releaseBlock(load, platformAllocator(), 1);
        bench::record("take.physical", what, "product", gigabytes / seconds, "GB/s");

        for (std::size_t m = 0; m < std::size(kTakeMethods); ++m) {
            if (!usable[m]) continue;
            const TakeMethod& method = kTakeMethods[m];
            void* handle = nullptr;
            watch.restart();
            unsigned char* block = method.take(bytes, handle);
            const double s = watch.seconds();
            if (!block) {
                char text[160];
                std::snprintf(text, sizeof text, "%s: not available here (error %lu)", method.name, GetLastError());
                bench::note("take.physical", text);
                usable[m] = false;
                continue;
            }
            const Residency mr = residency(block, bytes);
            method.give(block, handle);
            if (mr != Residency::Resident) {
                char text[160];
                std::snprintf(text, sizeof text, "%s: leaves pages %s; not a baseline", method.name,
                              mr == Residency::Unknown ? "of unknown residency" : "not resident");
                bench::note("take.physical", text);
                usable[m] = false;
                continue;
            }
            bench::record("take.physical", what, method.name, gigabytes / s, "GB/s");
        }
    }
}

// Normal mode: the product's take and release against malloc and free.
void normalTakeRelease(std::uint64_t megabytes, int repetitions) {
    char what[32];
    std::snprintf(what, sizeof what, "%lluMiB", static_cast<unsigned long long>(megabytes));
    const std::uint64_t bytes = megabytes * bench::kMiB;
    constexpr int kRounds = 100;
    for (int rep = 0; rep < repetitions; ++rep) {
        // Alternate which goes first, against drifts in the machine's load.
        for (int turn = 0; turn < 2; ++turn) {
            bench::Stopwatch watch;
            if ((turn + rep) % 2 == 0) {
                LoadBlock load;
                for (int i = 0; i < kRounds; ++i) {
                    if (allocateBlock(load, platformAllocator(), 0, bytes, PageTouch::Leave) != 0) {
                        bench::note("take.normal", "the product's normal-mode block was not granted");
                        return;
                    }
                    releaseBlock(load, platformAllocator(), 0);
                }
                bench::record("take.normal", what, "product", watch.seconds() / kRounds * 1e6, "us");
            } else {
                for (int i = 0; i < kRounds; ++i) {
                    void* block = std::malloc(bytes);
                    bench::keepStores(block);
                    std::free(block);
                }
                bench::record("take.normal", what, "malloc+free", watch.seconds() / kRounds * 1e6, "us");
            }
        }
        // The one thing the product adds: asking for the commit limit.
        bench::Stopwatch watch;
        for (int i = 0; i < kRounds; ++i) bench::keepStores(reinterpret_cast<void*>(platformAllocator().commitLimit()));
        bench::record("take.normal", what, "commit-limit query", watch.seconds() / kRounds * 1e6, "us");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = bench::argOr(argc, argv, 1, 5);
    // VirtualLock may lock no more than the working set's minimum.
    SetProcessWorkingSetSize(GetCurrentProcess(), 1200 * bench::kMiB, 1400 * bench::kMiB);
    physicalTake(256, repetitions);
    physicalTake(1024, repetitions);
    for (std::uint64_t megabytes : {1ull, 256ull, 4096ull}) normalTakeRelease(megabytes, repetitions + 2);
    return 0;
}
