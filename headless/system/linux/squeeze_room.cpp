#include "headless/system/squeeze_room.h"

#include "headless/memory/proc_fields.h"
#include "headless/system/memory_room.h"

MemoryRoom readSqueezeRoom() {
    const MemoryRoom room = readMemoryRoom();
    if (!room.known || room.limitFolder.empty()) return room;
    return squeezedRoom(room, readProcFile((room.limitFolder + "/memory.stat").c_str()));
}
