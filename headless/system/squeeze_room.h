// The room --pressure squeezes into (memory/squeeze_room.h), read afresh.
//   Linux:   system/linux/squeeze_room.cpp: the memory room and the
//            limiting group's memory.stat.
//   Windows: system/windows/squeeze_room.cpp: the memory room (--pressure
//            is refused there).
#pragma once
#include "headless/memory/squeeze_room.h"

MemoryRoom readSqueezeRoom();
