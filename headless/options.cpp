#include "options.h"

#include <cstring>

const char kHelpText[] =
    "Usage: torvane-run [options] SCRIPT\n"
    "\n"
    "Runs a Torvane script (.evk) unattended, with the same rules, commands and\n"
    "texts as the window's Script Exec.\n"
    "\n"
    "Options:\n"
    "  -y, --yes          run without asking for confirmation (needed when\n"
    "                     standard input is not a terminal)\n"
    "  -p, --physical     physical mode: every block is made resident at once\n"
    "  -a, --access-load  rewrite the script's block every 50 ms while the\n"
    "                     script pauses, waits for a command or for a pop-up\n"
    "  -w, --wait-popups  a pop-up waits for Enter instead of going on at once\n"
    "  -h, --help         show this text\n"
    "  --                 the next argument is the script, even if it starts\n"
    "                     with '-'\n"
    "\n"
    "Every event is one line: local time, the process's resident memory, its\n"
    "committed memory and the system's available memory, the kind of event\n"
    "(status, popup, confirm, command, stop; error on standard error) and its\n"
    "text. External commands start in the script's folder.\n"
    "\n"
    "Exit status:\n"
    "  0    the script ran to its end (end, asktoquit or its last line)\n"
    "  1    the script could not be read or stopped on an error\n"
    "  2    usage error, or the confirmation was refused or could not be asked\n"
    "  130  stopped by Ctrl-C; the script's block was released";

namespace {
struct Flag {
    const char* shortName;
    const char* longName;
    bool Options::*field;
};

constexpr Flag kFlags[] = {
    {"-y", "--yes", &Options::yes},
    {"-p", "--physical", &Options::physical},
    {"-a", "--access-load", &Options::accessLoad},
    {"-w", "--wait-popups", &Options::waitPopups},
};
}  // namespace

ParsedCommandLine parseCommandLine(int argc, const char* const* argv) {
    ParsedCommandLine parsed;
    bool optionsEnded = false;
    bool haveScript = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (!optionsEnded && argument[0] == '-' && argument[1] != '\0') {
            if (std::strcmp(argument, "--") == 0) {
                optionsEnded = true;
                continue;
            }
            if (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0) {
                parsed.outcome = Parsed::Help;
                return parsed;
            }
            bool known = false;
            for (const Flag& flag : kFlags) {
                if (std::strcmp(argument, flag.shortName) == 0 || std::strcmp(argument, flag.longName) == 0) {
                    parsed.options.*flag.field = true;
                    known = true;
                }
            }
            if (!known) {
                parsed.error = std::string("unknown option ") + argument;
                return parsed;
            }
            continue;
        }
        if (haveScript) {
            parsed.error = std::string("one script at a time: ") + argument + " is one too many";
            return parsed;
        }
        if (argument[0] == '\0') {
            parsed.error = "the script's name is empty";
            return parsed;
        }
        parsed.options.script = argument;
        haveScript = true;
    }
    if (!haveScript) {
        parsed.error = "no script named";
        return parsed;
    }
    parsed.outcome = Parsed::Run;
    return parsed;
}

std::string folderOf(const std::string& path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\:");
    if (slash == std::string::npos) return {};
    // "C:\x.evk" and "\x.evk": the root itself; "C:x.evk": that drive's folder.
    if (path[slash] == ':' || slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
    return path.substr(0, slash);
#else
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
#endif
}
