// torvane-run's JSON lines taken apart, for the tests that read --json.
#pragma once
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

inline std::vector<nlohmann::json> jsonEvents(const std::string& output) {
    std::vector<nlohmann::json> objects;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        try {
            objects.push_back(nlohmann::json::parse(line));
        } catch (const nlohmann::json::parse_error& e) {
            ADD_FAILURE() << "not a JSON line: " << line << " (" << e.what() << ")";
        }
    }
    return objects;
}

inline std::vector<nlohmann::json> ofEvent(const std::vector<nlohmann::json>& objects, const char* event) {
    std::vector<nlohmann::json> found;
    for (const auto& object : objects) {
        if (object.value("event", "") == event) found.push_back(object);
    }
    return found;
}
