// The script file as torvane-run reads it: with the system's plain reads,
// so that a line piped in is acted on as soon as it arrives, never inherited
// by the commands the script starts, and refused with its reason when it is
// a folder or cannot be read.
#pragma once
#include <memory>
#include <string>

#include "script/script_reader.h"

// Null when the file cannot be read; `why` then says why ("is a folder",
// the system's text for the error).
std::unique_ptr<ScriptSource> openScriptFile(const std::string& path, std::string& why);
