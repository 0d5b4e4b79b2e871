// The script file as torvane-run reads it: with the system's plain reads,
// so that a line piped in is acted on as soon as it arrives, never inherited
// by the commands the script starts, and refused with its reason when it is
// a folder or cannot be read.
//   Linux:   system/linux/script_file.cpp, a descriptor.
//   Windows: system/windows/script_file.cpp, a handle.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "script/script_reader.h"

class ScriptFile : public ScriptSource {
public:
    // True for a file on disk, which can be read again from its start; false
    // for a pipe, a FIFO, a terminal or a device.
    virtual bool rewindable() const = 0;
    // Back to the first byte; false when that cannot be done.
    virtual bool rewind() = 0;
    // Waits at most `milliseconds` for bytes (or the end) to read; true when
    // a read would not block.
    virtual bool waitReadable(std::uint32_t milliseconds) = 0;
};

// Null when the file cannot be read; `why` then says why ("is a folder",
// the system's text for the error).
std::unique_ptr<ScriptFile> openScriptFile(const std::string& path, std::string& why);
