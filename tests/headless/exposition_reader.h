// A strict reader of the Prometheus text exposition format 0.0.4 for the
// tests: every sample taken apart, and every rule the format sets that the
// text breaks (names, escapes, # HELP and # TYPE before a family's samples,
// a family's samples together, one sample per series, no timestamps).
#pragma once
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

struct ReadSample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

struct ReadExposition {
    std::vector<ReadSample> samples;
    std::map<std::string, std::string> types, helps;
    std::vector<std::string> problems;  // empty: the text keeps every rule

    // The one sample of `name` whose labels include `labels`; NaN if none.
    double value(const std::string& name, const std::map<std::string, std::string>& labels = {}) const {
        for (const ReadSample& sample : samples) {
            if (sample.name != name) continue;
            bool all = true;
            for (const auto& [key, wanted] : labels) {
                const auto found = sample.labels.find(key);
                all = all && found != sample.labels.end() && found->second == wanted;
            }
            if (all) return sample.value;
        }
        return std::nan("");
    }
    bool has(const std::string& name) const { return !std::isnan(value(name)); }
};

namespace exposition_reader {
inline bool nameChar(char c, bool first, bool colon) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') return true;
    if (colon && c == ':') return true;
    return !first && c >= '0' && c <= '9';
}
inline std::size_t nameEnd(const std::string& text, std::size_t at, bool colon) {
    std::size_t end = at;
    while (end < text.size() && nameChar(text[end], end == at, colon)) ++end;
    return end;
}
inline bool number(const std::string& text, double& value) {
    if (text == "NaN") return value = std::nan(""), true;
    if (text == "+Inf") return value = INFINITY, true;
    if (text == "-Inf") return value = -INFINITY, true;
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}
}  // namespace exposition_reader

inline ReadExposition readExposition(const std::string& text) {
    using namespace exposition_reader;
    ReadExposition read;
    const auto problem = [&read](std::size_t line, const std::string& what) {
        read.problems.push_back("line " + std::to_string(line) + ": " + what);
    };
    if (!text.empty() && text.back() != '\n') problem(0, "the text does not end with a line end");
    std::set<std::string> series, closed;
    std::string current;  // the family whose samples come now
    std::size_t number_ = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        ++number_;
        if (line.empty()) continue;
        if (line[0] == '#') {
            const bool help = line.rfind("# HELP ", 0) == 0, type = line.rfind("# TYPE ", 0) == 0;
            if (!help && !type) continue;  // a comment
            const std::size_t nameAt = 7, nameStop = nameEnd(line, nameAt, true);
            const std::string name = line.substr(nameAt, nameStop - nameAt);
            if (name.empty() || (nameStop < line.size() && line[nameStop] != ' ')) problem(number_, "bad name");
            const std::string rest = nameStop < line.size() ? line.substr(nameStop + 1) : "";
            if (closed.count(name) || current == name) problem(number_, name + ": HELP or TYPE after its samples");
            if (help) {
                std::string unescaped;
                for (std::size_t i = 0; i < rest.size(); ++i) {
                    if (rest[i] != '\\') {
                        unescaped += rest[i];
                    } else if (i + 1 < rest.size() && (rest[i + 1] == '\\' || rest[i + 1] == 'n')) {
                        unescaped += rest[++i] == 'n' ? '\n' : '\\';
                    } else {
                        problem(number_, name + ": a bad escape in HELP");
                    }
                }
                if (read.helps.count(name)) problem(number_, name + ": HELP twice");
                read.helps[name] = unescaped;
            } else {
                if (rest != "counter" && rest != "gauge" && rest != "histogram" && rest != "summary" &&
                    rest != "untyped")
                    problem(number_, name + ": unknown type " + rest);
                if (read.types.count(name)) problem(number_, name + ": TYPE twice");
                read.types[name] = rest;
            }
            continue;
        }
        ReadSample sample;
        std::size_t i = nameEnd(line, 0, true);
        sample.name = line.substr(0, i);
        if (sample.name.empty()) {
            problem(number_, "a sample without a name: " + line);
            continue;
        }
        std::string key = sample.name + "{";
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                const std::size_t labelEnd = nameEnd(line, i, false);
                const std::string label = line.substr(i, labelEnd - i);
                i = labelEnd;
                if (label.empty() || line.compare(i, 2, "=\"") != 0) {
                    problem(number_, "a bad label in " + line);
                    break;
                }
                i += 2;
                std::string value;
                for (; i < line.size() && line[i] != '"'; ++i) {
                    if (line[i] != '\\') {
                        value += line[i];
                        continue;
                    }
                    const char next = i + 1 < line.size() ? line[i + 1] : '\0';
                    if (next == '\\' || next == '"' || next == 'n') {
                        value += next == 'n' ? '\n' : next;
                        ++i;
                    } else {
                        problem(number_, "a bad escape in a label value");
                    }
                }
                ++i;  // the closing quote
                if (sample.labels.count(label)) problem(number_, "label " + label + " twice");
                sample.labels[label] = value;
                key += label + "=" + value + ",";
                if (i < line.size() && line[i] == ',') ++i;
            }
            ++i;  // '}'
        }
        if (i >= line.size() || line[i] != ' ') {
            problem(number_, "no value: " + line);
            continue;
        }
        const std::string value = line.substr(i + 1);
        if (value.find(' ') != std::string::npos) problem(number_, "a timestamp or more after the value: " + line);
        if (!number(value.substr(0, value.find(' ')), sample.value)) problem(number_, "not a number: " + value);
        if (!series.insert(key).second) problem(number_, "a second sample of one series: " + line);
        if (sample.name != current) {
            if (!current.empty()) closed.insert(current);
            if (closed.count(sample.name)) problem(number_, sample.name + ": its samples are not together");
            current = sample.name;
        }
        if (!read.types.count(sample.name)) problem(number_, sample.name + " has no TYPE before it");
        read.samples.push_back(sample);
    }
    return read;
}
