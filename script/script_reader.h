// Reading a script file: its magic first line, then one command line at a
// time, split into keyword and argument. The file is read in binary and the
// text-mode rules are applied here, so that every platform reads a script
// byte for byte the same way. Memory stays fixed however long the file is.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// A command line split like strtok(line, " "): only the space separates, and
// the LF stays on the last token. Both point into the reader's line buffer and
// are valid until the next read; a missing token is null.
struct ScriptLine {
    const char* keyword = nullptr;
    const char* argument = nullptr;
};

// Where a script's bytes come from.
struct ScriptSource {
    virtual ~ScriptSource() = default;
    // Up to `max` bytes into `into`, as one read of the file gives them: the
    // count, 0 at the end, -1 when the read failed.
    virtual long read(unsigned char* into, std::size_t max) = 0;
};

// The window's source: the C runtime's stream, opened in binary. fread
// waits for a whole chunk or the end, and a read error ends the file, as it
// ends fgets.
std::unique_ptr<ScriptSource> openScriptStream(const char* path);

class ScriptReader {
public:
    static constexpr std::size_t kLineLimit = 1024;   // 1,023 bytes and the NUL
    static constexpr std::size_t kHeaderLimit = 256;  // 255 bytes and the NUL
    static constexpr std::size_t kChunkBytes = 4096;  // raw bytes fetched at a time

    // Opens `path` for reading in binary; see isOpen(). `chunkBytes` (1 to
    // kChunkBytes) only changes how much is fetched at a time, never the result.
    explicit ScriptReader(const char* path, std::size_t chunkBytes = kChunkBytes);
    // Reads the bytes of a script held in memory (not copied; must outlive the reader).
    ScriptReader(const unsigned char* data, std::size_t size, std::size_t chunkBytes = kChunkBytes);
    // Reads from `source` (null: not open).
    explicit ScriptReader(std::unique_ptr<ScriptSource> source, std::size_t chunkBytes = kChunkBytes);

    ScriptReader(const ScriptReader&) = delete;
    ScriptReader& operator=(const ScriptReader&) = delete;

    bool isOpen() const { return source_ != nullptr; }
    // True once the source reported a failed read; the file has then ended.
    bool failed() const { return failed_; }

    // The first line, read with the header's limit: true only when it is
    // exactly "EVKScript\n".
    bool readMagicLine();

    // The next line (or 1,023-byte piece of a longer one), split. False at the
    // end of the file.
    bool readLine(ScriptLine& line);

    // fgets: at most limit - 1 bytes, up to and including the next LF, then a
    // NUL. False when the file has ended before any byte. The piece may hold
    // NUL bytes of its own; its usable text ends at the first. 2 <= limit <= kLineLimit.
    bool readPiece(char* buffer, std::size_t limit);

    // The line of the file that the last piece read belongs to (the magic line
    // is 1): the pieces of an over-long line share their line's number.
    unsigned lineNumber() const { return lineNumber_; }

private:
    int nextByte();  // the next byte after the text-mode rules, or EOF
    int peekRaw();   // the next byte of the file as stored, or EOF
    bool refill();

    std::unique_ptr<ScriptSource> source_;
    bool failed_ = false;
    std::size_t chunk_;
    unsigned char raw_[kChunkBytes];
    std::size_t rawPos_ = 0;
    std::size_t rawLen_ = 0;
    bool ended_ = false;  // end of data or Ctrl-Z seen: nothing more is read
    unsigned linesEnded_ = 0;  // LFs read so far
    unsigned lineNumber_ = 0;
    char line_[kLineLimit];
};

// Splits `text` in place at spaces (strtok with " ") and keeps its first two
// tokens. Stops at the first NUL.
ScriptLine splitLine(char* text);

// Whole-token comparison that folds only the ASCII letters A to Z.
bool keywordEquals(const char* token, const char* keyword);

// atoi with fixed rules: leading space, \t \n \v \f \r, an optional sign,
// decimal digits up to the first non-digit; 0 without digits; saturates at
// INT32_MIN and INT32_MAX.
std::int32_t parseNumber(const char* text);
