// An event's JSON line field by field, its text line unchanged, the codes of
// the runner's texts, and the report: events and samples bounded,
// texts escaped, axis ticks for a second and for ten hours.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <map>

#include "headless/record/event_codes.h"
#include "headless/record/json_line.h"
#include "headless/record/run_event.h"
#include "headless/record/run_report.h"
#include "headless/record/text_line.h"
#include "shell/resource_ids.h"

namespace {
constexpr std::uint64_t kMiB = 1024 * 1024;

RunEvent eventAt(EventKind kind, const std::string& code, const std::string& text, double elapsed = 0) {
    RunEvent event;
    event.kind = kind;
    event.code = code;
    event.text = text;
    event.time = {2025, 6, 1, 14, 3, 7, 412, 120};
    event.elapsed = elapsed;
    event.figures.residentBytes = 3 * kMiB;
    event.figures.committedBytes = 12 * kMiB;
    event.figures.availableBytes = 412 * kMiB;
    event.figures.availableLimit = "cgroup";
    event.figures.roomSource = "cgroup";
    event.figures.limitBytes = 1024 * kMiB;
    event.figures.roomTotalBytes = 1024 * kMiB;
    event.figures.usageBytes = 700 * kMiB;
    event.figures.reclaimableBytes = 88 * kMiB;
    event.held = 0;
    return event;
}

TEST(RunEventJson, GivesEachKindItsFields) {
    RunEvent status = eventAt(EventKind::Status, "alloc-failed", "Error: Allocation failed");
    status.line = 4;
    status.keyword = "mallocate";
    status.requested = 64 * kMiB;
    RunEvent end = eventAt(EventKind::CommandEnd, "command-end", "status 3 after 0.02 s");
    end.argv = {"sh", "-c", "exit 3"};
    end.status = 3;
    end.seconds = 0.02;
    RunEvent unknown = eventAt(EventKind::Sample, "sample", "held 0.0MiB");
    unknown.figures = MemoryFigures{};
    unknown.held.reset();
    RunEvent keptEnd = endEvent(0, "for", false);
    keptEnd.time = status.time;
    keptEnd.figures = status.figures;
    keptEnd.held = 0;
    keptEnd.targetRoom = 200 * kMiB;
    keptEnd.heldMax = 300 * kMiB;
    keptEnd.inBand = 0.75;
    keptEnd.heldKind = "file";
    keptEnd.kindResident = 250 * kMiB;
    RunEvent tripped = guardEvent("--stop-if-probe-fails 'curl -sf x'", "the probe ended with status 7: \x1B[31m",
                                  "--stop-if-probe-fails 'curl -sf x': the probe ended with status 7");
    tripped.time = status.time;
    tripped.figures = status.figures;
    tripped.held = 0;
    RunEvent guardEnd = endEvent(123, "guard", false);
    guardEnd.guard = "--stop-if-room-below 1G";
    guardEnd.time = status.time;
    guardEnd.figures = status.figures;
    guardEnd.held = 0;
    guardEnd.heldMax = 0;
    RunEvent west = eventAt(EventKind::Popup, "script-text", "Information: <b>\x1B[31m");
    west.time.utcOffsetMinutes = -330;

    const struct {
        const char* what;
        RunEvent event;
        nlohmann::json expected;  // every field of the line
    } cases[] = {
        {"script event", status,
         {{"time", "2025-06-01T14:03:07.412+02:00"}, {"event", "status"}, {"code", "alloc-failed"},
          {"text", "Error: Allocation failed"}, {"line", 4}, {"keyword", "mallocate"}, {"requested", 64 * kMiB},
          {"held", 0}, {"kind", nullptr}, {"kind_resident", nullptr}, {"resident", 3 * kMiB}, {"committed", 12 * kMiB}, {"room", 412 * kMiB},
          {"limit", 1024 * kMiB}, {"limit_source", "cgroup"},
          {"target_room", nullptr}, {"room_total", 1024 * kMiB}, {"usage", 700 * kMiB}, {"reclaimable", 88 * kMiB}}},
        {"command end", end,
         {{"time", "2025-06-01T14:03:07.412+02:00"}, {"event", "command-end"}, {"code", "command-end"},
          {"text", "status 3 after 0.02 s"}, {"requested", nullptr}, {"held", 0}, {"kind", nullptr}, {"kind_resident", nullptr}, {"resident", 3 * kMiB},
          {"committed", 12 * kMiB}, {"room", 412 * kMiB}, {"limit", 1024 * kMiB}, {"limit_source", "cgroup"},
          {"target_room", nullptr}, {"room_total", 1024 * kMiB}, {"usage", 700 * kMiB}, {"reclaimable", 88 * kMiB},
          {"argv", {"sh", "-c", "exit 3"}}, {"status", 3}, {"seconds", 0.02}}},
        {"figures not known", unknown,
         {{"time", "2025-06-01T14:03:07.412+02:00"}, {"event", "sample"}, {"code", "sample"},
          {"text", "held 0.0MiB"}, {"requested", nullptr}, {"held", nullptr}, {"kind", nullptr}, {"kind_resident", nullptr}, {"resident", nullptr},
          {"committed", nullptr}, {"room", nullptr}, {"limit", nullptr}, {"limit_source", nullptr},
          {"target_room", nullptr}, {"room_total", nullptr}, {"usage", nullptr}, {"reclaimable", nullptr}}},
        {"the end of a kept level", keptEnd,
         {{"time", "2025-06-01T14:03:07.412+02:00"}, {"event", "end"}, {"code", "for"}, {"text", "status 0: for"},
          {"requested", nullptr}, {"target_room", 200 * kMiB}, {"held", 0}, {"kind", "file"}, {"kind_resident", 250 * kMiB}, {"resident", 3 * kMiB},
          {"committed", 12 * kMiB}, {"room", 412 * kMiB}, {"limit", 1024 * kMiB}, {"limit_source", "cgroup"},
          {"room_total", 1024 * kMiB}, {"usage", 700 * kMiB}, {"reclaimable", 88 * kMiB}, {"status", 0},
          {"reason", "for"}, {"reached", false}, {"held_max", 300 * kMiB}, {"full_seconds", nullptr},
          {"in_band", 0.75}, {"guard", nullptr}}},
        {"a guard's trip, control in the figure", tripped,
         {{"time", "2025-06-01T14:03:07.412+02:00"}, {"event", "guard"}, {"code", "guard-tripped"},
          {"text", "--stop-if-probe-fails 'curl -sf x': the probe ended with status 7"}, {"requested", nullptr},
          {"target_room", nullptr}, {"held", 0}, {"kind", nullptr}, {"kind_resident", nullptr}, {"resident", 3 * kMiB}, {"committed", 12 * kMiB},
          {"room", 412 * kMiB}, {"limit", 1024 * kMiB}, {"limit_source", "cgroup"}, {"room_total", 1024 * kMiB},
          {"usage", 700 * kMiB}, {"reclaimable", 88 * kMiB}, {"guard", "--stop-if-probe-fails 'curl -sf x'"},
          {"figure", "the probe ended with status 7: \\x1B[31m"}}},
        {"the end a guard made", guardEnd,
         {{"time", "2025-06-01T14:03:07.412+02:00"}, {"event", "end"}, {"code", "guard"},
          {"text", "status 123: guard"}, {"requested", nullptr}, {"target_room", nullptr}, {"held", 0},
          {"kind", nullptr}, {"kind_resident", nullptr}, {"resident", 3 * kMiB}, {"committed", 12 * kMiB}, {"room", 412 * kMiB}, {"limit", 1024 * kMiB},
          {"limit_source", "cgroup"}, {"room_total", 1024 * kMiB}, {"usage", 700 * kMiB},
          {"reclaimable", 88 * kMiB}, {"status", 123}, {"reason", "guard"}, {"reached", false}, {"held_max", 0},
          {"full_seconds", nullptr}, {"in_band", nullptr}, {"guard", "--stop-if-room-below 1G"}}},
        {"negative offset, control in the text", west,
         {{"time", "2025-06-01T14:03:07.412-05:30"}, {"event", "popup"}, {"code", "script-text"},
          {"text", "Information: <b>\\x1B[31m"}, {"requested", nullptr}, {"held", 0}, {"kind", nullptr}, {"kind_resident", nullptr}, {"resident", 3 * kMiB},
          {"committed", 12 * kMiB}, {"room", 412 * kMiB}, {"limit", 1024 * kMiB}, {"limit_source", "cgroup"},
          {"target_room", nullptr}, {"room_total", 1024 * kMiB}, {"usage", 700 * kMiB}, {"reclaimable", 88 * kMiB}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string line = jsonLine(c.event);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(nlohmann::json::parse(line), c.expected) << line;
    }
}

TEST(RunEventText, KeepsTheLineFormatAndItsKinds) {
    RunEvent bare = eventAt(EventKind::Error, "no-terminal", "torvane-run: not run");
    bare.textForm = TextForm::Bare;
    const struct {
        RunEvent event;
        const char* expected;
    } cases[] = {
        {eventAt(EventKind::Status, "pause", "Pause"),
         "2025-06-01 14:03:07.412  rss=3.0MiB  commit=12.0MiB  avail=412.0MiB(cgroup)  status   Pause"},
        {eventAt(EventKind::CommandStart, "command-start", "exit"),
         "2025-06-01 14:03:07.412  rss=3.0MiB  commit=12.0MiB  avail=412.0MiB(cgroup)  command  exit"},
        {eventAt(EventKind::CommandEnd, "command-end", "status 3"),
         "2025-06-01 14:03:07.412  rss=3.0MiB  commit=12.0MiB  avail=412.0MiB(cgroup)  exit     status 3"},
        {eventAt(EventKind::HoldReached, "hold-reached", "reached 1.0MiB in 0.01 s"),
         "2025-06-01 14:03:07.412  rss=3.0MiB  commit=12.0MiB  avail=412.0MiB(cgroup)  hold     reached 1.0MiB in 0.01 s"},
        {bare, "torvane-run: not run"},
    };
    for (const auto& c : cases) EXPECT_EQ(textLine(c.event), c.expected);
}

// The runner's texts in English, as runnerText would give them.
std::string englishText(int id) {
    static const std::map<int, std::string> texts = {
        {IDS_SCRIPT_LOAD_FAILED, "Failed to load %s."}, {IDS_ALLOC_FAILED, "Allocation failed"},
        {IDS_ALLOC_FAILED_DOT, "Allocation failed."},   {IDS_CANNOT_FREE, "Cannot free unallocated memory block."},
        {IDS_ERROR, "Error"},                           {IDS_NOT_EVK, "This is not an EVK file."},
    };
    const auto text = texts.find(id);
    return text == texts.end() ? "(text " + std::to_string(id) + ")" : text->second;
}

TEST(EventCodes, NameTheRunnersTexts) {
    const struct {
        std::string text;
        int caption;
        const char* code;
    } cases[] = {
        {"Allocation failed", IDS_ERROR, "alloc-failed"},
        {"Allocation failed.", IDS_ERROR, "alloc-failed"},
        {"Cannot free unallocated memory block.", IDS_ERROR, "cannot-free"},
        {"Error", IDS_ERROR, "asktoquit"},
        {"This is not an EVK file.", IDS_ILLEGAL_FILE, "not-a-script"},
        {"Failed to load /tmp/a b.evk.", IDS_ERROR, "load-failed"},
        {"Failed to load .", IDS_ERROR, "load-failed"},
        {"Failed to load x", IDS_ERROR, "script-text"},
        {"Allocation failed, or not", IDS_ERROR, "script-text"},
    };
    for (const auto& c : cases) EXPECT_EQ(codeOfBoxText(c.text, c.caption, englishText), c.code) << c.text;
    EXPECT_EQ(codeOfText(IDS_ALLOC_SUCCESS), "alloc-success");
    EXPECT_EQ(codeOfText(IDS_FREE_COMPLETED), "free-completed");
    EXPECT_EQ(codeOfText(IDS_PAUSE), "pause");
    EXPECT_EQ(codeOfText(IDS_TEST_WARNING), "text-29");
}

TEST(RunReport, KeepsEveryEventAndABoundedEvenSetOfSamples) {
    const struct {
        std::size_t samples;
        std::size_t atMost;
    } cases[] = {{10, 10}, {399, 399}, {400, 200}, {144000, 399}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.samples);
        RunRecorder recorder(200);
        for (std::size_t i = 0; i < c.samples; ++i) {
            recorder.add(eventAt(EventKind::Sample, "sample", "held", static_cast<double>(i)));
            if (i % 1000 == 0) recorder.add(eventAt(EventKind::Status, "pause", "Pause", static_cast<double>(i)));
        }
        EXPECT_EQ(recorder.eventCount(), (c.samples + 999) / 1000);
        const auto& kept = recorder.samples();
        EXPECT_LE(kept.size(), c.atMost);
        EXPECT_GE(kept.size(), std::min<std::size_t>(c.samples, 200));
        // Evenly: the same step between every two kept, from the first on.
        ASSERT_GE(kept.size(), 2u);
        const double step = kept[1].elapsed - kept[0].elapsed;
        EXPECT_EQ(kept[0].elapsed, 0);
        for (std::size_t i = 1; i < kept.size(); ++i) EXPECT_EQ(kept[i].elapsed - kept[i - 1].elapsed, step);
    }
}

// Beyond the first and the last few events only a count is kept, and the
// page says how many and between when; fewer are all listed.
TEST(RunReport, KeepsTheFirstAndLastEventsAndCountsTheRest) {
    const struct {
        std::size_t events;
        std::size_t first, last, leftOut;
    } cases[] = {{5, 5, 0, 0}, {10, 10, 0, 0}, {15, 10, 5, 0}, {20, 10, 10, 0}, {21, 10, 10, 1}, {300000, 10, 10, 299980}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.events);
        RunRecorder recorder(200, 10);
        const auto text = [](std::size_t i) { return std::to_string(i) + "p"; };
        for (std::size_t i = 0; i < c.events; ++i) {
            recorder.add(eventAt(EventKind::Popup, "script-text", text(i), static_cast<double>(i)));
        }
        EXPECT_EQ(recorder.firstEvents().size(), c.first);
        EXPECT_EQ(recorder.lastEvents().size(), c.last);
        EXPECT_EQ(recorder.eventsLeftOut(), c.leftOut);
        EXPECT_EQ(recorder.eventCount(), c.events);
        EXPECT_EQ(recorder.firstEvents().front().text, text(0));
        // The last ones are the newest, in their order.
        if (c.last > 0) {
            EXPECT_EQ(recorder.lastEvents().back().text, text(c.events - 1));
            EXPECT_EQ(recorder.lastEvents().front().text, text(c.events - c.last));
        }

        const std::string html = reportHtml(ReportHeader{"host", {"torvane-run"}, 0, 1.0, "-"}, recorder);
        std::size_t rows = 0;
        for (std::size_t at = 0; (at = html.find("<td>popup</td>", at)) != std::string::npos; ++at) ++rows;
        EXPECT_EQ(rows, c.first + c.last);
        const std::string says = std::to_string(c.leftOut) + " events from " + std::to_string(c.first - 1) +
                                 ".000 s to " + std::to_string(c.events - c.last) + ".000 s are left out";
        EXPECT_EQ(html.find(says) != std::string::npos, c.leftOut > 0) << says;
        EXPECT_EQ(html.find("between them only counted") != std::string::npos, c.leftOut > 0);
    }
}

TEST(RunReport, EscapesEveryTextAndNeedsNoScript) {
    RunRecorder recorder;
    RunEvent popup = eventAt(EventKind::Popup, "script-text", "Information: <script>alert('x')</script> & \"q\"", 0.5);
    popup.line = 3;
    popup.keyword = "<img>";
    recorder.add(popup);
    RunEvent end = eventAt(EventKind::CommandEnd, "command-end", "status 3", 0.8);
    end.status = 3;
    recorder.add(end);
    recorder.add(eventAt(EventKind::Sample, "sample", "held", 0.9));
    const ReportHeader header{"host<1>", {"torvane-run", "--report", "<r>.html"}, 3, 1.0, "2025-06-01T14:03:07.412+02:00"};
    const std::string html = reportHtml(header, recorder);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("<r>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;"), std::string::npos);
    EXPECT_NE(html.find("host&lt;1&gt;"), std::string::npos);
    EXPECT_NE(html.find("L3 &lt;img&gt;"), std::string::npos);  // the line's mark
    EXPECT_NE(html.find(">exit 3<"), std::string::npos);        // the command's end
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("<table>"), std::string::npos);
    for (const char* outside : {"http://", "https://", "<link", "url("}) {
        const std::size_t at = html.find(outside);
        // The SVG's namespace is a name, not a fetch.
        if (at != std::string::npos) EXPECT_EQ(html.compare(at, 26, "http://www.w3.org/2000/svg"), 0) << outside;
    }
}

