#include "headless/cli/command_words.h"

CommandWords splitCommandWords(std::string_view text) {
    CommandWords result;
    std::string word;
    bool inWord = false;  // "" is a word of its own
    const auto failed = [&result](std::string why) {
        result.words.clear();
        result.error = std::move(why);
        return result;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord) result.words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else if (c == '\\') {
            if (i + 1 == text.size()) return failed("a backslash ends the command; write \\\\ for one");
            if (text[++i] != '\n') word += text[i];
            inWord = true;
        } else if (c == '\'') {
            const std::size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos) return failed("a ' is not closed");
            word.append(text.substr(i + 1, close - i - 1));
            i = close;
            inWord = true;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i == text.size()) return failed("a \" is not closed");
                if (text[i] == '"') break;
                if (text[i] == '\\' && i + 1 < text.size() &&
                    std::string_view("$`\"\\\n").find(text[i + 1]) != std::string_view::npos) {
                    if (text[++i] != '\n') word += text[i];
                    continue;
                }
                word += text[i];
            }
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) result.words.push_back(std::move(word));
    if (result.words.empty()) return failed("there is no command in it");
    return result;
}
