// One file read whole, for the Linux halves that read the kernel's files
// (the memory room, the stall figures): the errno is kept, since which one
// it was tells the user what to do.
#pragma once
#include <string>

// The file's text into `text`, or the errno that kept it from being read
// (0: read).
int readWholeFile(const std::string& path, std::string& text);
