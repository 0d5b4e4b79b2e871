#include "headless/metrics/exposition.h"

#include <cmath>
#include <cstdio>

const char kExpositionContentType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {
bool nameCharacter(char c, bool first, bool colon) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') return true;
    if (colon && c == ':') return true;
    return !first && c >= '0' && c <= '9';
}

const char* typeName(MetricType type) { return type == MetricType::Counter ? "counter" : "gauge"; }
}  // namespace

bool isMetricName(std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!nameCharacter(name[i], i == 0, true)) return false;
    return true;
}

bool isLabelName(std::string_view name) {
    if (name.empty() || name.substr(0, 2) == "__") return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!nameCharacter(name[i], i == 0, false)) return false;
    return true;
}

std::string escapedLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string escapedHelp(std::string_view help) {
    std::string out;
    out.reserve(help.size());
    for (char c : help) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string sampleValueText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    if (value == std::floor(value) && std::fabs(value) <= 9007199254740992.0) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.17g", value);
    }
    return text;
}

std::string expositionText(const std::vector<MetricFamily>& families) {
    std::string text;
    for (const MetricFamily& family : families) {
        if (family.samples.empty()) continue;
        text += "# HELP " + family.name + " " + escapedHelp(family.help) + "\n";
        text += "# TYPE " + family.name + " " + typeName(family.type) + "\n";
        for (const Sample& sample : family.samples) {
            text += family.name;
            if (!sample.labels.empty()) {
                text += '{';
                for (std::size_t i = 0; i < sample.labels.size(); ++i) {
                    if (i) text += ',';
                    text += sample.labels[i].name + "=\"" + escapedLabelValue(sample.labels[i].value) + "\"";
                }
                text += '}';
            }
            text += ' ' + sampleValueText(sample.value) + '\n';
        }
    }
    return text;
}
