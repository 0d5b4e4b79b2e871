#include "headless/record/run_report.h"
#include "headless/record/local_time.h"
#include "headless/record/mebibytes.h"
#include "headless/record/one_line.h"
#include "headless/record/stall_chart.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = kMiB * 1024.0;

// The chart's frame, in SVG units.
constexpr double kWidth = 960, kHeight = 360;
constexpr double kLeft = 80, kRight = 20, kTop = 20, kBottom = 40;
constexpr std::size_t kMostLabelledMarks = 40;  // beyond that, every n-th mark is labelled

std::string number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string figure(std::uint64_t bytes) { return bytes == MemoryFigures::kUnknown ? "" : mebibytesText(bytes); }
std::string figure(const std::optional<std::uint64_t>& bytes) { return bytes ? mebibytesText(*bytes) : ""; }

struct Series {
    const char* name;
    const char* colour;
    std::uint64_t (*value)(const RunEvent&);
    bool machine;  // the room or a limit, rather than what the run itself holds
};
std::uint64_t heldOf(const RunEvent& e) { return e.held ? *e.held : MemoryFigures::kUnknown; }
std::uint64_t residentOf(const RunEvent& e) { return e.figures.residentBytes; }
std::uint64_t kindResidentOf(const RunEvent& e) {
    return e.kindResident ? *e.kindResident : MemoryFigures::kUnknown;
}
std::uint64_t committedOf(const RunEvent& e) { return e.figures.committedBytes; }
std::uint64_t roomOf(const RunEvent& e) { return e.figures.availableBytes; }
std::uint64_t limitOf(const RunEvent& e) { return e.figures.limitBytes; }
std::uint64_t targetOf(const RunEvent& e) { return e.targetRoom ? *e.targetRoom : MemoryFigures::kUnknown; }
std::uint64_t bandTopOf(const RunEvent& e) {
    return e.targetRoom && e.band ? *e.targetRoom + *e.band : MemoryFigures::kUnknown;
}
// Drawn in this order: the held line last, so that it stays visible above
// the room and the target it moves against.
constexpr Series kSeries[] = {
    {"limit", "#7f7f7f", limitOf, true},          {"room", "#2ca02c", roomOf, true},
    {"target room", "#17becf", targetOf, true},   {"committed", "#9467bd", committedOf, false},
    {"resident", "#1f77b4", residentOf, false},   {"kind resident", "#ff7f0e", kindResidentOf, false},
    {"held", "#d62728", heldOf, false},
};
// The room of a big machine can be a hundred times what a run holds; drawn
// on one scale, the run's own lines would lie flat on the axis. Past this
// ratio the chart is scaled to the run's lines, and the room and the limit
// are named in the legend with their lowest figure instead.
constexpr double kMostRoomOverOwn = 8;

// Where the chart marks a point in time: each script line as it begins, and
// a command's start and end.
struct Mark {
    double at;
    std::string label;
};
// The events kept, in their order: the first ones, then the last.
std::vector<const RunEvent*> keptEvents(const RunRecorder& recorder) {
    std::vector<const RunEvent*> kept;
    for (const RunEvent& e : recorder.firstEvents()) kept.push_back(&e);
    for (const RunEvent& e : recorder.lastEvents()) kept.push_back(&e);
    return kept;
}

std::vector<Mark> marksOf(const RunRecorder& recorder) {
    std::vector<Mark> marks;
    std::optional<unsigned> lastLine;
    for (const RunEvent* kept : keptEvents(recorder)) {
        const RunEvent& event = *kept;
        if (event.kind == EventKind::Sample) continue;
        if (event.line && event.line != lastLine) {
            // Appended, not "L" + ...: GCC 12 warns falsely (-Wrestrict) on that once inlined here.
            std::string label = "L";
            label += std::to_string(*event.line) + " " + oneLine(event.keyword);
            marks.push_back({event.elapsed, std::move(label)});
            lastLine = event.line;
        }
        if (event.kind == EventKind::CommandStart) marks.push_back({event.elapsed, "command"});
        if (event.kind == EventKind::Guard) marks.push_back({event.elapsed, "guard"});
        if (event.kind == EventKind::CommandEnd) {
            marks.push_back({event.elapsed, event.status ? "exit " + std::to_string(*event.status) : "exit"});
        }
    }
    return marks;
}

