// Writes a script of mixed lines of at least the given size: commands with
// and without arguments, comments, blank and indented lines, CR LF ends and
// now and then a line longer than the reader's 1,023-byte limit.
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_script PATH MEGABYTES\n");
        return 2;
    }
    const long long target = std::atoll(argv[2]) * 1048576LL;
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) return 1;
    static const char* const kLines[] = {
        "sleep 5\n", "mallocate 64\n", "# hold the block while the command runs\n", "popup Starting\n",
        "release \n", "   kallocate 16384\n", "run cleanup.bat\r\n", "\n", "allocate 1048576 bytes\n",
        "Sleep\t2\n", "free \n", "end\n", "MALLOCATE 10 MB\r\n", "popup Hello world\n", "sleep 2.5\n",
        "# a longer comment line, as people write them to explain what the next few lines are for\n",
    };
    const std::string longLine = "# " + std::string(1500, 'x') + "\n";
    std::fputs("EVKScript\n", out);
    long long written = 10;
    for (unsigned long n = 0; written < target; ++n) {
        const char* line = (n % 997 == 996) ? longLine.c_str() : kLines[n % (sizeof kLines / sizeof *kLines)];
        written += std::fputs(line, out) >= 0 ? static_cast<long long>(std::char_traits<char>::length(line)) : 0;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
