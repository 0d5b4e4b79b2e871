// Linux: texts are UTF-8 and written as they are.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "console_text.h"
#include "shell/string_table.h"

namespace {
TextLanguage userLanguage() {
    static const TextLanguage language =
        languageOfLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    return language;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // a closed pipe or a full disk: the run goes on
        done += static_cast<std::size_t>(written);
    }
}
}  // namespace

std::string localText(int id) { return tableText(id, userLanguage()); }

void writeLine(Stream stream, const std::string& text) {
    writeAll(stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO, text + "\n");
}

void writePrompt(const std::string& text) { writeAll(STDERR_FILENO, text); }
