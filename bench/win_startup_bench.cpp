// Start-up time: from CreateProcess to a visible top-level window of the new
// process with the expected class, polled with a deadline; torvane.exe
// against a minimal window program, alternately. Also times the start-up
// self-check's checksum of torvane.exe on its own.
#include "win_bench.h"  // windows.h first: imagehlp.h needs its types

#include <imagehlp.h>

#include <string>

namespace {

struct Search {
    DWORD processId;
    const char* className;
    bool found;
};

BOOL CALLBACK findWindow(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[64];
    if (owner == search.processId && IsWindowVisible(window) && GetClassNameA(window, name, sizeof name) &&
        lstrcmpA(name, search.className) == 0) {
        search.found = true;
        PostMessageA(window, WM_CLOSE, 0, 0);  // done with it: let it quit the usual way
        return FALSE;
    }
    return TRUE;
}

// Milliseconds until the window shows, or a negative number past the deadline.
double startupMilliseconds(const std::string& exe, const char* className, double deadlineSeconds) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    char commandLine[MAX_PATH + 3];
    std::snprintf(commandLine, sizeof commandLine, "\"%s\"", exe.c_str());
    bench::Stopwatch watch;
    if (!CreateProcessA(exe.c_str(), commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return -1;
    Search search = {process.dwProcessId, className, false};
    double elapsed = 0;
    while ((elapsed = watch.seconds()) < deadlineSeconds) {
        EnumWindows(findWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        Sleep(1);
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return search.found ? elapsed * 1e3 : -1;
}

std::string besideThisProgram(const char* name) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    DWORD cut = length < sizeof path ? length : 0;
    while (cut > 0 && path[cut - 1] != '\\' && path[cut - 1] != '/') --cut;
    path[cut] = '\0';
    std::string beside = path;
    beside += name;
    return beside;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_startup PATH-TO-torvane.exe [repetitions]\n");
        return 2;
    }
    const std::string product = argv[1];
    const std::string minimal = besideThisProgram("bench_minimal_window.exe");
    const std::string minimalImports = besideThisProgram("bench_minimal_window_imports.exe");
    const std::string minimalPanel = besideThisProgram("bench_minimal_window_panel.exe");
    const int repetitions = bench::argOr(argc, argv, 2, 7);
    // One start of each first, unmeasured: the first start of a program pays
    // for loading the DLLs it is the first to need.
    startupMilliseconds(product, "Darnavel", 20);
    startupMilliseconds(minimal, "TorvaneBenchMinimal", 20);
    startupMilliseconds(minimalImports, "TorvaneBenchMinimal", 20);
    startupMilliseconds(minimalPanel, "TorvaneBenchMinimal", 20);
    for (int rep = 0; rep < repetitions; ++rep) {
        const double ms = startupMilliseconds(product, "Darnavel", 20);
        const double baseline = startupMilliseconds(minimal, "TorvaneBenchMinimal", 20);
        if (ms < 0 || baseline < 0) {
            bench::note("startup", "a window did not show within 20 s");
            return 1;
        }
        bench::record("startup", "window visible", "product", ms, "ms");
        bench::record("startup", "window visible", "minimal window", baseline, "ms");
        const double withImports = startupMilliseconds(minimalImports, "TorvaneBenchMinimal", 20);
        if (withImports >= 0) bench::record("startup", "window visible", "minimal + imports", withImports, "ms");
        const double withPanel = startupMilliseconds(minimalPanel, "TorvaneBenchMinimal", 20);
        if (withPanel >= 0) bench::record("startup", "window visible", "minimal + 22 controls", withPanel, "ms");

        DWORD stamped = 0;
        DWORD computed = 0;
        bench::Stopwatch watch;
        MapFileAndCheckSumA(product.c_str(), &stamped, &computed);
        bench::record("startup", "window visible", "self-check", watch.seconds() * 1e3, "ms");
    }
    return 0;
}
