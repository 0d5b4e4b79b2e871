#include "headless/record/run_log.h"

#include "headless/record/local_time.h"
#include "headless/memory/stall_window.h"
#include "headless/record/mebibytes.h"
#include "headless/runs/tick_wait.h"
#include "headless/system/memory_figures.h"

namespace {
RunLogSetup setup;
std::uint64_t began = 0;
std::optional<unsigned> scriptLine;
std::string scriptKeyword;
std::optional<std::uint64_t> requestedOverride;
std::optional<std::uint64_t> targetRoom, targetBand;
std::uint64_t nextSample = 0;
PressureFigures pressure;
std::string heldKind;
std::function<std::optional<std::uint64_t>()> kindResident;
std::function<std::optional<std::uint64_t>()> hugeReader;

std::optional<std::uint64_t> requestedNow() {
    if (requestedOverride) return requestedOverride;
    return setup.requested ? setup.requested() : std::nullopt;
}
}  // namespace

void setUpRunLog(RunLogSetup newSetup) {
    setup = std::move(newSetup);
    began = steadyClock().nowMilliseconds();
    if (setup.sampleMilliseconds) nextSample = began + *setup.sampleMilliseconds;
}

double runSeconds() { return static_cast<double>(steadyClock().nowMilliseconds() - began) / 1000.0; }

void logEvent(RunEvent event) {
    event.time = localTimeNow();
    event.elapsed = runSeconds();
    event.figures = readMemoryFigures();
    if (setup.held) event.held = setup.held();
    if (!event.requested) event.requested = requestedNow();
    if (hugeReader && !event.huge) event.huge = hugeReader();
    if (!event.targetRoom) {
        event.targetRoom = targetRoom;
        event.band = targetBand;
    }
    if (!event.pressureSome && !event.pressureFull) {
        event.pressureSome = pressure.some;
        event.pressureFull = pressure.full;
    }
    if (!event.pressureTarget) {
        event.pressureTarget = pressure.target;
        event.pressureBand = pressure.band;
    }
    event.heldKind = heldKind;
    if (kindResident && !event.kindResident) event.kindResident = kindResident();
    if (!event.line && scriptLine) {
        event.line = scriptLine;
        event.keyword = scriptKeyword;
    }
    for (EventSink* sink : setup.sinks) sink->take(event);
}

void setScriptLine(unsigned line, const std::string& keyword) {
    scriptLine = line;
    scriptKeyword = keyword;
}

void setRequested(std::optional<std::uint64_t> bytes) { requestedOverride = bytes; }

void setTargetRoom(std::optional<std::uint64_t> bytes, std::optional<std::uint64_t> band) {
    targetRoom = bytes;
    targetBand = band;
}

void setPressureFigures(const PressureFigures& figures) { pressure = figures; }
void setHeldKind(std::string name, std::function<std::optional<std::uint64_t>()> resident) {
    heldKind = std::move(name);
    kindResident = std::move(resident);
}

void sampleIfDue() {
    if (!setup.sampleMilliseconds) return;
    const std::uint64_t now = steadyClock().nowMilliseconds();
    if (now < nextSample) return;
    // Due again a full interval on: a late tick does not bring a burst.
    nextSample = now + *setup.sampleMilliseconds;
    const std::uint64_t held = setup.held ? setup.held() : 0;
    std::string text = "held " + mebibytesText(held);
    const std::optional<std::uint64_t> requested = requestedNow();
    if (requested) text += " of " + mebibytesText(*requested) + " asked";
    // --pressure: the shares it steers by.
    if (pressure.some) text += ", stall some " + shareText(*pressure.some);
    if (pressure.full) text += " full " + shareText(*pressure.full);
    text += hugeNote();
    RunEvent sample = sampleEvent(text);
    if (kindResident) {
        // Measured once, for the text and the figure alike.
        sample.kindResident = kindResident();
        sample.text += ", " + heldKind + " resident " +
                       (sample.kindResident ? mebibytesText(*sample.kindResident) : std::string("not measurable"));
    }
    logEvent(std::move(sample));
}

void setHugeReader(std::function<std::optional<std::uint64_t>()> read) { hugeReader = std::move(read); }

std::string hugeNote() {
    if (!hugeReader) return {};
    const std::optional<std::uint64_t> huge = hugeReader();
    // The system's figure, never the size asked for.
    return huge ? ", " + mebibytesText(*huge) + " of it in huge pages" : ", huge pages unreadable";
}
