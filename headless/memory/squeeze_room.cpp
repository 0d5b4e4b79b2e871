#include "headless/memory/squeeze_room.h"

#include <sstream>

MemoryRoom squeezedRoom(MemoryRoom room, const std::string& statText) {
    if (!room.known || room.availableSource != LimitSource::Cgroup) return room;
    const std::string name = room.limitV2 ? "active_file" : "total_active_file";
    std::istringstream in(statText);
    for (std::string key; in >> key;) {
        std::string value;
        in >> value;
        if (key != name) continue;
        if (value.empty() || value.size() > 19 || value.find_first_not_of("0123456789") != std::string::npos) break;
        const std::uint64_t active = std::stoull(value);
        const std::uint64_t most = room.limit == UINT64_MAX ? room.available + active : room.limit;
        room.available = std::min(room.available + active, most);
        break;
    }
    return room;
}
