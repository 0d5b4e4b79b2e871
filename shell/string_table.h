// The string table's texts for code that cannot load resources: the same
// single source (strings.inc) that the resource script expands, as UTF-8.
#pragma once

enum class TextLanguage { English, Japanese };

// Text `id` in `language`, UTF-8; empty for an identifier the table lacks, as
// a failed string load leaves it.
const char* tableText(int id, TextLanguage language);

// The language that the POSIX locale variables choose for messages: the
// first one set and non-empty of LC_ALL, LC_MESSAGES and LANG; Japanese when
// it begins with "ja". Any may be null.
TextLanguage languageOfLocale(const char* lcAll, const char* lcMessages, const char* lang);
