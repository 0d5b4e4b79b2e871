// Texts between the string table and the console: the user's language, the
// encoding the console shows, and whole lines written at once.
#pragma once
#include <string>

enum class Stream { Out, Err };

// Table text `id` in the user's language and in the encoding that the script
// runner's texts use: UTF-8 on Linux; on Windows the ANSI code page, as the
// window's LoadStringA gives it, since script texts come in that code page.
std::string localText(int id);

// Writes `text` and a line end to the stream in one piece, converted for the
// console where one shows it. Output goes straight to the stream, unbuffered,
// so lines keep their order with what external commands print.
void writeLine(Stream stream, const std::string& text);

// A question on standard error, with no line end.
void writePrompt(const std::string& text);
