#include "headless/system/squeeze_room.h"

#include "headless/system/memory_room.h"

MemoryRoom readSqueezeRoom() { return readMemoryRoom(); }