// The run's own lines stay readable beside a room many times larger: the
// chart is scaled to them and the room named in the legend; a room of the
// same order is drawn.
TEST(RunReport, ScalesToTheRunWhenTheRoomDwarfsIt) {
    const struct {
        std::uint64_t room;
        bool roomDrawn;
    } cases[] = {
        {23 * 1024 * kMiB, false},
        {412 * kMiB, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.room);
        RunRecorder recorder;
        for (double at : {0.0, 0.5, 1.0}) {
            RunEvent sample = eventAt(EventKind::Sample, "sample", "held", at);
            sample.held = 64 * kMiB;
            sample.figures.residentBytes = 68 * kMiB;
            sample.figures.availableBytes = c.room;
            sample.figures.limitBytes = MemoryFigures::kUnknown;
            recorder.add(sample);
        }
        const std::string html = reportHtml(ReportHeader{"host", {"torvane-run"}, 0, 1.0, "-"}, recorder);
        EXPECT_EQ(html.find("stroke=\"#2ca02c\"") != std::string::npos, c.roomDrawn);
        EXPECT_EQ(html.find("room (above the chart; lowest 23552.0MiB)") != std::string::npos, !c.roomDrawn);
    }
}

// A kept level is drawn against its room, with its target and band, even
// where the room dwarfs what is held.
TEST(RunReport, DrawsAKeptLevelsTargetAndBand) {
    for (bool kept : {true, false}) {
        SCOPED_TRACE(kept);
        RunRecorder recorder;
        for (double at : {0.0, 0.5, 1.0}) {
            RunEvent sample = eventAt(EventKind::Sample, "sample", "held", at);
            sample.held = 64 * kMiB;
            sample.figures.availableBytes = 23 * 1024 * kMiB;
            if (kept) {
                sample.targetRoom = 23 * 1024 * kMiB;
                sample.band = 60 * kMiB;
            }
            recorder.add(sample);
        }
        const std::string html = reportHtml(ReportHeader{"host", {"torvane-run"}, 0, 1.0, "-"}, recorder);
        EXPECT_EQ(html.find("<polygon class=\"band\"") != std::string::npos, kept);
        EXPECT_EQ(html.find("stroke=\"#17becf\"") != std::string::npos, kept) << "the target's line";
        EXPECT_EQ(html.find("stroke=\"#2ca02c\"") != std::string::npos, kept) << "the room on the chart";
        // The held line comes last, drawn over the others.
        EXPECT_GT(html.rfind("stroke=\"#d62728\""), html.rfind("stroke=\"#1f77b4\""));
    }
}

