// The system's text for an error code, in UTF-8 like every text inside
// torvane-run, without the full stop and line end the system puts after it.
#pragma once
#include <windows.h>

#include <string>

std::string systemText(DWORD error);
