#include "headless/record/text_line.h"

#include <cstdio>

#include "headless/record/mebibytes.h"
#include "headless/record/one_line.h"
#include "headless/system/console_text.h"

std::string textLine(const RunEvent& event) {
    if (event.textForm == TextForm::Bare) return oneLine(event.text);
    const MemoryFigures& figures = event.figures;
    std::string available = mebibytesText(figures.availableBytes);
    if (figures.availableLimit && figures.availableBytes != MemoryFigures::kUnknown) {
        available = available + "(" + figures.availableLimit + ")";
    }
    const LocalTime& time = event.time;
    char head[192];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d  rss=%s  commit=%s  avail=%s  %-8s ",
                  time.year, time.month, time.day, time.hour, time.minute, time.second, time.millisecond,
                  mebibytesText(figures.residentBytes).c_str(), mebibytesText(figures.committedBytes).c_str(),
                  available.c_str(), eventKindRow(event.kind).column);
    return head + oneLine(event.text);
}

void TextLines::take(const RunEvent& event) {
    if (event.kind == EventKind::Sample && !printSamples_) return;
    if (event.textForm == TextForm::None) return;
    writeLine(event.onError ? Stream::Err : Stream::Out, textLine(event));
}