std::string chart(const RunRecorder& recorder, double seconds) {
    std::vector<const RunEvent*> points = keptEvents(recorder);
    for (const RunEvent& e : recorder.samples()) points.push_back(&e);
    std::stable_sort(points.begin(), points.end(),
                     [](const RunEvent* a, const RunEvent* b) { return a->elapsed < b->elapsed; });
    std::uint64_t ownTop = 0, machineTop = 0;
    for (const RunEvent* point : points) {
        for (const Series& series : kSeries) {
            const std::uint64_t value = series.value(*point);
            if (value == MemoryFigures::kUnknown) continue;
            std::uint64_t& seriesTop = series.machine ? machineTop : ownTop;
            seriesTop = std::max(seriesTop, value);
        }
        if (bandTopOf(*point) != MemoryFigures::kUnknown) machineTop = std::max(machineTop, bandTopOf(*point));
    }
    // A kept level is drawn against its room whatever the scale: the room
    // and the band are what the run is about.
    const bool keptLevel = std::any_of(points.begin(), points.end(), [](const RunEvent* p) { return p->targetRoom.has_value(); });
    const bool machineOffScale =
        !keptLevel && ownTop > 0 && machineTop > kMostRoomOverOwn * static_cast<double>(ownTop);
    const std::uint64_t top = machineOffScale ? ownTop : std::max(ownTop, machineTop);
    const std::vector<AxisTick> xTicks = timeTicks(seconds);
    const std::vector<AxisTick> yTicks = byteTicks(top);
    const double xSpan = std::max(seconds, xTicks.back().at);
    const double ySpan = std::max(static_cast<double>(top), yTicks.back().at);
    const double plotWidth = kWidth - kLeft - kRight, plotHeight = kHeight - kTop - kBottom;
    const auto x = [&](double at) { return kLeft + (xSpan > 0 ? at / xSpan : 0) * plotWidth; };
    const auto y = [&](double bytes) { return kTop + plotHeight - (ySpan > 0 ? bytes / ySpan : 0) * plotHeight; };

    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + number("%.0f", kWidth) + " " +
                      number("%.0f", kHeight + 24) + "\" role=\"img\" aria-label=\"memory over time\">\n";
    for (const AxisTick& tick : yTicks) {
        const std::string at = number("%.1f", y(tick.at));
        svg += "<line class=\"grid\" x1=\"" + number("%.1f", kLeft) + "\" x2=\"" + number("%.1f", kWidth - kRight) +
               "\" y1=\"" + at + "\" y2=\"" + at + "\"/><text class=\"y\" x=\"" + number("%.1f", kLeft - 6) +
               "\" y=\"" + at + "\">" + htmlEscape(tick.label) + "</text>\n";
    }
    for (const AxisTick& tick : xTicks) {
        const std::string at = number("%.1f", x(tick.at));
        svg += "<line class=\"grid\" x1=\"" + at + "\" x2=\"" + at + "\" y1=\"" + number("%.1f", kTop) +
               "\" y2=\"" + number("%.1f", kTop + plotHeight) + "\"/><text class=\"x\" x=\"" + at + "\" y=\"" +
               number("%.1f", kTop + plotHeight + 16) + "\">" + htmlEscape(tick.label) + "</text>\n";
    }
    const std::vector<Mark> marks = marksOf(recorder);
    const std::size_t labelEvery = marks.size() / kMostLabelledMarks + 1;
    double lastLabel = -kWidth;
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const std::string at = number("%.1f", x(marks[i].at));
        svg += "<line class=\"mark\" x1=\"" + at + "\" x2=\"" + at + "\" y1=\"" + number("%.1f", kTop) + "\" y2=\"" +
               number("%.1f", kTop + plotHeight) + "\"><title>" + htmlEscape(marks[i].label) + "</title></line>";
        // Lines begun within a moment of each other share the first one's
        // label; each mark still names itself on hover.
        if (i % labelEvery == 0 && x(marks[i].at) - lastLabel >= 12) {
            lastLabel = x(marks[i].at);
            svg += "<text class=\"mark\" transform=\"translate(" + at + "," + number("%.1f", kTop + 4) +
                   ") rotate(90)\">" + htmlEscape(marks[i].label) + "</text>";
        }
        svg += "\n";
    }
    // --keep-available's band, as a shaded strip either side of its target.
    std::string upper, lower;
    for (const RunEvent* point : points) {
        if (!point->targetRoom || !point->band) continue;
        const double top = static_cast<double>(*point->targetRoom + *point->band);
        const double bottom = static_cast<double>(*point->targetRoom > *point->band ? *point->targetRoom - *point->band : 0);
        upper += number("%.1f", x(point->elapsed)) + "," + number("%.1f", y(top)) + " ";
        lower = number("%.1f", x(point->elapsed)) + "," + number("%.1f", y(bottom)) + " " + lower;
    }
    if (!upper.empty() && !machineOffScale) {
        svg += "<polygon class=\"band\" fill=\"#17becf\" fill-opacity=\"0.15\" stroke=\"none\" points=\"" + upper +
               lower + "\"><title>the band kept</title></polygon>\n";
    }
    double legendX = kLeft;
    for (const Series& series : kSeries) {
        std::string line;
        std::uint64_t lowest = MemoryFigures::kUnknown;
        for (const RunEvent* point : points) {
            const std::uint64_t value = series.value(*point);
            if (value == MemoryFigures::kUnknown) continue;
            lowest = std::min(lowest, value);
            line += number("%.1f", x(point->elapsed)) + "," + number("%.1f", y(static_cast<double>(value))) + " ";
        }
        if (line.empty()) continue;  // a series never known (no limit) has no line and no legend
        std::string name = series.name;
        if (series.machine && machineOffScale) {
            name += " (above the chart; lowest " + mebibytesText(lowest) + ")";
        } else {
            svg += "<polyline fill=\"none\" stroke=\"" + std::string(series.colour) +
                   "\" stroke-width=\"1.5\" points=\"" + line + "\"/>\n";
        }
        const std::string legendY = number("%.1f", kHeight + 16);
        svg += "<rect x=\"" + number("%.1f", legendX) + "\" y=\"" + number("%.1f", kHeight + 6) +
               "\" width=\"12\" height=\"12\" fill=\"" + series.colour + "\"/><text x=\"" +
               number("%.1f", legendX + 16) + "\" y=\"" + legendY + "\">" + htmlEscape(name) + "</text>\n";
        legendX += series.machine && machineOffScale ? 280 : 110;
    }
    svg += "</svg>\n";
    return svg;
}

