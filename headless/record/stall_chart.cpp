#include "headless/record/stall_chart.h"

#include <algorithm>
#include <cstdio>

#include "headless/record/run_report.h"

namespace {
constexpr double kWidth = 960, kHeight = 200;
constexpr double kLeft = 80, kRight = 20, kTop = 20, kBottom = 40;

std::string number(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

struct Line {
    const char* name;
    const char* colour;
    std::optional<double> RunEvent::*share;
};
constexpr Line kLines[] = {
    {"some stalled", "#ff7f0e", &RunEvent::pressureSome},
    {"all stalled (full)", "#8c564b", &RunEvent::pressureFull},
};
}  // namespace

std::string stallChart(const std::vector<const RunEvent*>& points, double seconds) {
    double top = 0;
    bool any = false;
    for (const RunEvent* p : points) {
        for (const Line& line : kLines) {
            if (!(p->*line.share)) continue;
            any = true;
            top = std::max(top, *(p->*line.share));
        }
        if (p->pressureTarget && p->pressureBand) top = std::max(top, *p->pressureTarget + *p->pressureBand);
    }
    if (!any) return {};
    // The scale: the next of 10, 20, 50 or 100 % above the highest figure.
    double scale = 1.0;
    for (double candidate : {0.1, 0.2, 0.5, 1.0}) {
        if (top <= candidate) {
            scale = candidate;
            break;
        }
    }
    const std::vector<AxisTick> xTicks = timeTicks(seconds);
    const double xSpan = std::max(seconds, xTicks.back().at);
    const double plotWidth = kWidth - kLeft - kRight, plotHeight = kHeight - kTop - kBottom;
    const auto x = [&](double at) { return kLeft + (xSpan > 0 ? at / xSpan : 0) * plotWidth; };
    const auto y = [&](double share) { return kTop + plotHeight - std::min(share / scale, 1.0) * plotHeight; };

    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + number("%.0f", kWidth) + " " +
                      number("%.0f", kHeight + 24) + "\" role=\"img\" aria-label=\"stall share over time\">\n";
    for (int i = 0; i <= 5; ++i) {
        const double share = scale * i / 5;
        const std::string at = number("%.1f", y(share));
        svg += "<line class=\"grid\" x1=\"" + number("%.1f", kLeft) + "\" x2=\"" + number("%.1f", kWidth - kRight) +
               "\" y1=\"" + at + "\" y2=\"" + at + "\"/><text class=\"y\" x=\"" + number("%.1f", kLeft - 6) +
               "\" y=\"" + at + "\">" + number("%g %%", share * 100) + "</text>\n";
    }
    for (const AxisTick& tick : xTicks) {
        const std::string at = number("%.1f", x(tick.at));
        svg += "<line class=\"grid\" x1=\"" + at + "\" x2=\"" + at + "\" y1=\"" + number("%.1f", kTop) +
               "\" y2=\"" + number("%.1f", kTop + plotHeight) + "\"/><text class=\"x\" x=\"" + at + "\" y=\"" +
               number("%.1f", kTop + plotHeight + 16) + "\">" + htmlEscape(tick.label) + "</text>\n";
    }
    // The band aimed at, shaded either side of the target.
    std::string upper, lower;
    for (const RunEvent* p : points) {
        if (!p->pressureTarget || !p->pressureBand) continue;
        const double high = *p->pressureTarget + *p->pressureBand;
        const double low = std::max(0.0, *p->pressureTarget - *p->pressureBand);
        upper += number("%.1f", x(p->elapsed)) + "," + number("%.1f", y(high)) + " ";
        lower = number("%.1f", x(p->elapsed)) + "," + number("%.1f", y(low)) + " " + lower;
    }
    if (!upper.empty()) {
        svg += "<polygon class=\"stall-band\" fill=\"#ff7f0e\" fill-opacity=\"0.15\" stroke=\"none\" points=\"" +
               upper + lower + "\"><title>the stall band aimed at</title></polygon>\n";
    }
    double legendX = kLeft;
    for (const Line& line : kLines) {
        std::string drawn;
        for (const RunEvent* p : points) {
            if (!(p->*line.share)) continue;
            drawn += number("%.1f", x(p->elapsed)) + "," + number("%.1f", y(*(p->*line.share))) + " ";
        }
        if (drawn.empty()) continue;
        svg += "<polyline class=\"stall\" fill=\"none\" stroke=\"" + std::string(line.colour) +
               "\" stroke-width=\"1.5\" points=\"" + drawn + "\"/>\n";
        svg += "<rect x=\"" + number("%.1f", legendX) + "\" y=\"" + number("%.1f", kHeight + 6) +
               "\" width=\"12\" height=\"12\" fill=\"" + line.colour + "\"/><text x=\"" +
               number("%.1f", legendX + 16) + "\" y=\"" + number("%.1f", kHeight + 16) + "\">" + line.name +
               "</text>\n";
        legendX += 160;
    }
    svg += "</svg>\n";
    return svg;
}
