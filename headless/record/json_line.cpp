#include "headless/record/json_line.h"

#include <nlohmann/json.hpp>

#include "headless/record/one_line.h"
#include "headless/system/console_text.h"

namespace {
nlohmann::ordered_json bytesOrNull(std::uint64_t bytes) {
    return bytes == MemoryFigures::kUnknown ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(bytes);
}

template <typename T>
nlohmann::ordered_json orNull(const std::optional<T>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}
}  // namespace

std::string jsonLine(const RunEvent& event) {
    nlohmann::ordered_json object = {{"time", rfc3339(event.time)},
                                     {"event", eventKindRow(event.kind).name},
                                     {"code", event.code},
                                     {"text", oneLine(event.text)}};
    if (event.line) {
        object["line"] = *event.line;
        object["keyword"] = oneLine(event.keyword);
    }
    const MemoryFigures& figures = event.figures;
    object["requested"] = orNull(event.requested);
    object["target_room"] = orNull(event.targetRoom);
    object["held"] = orNull(event.held);
    object["kind"] = event.heldKind.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(event.heldKind);
    object["kind_resident"] = orNull(event.kindResident);
    // Only in runs that ask for huge pages: the system's count of them.
    if (event.huge) object["huge"] = *event.huge;
    object["resident"] = bytesOrNull(figures.residentBytes);
    object["committed"] = bytesOrNull(figures.committedBytes);
    object["room"] = bytesOrNull(figures.availableBytes);
    object["limit"] = bytesOrNull(figures.limitBytes);
    object["limit_source"] = figures.roomSource ? nlohmann::ordered_json(figures.roomSource) : nullptr;
    object["room_total"] = bytesOrNull(figures.roomTotalBytes);
    object["usage"] = bytesOrNull(figures.usageBytes);
    object["reclaimable"] = bytesOrNull(figures.reclaimableBytes);
    // --pressure's runs only: the stall shares over the window.
    if (event.pressureSome || event.pressureFull) {
        object["pressure_some"] = orNull(event.pressureSome);
        object["pressure_full"] = orNull(event.pressureFull);
    }
    if (event.isCommand()) {
        nlohmann::ordered_json argv = nlohmann::ordered_json::array();
        for (const std::string& argument : event.argv) argv.push_back(oneLine(argument));
        object["argv"] = argv;
        object["status"] = orNull(event.status);
        object["seconds"] = orNull(event.seconds);
    }
    if (event.kind == EventKind::Guard) {
        object["guard"] = oneLine(event.guard);
        object["figure"] = oneLine(event.figure);
    }
    if (event.kind == EventKind::Warm) {
        object["rate"] = orNull(event.rate);
        object["rate_asked"] = orNull(event.rateAsked);
        object["busy"] = orNull(event.busy);
    }
    if (event.kind == EventKind::End) {
        object["status"] = orNull(event.status);
        object["reason"] = event.reason;
        object["reached"] = event.reached;
        object["held_max"] = orNull(event.heldMax);
        object["full_seconds"] = orNull(event.fullSeconds);
        object["in_band"] = orNull(event.inBand);
        object["guard"] = event.guard.empty() ? nullptr : nlohmann::ordered_json(oneLine(event.guard));
    }
    // Every text has been through oneLine, so it is valid UTF-8 already.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void JsonLines::take(const RunEvent& event) {
    if (event.kind == EventKind::Sample && !printSamples_) return;
    writeLine(outputLost() ? Stream::Err : Stream::Out, jsonLine(event));
}