// --pressure's runs: the stall share against its band, under the memory.
std::string stallSection(const RunRecorder& recorder, double seconds) {
    std::vector<const RunEvent*> points = keptEvents(recorder);
    for (const RunEvent& e : recorder.samples()) points.push_back(&e);
    std::stable_sort(points.begin(), points.end(),
                     [](const RunEvent* a, const RunEvent* b) { return a->elapsed < b->elapsed; });
    const std::string svg = stallChart(points, seconds);
    return svg.empty() ? std::string() : "<h2>Memory stall over time</h2>\n" + svg;
}

std::string cell(const std::string& text) { return "<td>" + htmlEscape(text) + "</td>"; }
}  // namespace

void RunRecorder::add(const RunEvent& event) {
    if (event.kind != EventKind::Sample) {
        if (first_.size() < keptAtEachEnd_) {
            first_.push_back(event);
            return;
        }
        last_.push_back(event);
        if (last_.size() > keptAtEachEnd_) {
            last_.pop_front();
            ++leftOut_;
        }
        return;
    }
    // Kept by their count from the first, so that the ones kept after a
    // thinning fall on the same even grid as the ones before it.
    if (seen_++ % stride_ != 0) return;
    samples_.push_back(event);
    if (samples_.size() < 2 * maxSamples_) return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < samples_.size(); i += 2) samples_[kept++] = samples_[i];
    samples_.resize(kept);
    stride_ *= 2;
}

std::vector<AxisTick> timeTicks(double seconds) {
    static constexpr double kSteps[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800,
                                        3600, 7200, 10800, 21600, 43200, 86400, 172800, 432000, 864000};
    constexpr double kMostTicks = 8;
    const double span = std::max(seconds, 0.1);
    double step = kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
    for (double candidate : kSteps) {
        if (span / candidate <= kMostTicks) {
            step = candidate;
            break;
        }
    }
    std::vector<AxisTick> ticks;
    for (int i = 0;; ++i) {
        const double at = i * step;
        std::string label;
        if (step < 60) label = number("%g s", at);
        else if (step < 3600) label = number("%g min", at / 60);
        else label = number("%g h", at / 3600);
        ticks.push_back({at, label});
        if (at >= span - 1e-9) break;
    }
    return ticks;
}

std::vector<AxisTick> byteTicks(std::uint64_t bytes) {
    static constexpr double kSteps[] = {1, 2, 5, 10, 20, 50, 100, 200, 500};
    constexpr double kMostTicks = 6;
    const double span = std::max(static_cast<double>(bytes), kMiB);
    double step = 0;
    for (double unit : {kMiB, kGiB, kGiB * 1024}) {
        for (double multiple : kSteps) {
            if (span / (multiple * unit) <= kMostTicks) {
                step = multiple * unit;
                break;
            }
        }
        if (step > 0) break;
    }
    const bool gibibytes = step >= kGiB;
    std::vector<AxisTick> ticks;
    for (int i = 0;; ++i) {
        const double at = i * step;
        ticks.push_back({at, gibibytes ? number("%g GiB", at / kGiB) : number("%g MiB", at / kMiB)});
        if (at >= span) break;
    }
    return ticks;
}

