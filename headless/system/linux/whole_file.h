// One file read whole, for the Linux halves that read the kernel's files
// (the memory room, the stall figures, the hugetlb group): the errno is
// kept, since which one it was tells the user what to do.
#pragma once
#include <string>

#include "headless/memory/room_rules.h"

// The file's text into `text`, or the errno that kept it from being read
// (0: read).
int readWholeFile(const std::string& path, std::string& text);

// The room rules' files as this system has them: missing for ENOENT and
// ENOTDIR, failed with the errno's text for anything else.
struct SystemFiles final : RoomFiles {
    Outcome read(const std::string& path, std::string& text) override;
};
