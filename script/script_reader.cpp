#include "script_reader.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int kCtrlZ = 0x1A;
constexpr char kMagicLine[] = "EVKScript\n";

std::size_t clampChunk(std::size_t chunkBytes) {
    return std::clamp<std::size_t>(chunkBytes, 1, ScriptReader::kChunkBytes);
}

// One strtok(..., " ") step: skips spaces, cuts the token at the next space.
const char* nextToken(char*& p) {
    while (*p == ' ') ++p;
    if (*p == '\0') return nullptr;
    const char* token = p;
    while (*p != ' ' && *p != '\0') ++p;
    if (*p == ' ') *p++ = '\0';
    return token;
}
}  // namespace

namespace {
class StreamSource final : public ScriptSource {
public:
    explicit StreamSource(std::FILE* file) : file_(file) {}
    ~StreamSource() override { std::fclose(file_); }
    long read(unsigned char* into, std::size_t max) override {
        return static_cast<long>(std::fread(into, 1, max, file_));
    }

private:
    std::FILE* file_;
};

class MemorySource final : public ScriptSource {
public:
    MemorySource(const unsigned char* data, std::size_t size) : data_(data), left_(size) {}
    long read(unsigned char* into, std::size_t max) override {
        const std::size_t count = std::min(max, left_);
        if (count > 0) std::memcpy(into, data_, count);
        data_ += count;
        left_ -= count;
        return static_cast<long>(count);
    }

private:
    const unsigned char* data_;
    std::size_t left_;
};
}  // namespace

std::unique_ptr<ScriptSource> openScriptStream(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    return std::make_unique<StreamSource>(file);
}

ScriptReader::ScriptReader(const char* path, std::size_t chunkBytes)
    : ScriptReader(openScriptStream(path), chunkBytes) {}

ScriptReader::ScriptReader(const unsigned char* data, std::size_t size, std::size_t chunkBytes)
    : ScriptReader(std::make_unique<MemorySource>(data, size), chunkBytes) {}

ScriptReader::ScriptReader(std::unique_ptr<ScriptSource> source, std::size_t chunkBytes)
    : source_(std::move(source)), chunk_(clampChunk(chunkBytes)) {}

bool ScriptReader::refill() {
    rawPos_ = 0;
    rawLen_ = 0;
    if (!source_ || failed_) return false;
    const long got = source_->read(raw_, chunk_);
    if (got < 0) {
        failed_ = true;
        return false;
    }
    rawLen_ = static_cast<std::size_t>(got);
    return rawLen_ > 0;
}

int ScriptReader::peekRaw() {
    if (rawPos_ == rawLen_ && !refill()) return EOF;
    return raw_[rawPos_];
}

int ScriptReader::nextByte() {
    if (ended_) return EOF;
    int c = peekRaw();
    if (c == EOF || c == kCtrlZ) {
        ended_ = true;  // nothing behind Ctrl-Z is ever read
        return EOF;
    }
    ++rawPos_;
    // Only CR LF becomes LF. The CR has been consumed, so a refill for the
    // peek (CR as the chunk's last byte) loses nothing.
    if (c == '\r' && peekRaw() == '\n') {
        ++rawPos_;
        return '\n';
    }
    return c;
}

bool ScriptReader::readPiece(char* buffer, std::size_t limit) {
    lineNumber_ = linesEnded_ + 1;
    std::size_t length = 0;
    while (length + 1 < limit) {
        const int c = nextByte();
        if (c == EOF) break;
        buffer[length++] = static_cast<char>(c);
        if (c == '\n') {
            ++linesEnded_;
            break;
        }
    }
    buffer[length] = '\0';
    return length > 0;
}

bool ScriptReader::readMagicLine() {
    char header[kHeaderLimit];
    return readPiece(header, sizeof header) && std::strcmp(header, kMagicLine) == 0;
}

bool ScriptReader::readLine(ScriptLine& line) {
    if (!readPiece(line_, sizeof line_)) return false;
    line = splitLine(line_);
    return true;
}

ScriptLine splitLine(char* text) {
    ScriptLine line;
    char* p = text;
    line.keyword = nextToken(p);
    if (line.keyword) line.argument = nextToken(p);
    return line;
}

bool keywordEquals(const char* token, const char* keyword) {
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
    for (;; ++token, ++keyword) {
        const unsigned char a = static_cast<unsigned char>(*token);
        const unsigned char b = static_cast<unsigned char>(*keyword);
        if (fold(a) != fold(b)) return false;
        if (a == '\0') return true;
    }
}

std::int32_t parseNumber(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    // Magnitude in 64 bits, capped just past the 32-bit range.
    constexpr std::int64_t kCap = std::int64_t{INT32_MAX} + 1;
    std::int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = std::min(magnitude * 10 + (*p - '0'), kCap);
    }
    if (negative) return static_cast<std::int32_t>(-magnitude);  // -2^31 fits
    return static_cast<std::int32_t>(std::min<std::int64_t>(magnitude, INT32_MAX));
}