std::vector<std::string> labels(const std::vector<AxisTick>& ticks) {
    std::vector<std::string> texts;
    for (const AxisTick& tick : ticks) texts.push_back(tick.label);
    return texts;
}

TEST(RunReport, TicksAtRoundStepsForAnyLength) {
    const struct {
        double seconds;
        std::vector<std::string> expected;
    } times[] = {
        {1.0, {"0 s", "0.2 s", "0.4 s", "0.6 s", "0.8 s", "1 s"}},
        {0.0, {"0 s", "0.1 s"}},
        {36000, {"0 h", "2 h", "4 h", "6 h", "8 h", "10 h"}},
        {600, {"0 min", "2 min", "4 min", "6 min", "8 min", "10 min"}},
    };
    for (const auto& c : times) EXPECT_EQ(labels(timeTicks(c.seconds)), c.expected) << c.seconds;
    const struct {
        std::uint64_t bytes;
        std::vector<std::string> expected;
    } sizes[] = {
        {64 * kMiB, {"0 MiB", "20 MiB", "40 MiB", "60 MiB", "80 MiB"}},
        {0, {"0 MiB", "1 MiB"}},
        {24ull * 1024 * kMiB, {"0 GiB", "5 GiB", "10 GiB", "15 GiB", "20 GiB", "25 GiB"}},
    };
    for (const auto& c : sizes) EXPECT_EQ(labels(byteTicks(c.bytes)), c.expected) << c.bytes;
}

}  // namespace
