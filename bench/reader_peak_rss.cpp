// Reads a whole script with the product's reader (or with fgets and strtok)
// and prints the lines read and the process's peak resident set in KiB, so
// that runs over a small and a very large script can be compared.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "script/script_reader.h"

namespace {

long peakKiB() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

long long readWithReader(const char* path) {
    ScriptReader reader(path);
    if (!reader.isOpen() || !reader.readMagicLine()) return -1;
    long long lines = 0;
    ScriptLine line;
    while (reader.readLine(line)) ++lines;
    return lines;
}

long long readWithFgets(const char* path) {
    std::FILE* file = std::fopen(path, "r");
    if (!file) return -1;
    char buffer[1024];
    long long lines = -1;
    if (std::fgets(buffer, 256, file)) {
        lines = 0;
        while (std::fgets(buffer, sizeof buffer, file)) {
            if (std::strtok(buffer, " ")) std::strtok(nullptr, " ");
            ++lines;
        }
    }
    std::fclose(file);
    return lines;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "reader") != 0 && std::strcmp(argv[1], "fgets") != 0)) {
        std::fprintf(stderr, "usage: reader_peak_rss reader|fgets PATH\n");
        return 2;
    }
    const long before = peakKiB();
    const long long lines = std::strcmp(argv[1], "reader") == 0 ? readWithReader(argv[2]) : readWithFgets(argv[2]);
    if (lines < 0) return 1;
    std::printf("%lld %ld %ld\n", lines, before, peakKiB());
    return 0;
}