std::string htmlEscape(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string reportHtml(const ReportHeader& header, const RunRecorder& recorder) {
    std::string commandLine;
    for (const std::string& argument : header.argv) {
        if (!commandLine.empty()) commandLine += ' ';
        commandLine += oneLine(argument);
    }
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>torvane-run report: " +
        htmlEscape(oneLine(header.machine)) +
        "</title>\n<style>\nbody{font-family:sans-serif;margin:1.5em;color:#222}\n"
        "dl{display:grid;grid-template-columns:max-content auto;gap:.2em 1em}dt{font-weight:bold}dd{margin:0}\n"
        "svg{max-width:100%;height:auto;font-size:11px}.grid{stroke:#ddd}.mark{stroke:#f90;stroke-dasharray:3 3}\n"
        "text.y{text-anchor:end;dominant-baseline:middle}text.x{text-anchor:middle}text.mark{stroke:none;fill:#a60}\n"
        "table{border-collapse:collapse;font-size:13px}td,th{border:1px solid #ccc;padding:2px 6px;text-align:left}\n"
        "td.n{text-align:right}code{white-space:pre-wrap}tr.left-out td{font-style:italic;background:#f4f4f4}\n</style></head><body>\n<h1>torvane-run report</h1>\n<dl>\n";
    html += "<dt>Machine</dt><dd>" + htmlEscape(oneLine(header.machine)) + "</dd>\n";
    html += "<dt>Command line</dt><dd><code>" + htmlEscape(commandLine) + "</code></dd>\n";
    html += "<dt>Started</dt><dd>" + htmlEscape(header.started) + "</dd>\n";
    if (header.exitStatus) {
        html += "<dt>Duration</dt><dd>" + number("%.3f s", header.seconds) + "</dd>\n";
        html += "<dt>Exit status</dt><dd>" + std::to_string(*header.exitStatus) + "</dd>\n";
    } else {
        // A page of a run that goes on, or that was killed before its end.
        html += "<dt>Duration</dt><dd>" + number("%.3f s", header.seconds) + " so far</dd>\n";
        html += "<dt>Exit status</dt><dd>none yet: the run was still going when this page was written</dd>\n";
    }
    const std::uint64_t leftOut = recorder.eventsLeftOut();
    html += "<dt>Events</dt><dd>" + std::to_string(recorder.eventCount()) + " (and " +
            std::to_string(recorder.samples().size()) + " samples in the chart)";
    if (leftOut > 0) {
        html += "; the first " + std::to_string(recorder.firstEvents().size()) + " and the last " +
                std::to_string(recorder.lastEvents().size()) + " are listed, the " + std::to_string(leftOut) +
                " between them only counted";
    }
    html += "</dd>\n</dl>\n";
    html += "<h2>Memory over time</h2>\n" + chart(recorder, header.seconds);
    html += stallSection(recorder, header.seconds);
    html += "<h2>Events</h2>\n<table>\n<thead><tr><th>time</th><th>s</th><th>event</th><th>code</th><th>line</th>"
            "<th>text</th><th>requested</th><th>held</th><th>resident</th><th>committed</th><th>room</th>"
            "</tr></thead>\n<tbody>\n";
    const auto row = [&html](const RunEvent& event) {
        html += "<tr>" + cell(rfc3339(event.time)) + "<td class=\"n\">" + number("%.3f", event.elapsed) + "</td>" +
                cell(eventKindRow(event.kind).name) + cell(event.code) + cell(event.line ? std::to_string(*event.line) : "") +
                cell(oneLine(event.text)) + cell(figure(event.requested)) + cell(figure(event.held)) +
                cell(figure(event.figures.residentBytes)) + cell(figure(event.figures.committedBytes)) +
                cell(figure(event.figures.availableBytes)) + "</tr>\n";
    };
    for (const RunEvent& event : recorder.firstEvents()) row(event);
    if (leftOut > 0) {
        html += "<tr class=\"left-out\"><td colspan=\"11\">" + std::to_string(leftOut) + " events from " +
                number("%.3f s", recorder.firstEvents().back().elapsed) + " to " +
                number("%.3f s", recorder.lastEvents().front().elapsed) +
                " are left out of this list, so that the page stays small; the chart has the samples of the whole run"
                "</td></tr>\n";
    }
    for (const RunEvent& event : recorder.lastEvents()) row(event);
    html += "</tbody></table>\n</body></html>\n";
    return html;
}
