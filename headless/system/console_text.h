// Texts between the string table and the console: the user's language, the
// encoding the console shows, and whole lines written at once.
#pragma once
#include <string>

enum class Stream { Out, Err };

// Table text `id` in the user's language, in UTF-8: every text is UTF-8
// inside torvane-run, so that one escaping rule serves all of them.
std::string localText(int id);

// Table text `id` in the encoding of the script runner's texts, for the
// runner to put together with a script's own: UTF-8 on Linux; on Windows the
// ANSI code page, as the window's LoadStringA gives it.
std::string runnerText(int id);

// A text of the runner's (a pop-up, a command, a keyword, a box's text) in
// UTF-8. Linux takes scripts to be UTF-8 already; Windows reads them in the
// ANSI code page, as the window does, and converts them.
std::string fromScript(const std::string& bytes);

// Standard input, output and error that are closed at start are opened on
// the null device, so that no file of the run's own can take their numbers
// (a script read as input, log lines written into the script). Output or
// error closed at start still counts as output that cannot be written.
void openMissingStreams();

// Writes `text` and a line end to the stream in one piece, converted for the
// console where one shows it. Output goes straight to the stream, unbuffered,
// so lines keep their order with what external commands print.
void writeLine(Stream stream, const std::string& text);

// A question on standard error, with no line end.
void writePrompt(const std::string& text);

// Output that cannot be written (a full disk, a closed stream, a reader that
// has gone) ends the run as a stop would, with exit status 1: a log that
// nobody gets is no run to report as done.
bool outputLost();
// Which stream, and why, for the last line on standard error.
std::string outputLossReason();
// Looks, without writing, whether standard output's reader has gone (a
// pipe whose other end is closed); counts as lost output if so. For the
// ticks of long waits, so that a run whose reader has gone ends then.
void checkOutputReader();
