#include "headless/record/run_texts.h"

#include <vector>

#include "headless/system/console_text.h"

std::string fillPlaces(const std::string& pattern, std::initializer_list<std::string> parts) {
    const std::vector<std::string> given(parts);
    std::string text;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 2 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9' &&
            pattern[i + 2] == '}') {
            const std::size_t k = static_cast<std::size_t>(pattern[i + 1] - '1');
            if (k < given.size()) {
                text += given[k];
                i += 2;
                continue;
            }
        }
        text += pattern[i];
    }
    return text;
}

std::string runSaid(int id, std::initializer_list<std::string> parts) { return fillPlaces(localText(id), parts); }
