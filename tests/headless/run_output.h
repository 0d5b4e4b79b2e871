// What the tests of torvane-run share: a folder of scripts of their own, and
// the lines of its output taken apart.
#pragma once
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A folder of its own for each test's scripts, removed afterwards.
class Folder {
public:
    Folder() : path_(fs::temp_directory_path() / ("torvane_run_" + std::to_string(getpid()) + "_" +
                                                   std::to_string(serial_++))) {
        fs::create_directories(path_);
    }
    ~Folder() { fs::remove_all(path_); }
    std::string write(const std::string& name, const std::string& bytes, bool executable = false) const {
        const fs::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << bytes;
        if (executable) fs::permissions(file, fs::perms::owner_all, fs::perm_options::add);
        return file.string();
    }
    bool has(const std::string& name) const { return fs::exists(path_ / name); }
    std::string path() const { return path_.string(); }

private:
    static inline int serial_ = 0;
    fs::path path_;
};

// The lines of one stream without their time and figures; every line must
// have them.
inline std::vector<std::string> events(const std::string& output) {
    static const std::regex head(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  rss=(\d+\.\dMiB|\?)  commit=(\d+\.\dMiB|\?)  avail=(\d+\.\dMiB(\((cgroup|job)\))?|\?)  )");
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (!std::regex_search(line, match, head)) {
            ADD_FAILURE() << "not an event line: " << line;
            continue;
        }
        lines.push_back(match.suffix());
    }
    return lines;
}

// A figure of the last line that contains `event`, in MiB; -1 if none.
inline double figureOf(const std::string& output, const std::string& event, const char* name) {
    double value = -1;
    std::istringstream in(output);
    const std::regex figure(std::string(name) + R"(=(\d+\.\d)MiB)");
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (line.find(event) != std::string::npos && std::regex_search(line, match, figure)) {
            value = std::stod(match[1]);
        }
    }
    return value;
}

