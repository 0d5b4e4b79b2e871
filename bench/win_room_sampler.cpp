// The memory room as a Windows program sees it, for the keep-available rows
// under Wine: prints "total BYTES", then "room BYTES" every 10 ms, from
// GlobalMemoryStatusEx, the figure torvane-run keeps. Wine 8 gives it from
// MemFree + Buffers + Cached, not MemAvailable (measured: 23725 MiB against
// MemAvailable's 23518), and refreshes it about once a second, so the room
// the bench reads on the Linux side is not the room the keeper keeps.
//
//   bench_room_sampler.exe [SECONDS]   (default 600: ends by itself)
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const DWORD seconds = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 600;
    const ULONGLONG end = GetTickCount64() + seconds * 1000ull;
    bool first = true;
    while (GetTickCount64() < end) {
        MEMORYSTATUSEX status = {};
        status.dwLength = sizeof status;
        if (!GlobalMemoryStatusEx(&status)) return 1;
        if (first) std::printf("total %llu\n", static_cast<unsigned long long>(status.ullTotalPhys));
        first = false;
        // A reader that has gone away ends the sampler.
        if (std::printf("room %llu\n", static_cast<unsigned long long>(status.ullAvailPhys)) < 0 ||
            std::fflush(stdout) != 0) {
            return 0;
        }
        Sleep(10);
    }
    return 0;
}
