#include "headless/record/run_event.h"

#include <nlohmann/json.hpp>

#include <cstring>

namespace {
// The one table of event names: the name a pipeline matches and the kind
// the text lines have always shown for it.
struct EventKind {
    const char* event;
    const char* kind;
};
constexpr EventKind kEventKinds[] = {
    {"status", "status"},         {"popup", "popup"},           {"confirm", "confirm"},
    {"error", "error"},           {"command-start", "command"}, {"command-end", "exit"},
    {"stop", "stop"},             {"sample", "sample"},         {"hold-start", "hold"},
    {"hold-partial", "hold"},     {"hold-reached", "hold"},     {"ramp", "ramp"},
    {"keep", "keep"},             {"adjust", "adjust"},         {"release", "release"},
};

nlohmann::ordered_json bytesOrNull(std::uint64_t bytes) {
    return bytes == MemoryFigures::kUnknown ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(bytes);
}

template <typename T>
nlohmann::ordered_json orNull(const std::optional<T>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}
}  // namespace

const char* textKind(const char* event) {
    for (const EventKind& kind : kEventKinds) {
        if (std::strcmp(kind.event, event) == 0) return kind.kind;
    }
    return event;
}

std::string textLine(const RunEvent& event) {
    if (event.textForm == TextForm::Bare) return oneLine(event.text);
    return formatLogLine(event.time, event.figures, textKind(event.event), event.text);
}

std::string jsonLine(const RunEvent& event) {
    nlohmann::ordered_json object = {
        {"time", rfc3339(event.time)}, {"event", event.event}, {"code", event.code}, {"text", oneLine(event.text)}};
    if (event.line) {
        object["line"] = *event.line;
        object["keyword"] = oneLine(event.keyword);
    }
    const MemoryFigures& figures = event.figures;
    object["requested"] = orNull(event.requested);
    object["held"] = orNull(event.held);
    object["resident"] = bytesOrNull(figures.residentBytes);
    object["committed"] = bytesOrNull(figures.committedBytes);
    object["room"] = bytesOrNull(figures.availableBytes);
    object["limit"] = bytesOrNull(figures.limitBytes);
    object["limit_source"] = figures.roomSource ? nlohmann::ordered_json(figures.roomSource) : nullptr;
    if (std::strncmp(event.event, "command-", 8) == 0) {
        nlohmann::ordered_json argv = nlohmann::ordered_json::array();
        for (const std::string& argument : event.argv) argv.push_back(oneLine(argument));
        object["argv"] = argv;
        object["status"] = orNull(event.status);
        object["seconds"] = orNull(event.seconds);
    }
    // Every text has been through oneLine, so it is valid UTF-8 already.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
