#include "headless/record/event_codes.h"

#include "shell/resource_ids.h"

namespace {
struct TextCode {
    int id;
    const char* code;
};
// Every text the runner shows in the status line or a box, and a few more
// of the window's that a future runner might.
constexpr TextCode kTextCodes[] = {
    {IDS_EXECUTE, "execute"},
    {IDS_ALLOCATING, "allocating"},
    {IDS_MEMORY_ALLOCATING, "memory-allocating"},
    {IDS_ALLOC_SUCCESS, "alloc-success"},
    {IDS_ALLOC_FAILED, "alloc-failed"},
    // The byte-count allocation's own wording of the same failure.
    {IDS_ALLOC_FAILED_DOT, "alloc-failed"},
    {IDS_FREEING, "freeing"},
    {IDS_FREE_COMPLETED, "free-completed"},
    {IDS_CANNOT_FREE, "cannot-free"},
    {IDS_PAUSE, "pause"},
    {IDS_RUNNING, "running"},
    {IDS_EXTERNAL_COMMAND, "external-command"},
    {IDS_COMPLETED, "completed"},
    {IDS_SCRIPT_RUNNING, "script-running"},
    {IDS_SCRIPT_LOAD_FAILED, "load-failed"},
    {IDS_NOT_EVK, "not-a-script"},
    {IDS_CONFIRM_SCRIPT, "confirm-script"},
    // The box `asktoquit` shows: its text is the word "Error" itself.
    {IDS_ERROR, "asktoquit"},
};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

std::string codeOfText(int id) {
    for (const TextCode& entry : kTextCodes) {
        if (entry.id == id) return entry.code;
    }
    return "text-" + std::to_string(id);
}

std::string codeOfBoxText(const std::string& text, int captionId, const std::function<std::string(int)>& runnerText) {
    if (captionId == IDS_ERROR) {
        const std::string format = runnerText(IDS_SCRIPT_LOAD_FAILED);
        const std::size_t hole = format.find("%s");
        if (hole != std::string::npos && startsWith(text, format.substr(0, hole)) &&
            endsWith(text, format.substr(hole + 2)) && text.size() >= format.size() - 2) {
            return codeOfText(IDS_SCRIPT_LOAD_FAILED);
        }
    }
    for (const TextCode& entry : kTextCodes) {
        if (entry.id != IDS_SCRIPT_LOAD_FAILED && text == runnerText(entry.id)) return entry.code;
    }
    return "script-text";
}
