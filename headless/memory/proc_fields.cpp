#include "headless/memory/proc_fields.h"

#include <cstdio>

std::optional<std::uint64_t> procField(std::string_view text, std::string_view name) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (line.size() <= name.size() || line.compare(0, name.size(), name) != 0 || line[name.size()] != ':') {
            continue;
        }
        std::size_t p = name.size() + 1;
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
        if (p == line.size() || line[p] < '0' || line[p] > '9') return std::nullopt;
        std::uint64_t value = 0;
        for (; p < line.size() && line[p] >= '0' && line[p] <= '9'; ++p) value = value * 10 + (line[p] - '0');
        while (p < line.size() && line[p] == ' ') ++p;
        const bool kilobytes = line.substr(p, 2) == "kB";
        return kilobytes ? value * 1024 : value;
    }
    return std::nullopt;
}

std::string readProcFile(const char* path) {
    std::string text;
    // "e": glibc and musl open with O_CLOEXEC, so the child processes the
    // program starts inherit no descriptor of ours. Only ever given Linux's
    // /proc files; the rest of this file is portable and built everywhere.
    if (std::FILE* file = std::fopen(path, "re")) {
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
        std::fclose(file);
    }
    return text;
}
