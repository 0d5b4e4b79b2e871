// A command for torvane-run's Windows tests: writes its process id to the
// file named first (sleeper.pid in the current folder if none), then waits. It ends by itself after a minute, so that a
// failed test leaves nothing running for long.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const std::string target = argc >= 2 ? argv[1] : "sleeper.pid";
    // Written aside and moved into place, so that a reader never sees half.
    const std::string partial = target + ".part";
    if (FILE* file = std::fopen(partial.c_str(), "w")) {
        std::fprintf(file, "%lu\n", static_cast<unsigned long>(GetCurrentProcessId()));
        std::fclose(file);
        MoveFileExA(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    Sleep(60000);
    return 0;
}
