// The Windows half of the split pass's threads (system/windows/part_thread.cpp)
// end to end under Wine: the workers write every byte of block after block,
// the same threads pass after pass, and they end with their workers.
// Exit status 0 when every check holds; each failure is printed.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <vector>

#include "headless/runs/parallel_fill.h"
#include "headless/system/part_thread.h"

namespace {
int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

int threadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}
}  // namespace

int main() {
    check(!allowedCpus().empty(), "the process's affinity mask names its processors");
    check(cpuQuota() == 0, "no CPU quota is read on Windows");
    const int before = threadsOfThisProcess();
    {
        FillWorkers workers(3);
        check(workers.threadsStarted() == 2, "two threads beside the caller");
        check(threadsOfThisProcess() == before + 2, "the threads run");
        const std::size_t sizes[] = {0, 1, 4096, 3 * 4096 + 17, 1 << 20, (8 << 20) + 5};
        bool whole = true;
        for (int pass = 0; pass < 24; ++pass) {
            const std::size_t bytes = sizes[pass % 6];
            std::vector<unsigned char> memory(bytes + 128, 0xAA);
            const auto value = static_cast<unsigned char>(pass + 1);
            workers.fill(memory.data() + 64, bytes, value);
            for (std::size_t i = 0; i < memory.size(); ++i) {
                const bool inside = i >= 64 && i < 64 + bytes;
                whole = whole && memory[i] == (inside ? value : 0xAA);
            }
        }
        check(whole, "every pass writes its block and nothing beside it");
        check(threadsOfThisProcess() == before + 2, "the same threads after 24 passes");
    }
    check(threadsOfThisProcess() == before, "the threads end with their workers");
    std::printf(failures == 0 ? "ok: the workers' threads under Wine\n" : "%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
