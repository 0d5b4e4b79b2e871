#include "string_table.h"

#include <cstring>
#include <initializer_list>

#include "resource_ids.h"
#include "run_string_ids.h"

namespace {
struct Entry {
    int id;
    const char* english;
    const char* japanese;
};

// The neutral column serves languages other than these two, which this table
// does not choose.
constexpr Entry kEntries[] = {
#define TV_STRING(id, en, ja) {id, en, ja},
#define TV_STRING_NEUTRAL(id, en, neutral, ja) {id, en, ja},
#include "strings.inc"
#include "run_strings.inc"
#undef TV_STRING
#undef TV_STRING_NEUTRAL
};
}  // namespace

const char* tableText(int id, TextLanguage language) {
    for (const Entry& entry : kEntries) {
        if (entry.id == id) return language == TextLanguage::Japanese ? entry.japanese : entry.english;
    }
    return "";
}

TextLanguage languageOfLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value && *value) {
            return std::strncmp(value, "ja", 2) == 0 ? TextLanguage::Japanese : TextLanguage::English;
        }
    }
    return TextLanguage::English;
}
