#include "headless/record/one_line.h"

#include <cstdio>

namespace {
void appendEscaped(std::string& line, unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    line += escaped;
}

bool inRange(unsigned char byte, unsigned char low, unsigned char high) { return byte >= low && byte <= high; }

// The length of the valid UTF-8 sequence that starts at text[at], or 0. The
// second byte's range per lead excludes overlongs (C0, C1, E0 80..9F, F0
// 80..8F), surrogates (ED A0..BF) and code points above U+10FFFF (F4 90..,
// F5..FF), as in the table of well-formed sequences in the Unicode Standard,
// chapter 3.9.
std::size_t utf8SequenceLength(const std::string& text, std::size_t at, std::size_t end) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (inRange(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (inRange(lead, 0xE0, 0xEF)) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (inRange(lead, 0xF0, 0xF4)) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (end - at < length) return 0;
    if (!inRange(static_cast<unsigned char>(text[at + 1]), low, high)) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!inRange(static_cast<unsigned char>(text[at + i]), 0x80, 0xBF)) return 0;
    }
    return length;
}
}  // namespace

std::string oneLine(const std::string& text) {
    std::string line;
    const std::size_t length = !text.empty() && text.back() == '\n' ? text.size() - 1 : text.size();
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
        case '\n': line += "\\n"; continue;
        case '\r': line += "\\r"; continue;
        case '\t': line += "\\t"; continue;
        default: break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            appendEscaped(line, byte);
        } else if (byte < 0x80) {
            line += static_cast<char>(byte);
        } else if (const std::size_t sequence = utf8SequenceLength(text, i, length); sequence == 0) {
            // Only the lead: what follows is read afresh, so a stray
            // continuation byte is escaped on its own and a valid character
            // after a cut-short sequence is kept.
            appendEscaped(line, byte);
        } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            appendEscaped(line, byte);  // a C1 control
            appendEscaped(line, static_cast<unsigned char>(text[i + 1]));
            i += 1;
        } else {
            line.append(text, i, sequence);
            i += sequence - 1;
        }
    }
    return line;
}
