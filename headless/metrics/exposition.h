// The Prometheus text exposition format, version 0.0.4: what GET /metrics
// answers and what a node exporter's textfile collector reads. Each family
// is a # HELP line, a # TYPE line and its samples, one per set of labels,
// without timestamps. Portable.
#pragma once
#include <string>
#include <string_view>
#include <vector>

extern const char kExpositionContentType[];  // "text/plain; version=0.0.4; charset=utf-8"

enum class MetricType { Gauge, Counter };

struct Label {
    std::string name, value;
};

struct Sample {
    std::vector<Label> labels;
    double value = 0;
};

struct MetricFamily {
    std::string name;  // a counter's ends in _total, as the format's linters expect
    MetricType type = MetricType::Gauge;
    std::string help;
    std::vector<Sample> samples;  // none: the family is left out
};

// [a-zA-Z_:][a-zA-Z0-9_:]*; a label's the same without ':' and not "__"-led.
bool isMetricName(std::string_view name);
bool isLabelName(std::string_view name);

// A label value with \, " and a line end escaped; a help text with \ and
// a line end escaped.
std::string escapedLabelValue(std::string_view value);
std::string escapedHelp(std::string_view help);

// A value as the format writes it: integers whole (up to 2^53 exactly),
// others to 17 significant digits, NaN, +Inf, -Inf.
std::string sampleValueText(double value);

// The families in the given order. A family without samples is left out,
// so that a figure that cannot be read is absent rather than made up.
std::string expositionText(const std::vector<MetricFamily>& families);
