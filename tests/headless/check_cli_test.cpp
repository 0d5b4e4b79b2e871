// torvane-run --check and --strict, the real program: statuses, lines that
// parse, and a refused script that runs nothing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "run_output.h"

namespace {
std::vector<std::string> linesOf(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A command that leaves a mark beside the script, to tell whether the script ran.
const std::string kMarker = "#!/bin/sh\ntouch ran\n";

TEST(TorvaneRunCheck, ListsTrapsAndRunsNothing) {
    const struct {
        const char* what;
        std::optional<std::string> file;  // none: no file at all; "/": a folder
        std::vector<std::string> out;     // "@" stands for the script's path
        std::string err;                  // a part of standard error
        int status;
    } cases[] = {
        {"clean", "EVKScript\nrun ./mark.sh\nend \n", {"@: 0 faults, 0 notes: the runner does what the script says"}, "",
         0},
        {"notes only", "EVKScript\nRUN ./mark.sh\n",
         {"@:2: note: \"RUN\" is taken as \"run\", since letter case is ignored; the runner acts on it; nothing "
          "needed; \"run\" reads the same everywhere",
          "@: 0 faults, 1 note: the runner does what the script says"},
         "", 0},
        {"faults", "EVKScript\nrun ./mark.sh\nmallocate 64\nrelease\nsleep\t1\n",
         {"@:4: fault: \"release\" has no space after it, so the line end sticks to it and the runner skips the "
          "line; write \"release \", with a space right after the keyword",
          "@:5: fault: \"sleep\\t1\" holds a tab, which does not separate words, so the runner skips the line; put "
          "spaces where the tabs are: \"sleep 1\"",
          "@: 2 faults, 0 notes: the runner would not do what the script seems to say"},
         "", 1},
        {"missing file", std::nullopt, {}, "torvane-run: cannot read @: No such file or directory", 2},
        {"a folder", "/", {}, "torvane-run: cannot read @: it is a folder, not a script file", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        folder.write("mark.sh", kMarker, true);
        const std::string script = !c.file ? folder.path() + "/absent.evk"
                                   : *c.file == "/" ? folder.path()
                                                    : folder.write("s.evk", *c.file);
        auto place = [&](std::string text) {
            for (auto at = text.find('@'); at != std::string::npos; at = text.find('@')) text.replace(at, 1, script);
            return text;
        };
        std::vector<std::string> expectedOut;
        for (const std::string& line : c.out) expectedOut.push_back(place(line));
        // No --yes: a check asks nothing, also with no terminal to ask on.
        const RunResult r = runToEnd(ChildSetup{{"--check", script}});
        EXPECT_EQ(linesOf(r.out), expectedOut);
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(place(c.err)), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.status, c.status);
        EXPECT_FALSE(folder.has("ran"));
    }
}

TEST(TorvaneRunCheck, JsonLinesParseWithFixedFields) {
    const struct {
        const char* what;
        std::optional<std::string> file;
        std::vector<std::string> codes;
        int faults, notes, status;
    } cases[] = {
        {"faults and a note", "EVKScript\nSleep 1\nmallocat 64\nrelease \npopup \xC3\xA9t\xC3\xA9 \x01 x\n",
         {"keyword-case", "unknown-keyword", "nothing-to-release", "popup-cut"}, 3, 1, 1},
        {"clean", "EVKScript\nend \n", {}, 0, 0, 0},
        {"missing file", std::nullopt, {}, 0, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        const std::string script = c.file ? folder.write("s.evk", *c.file) : folder.path() + "/absent.evk";
        const RunResult r = runToEnd(ChildSetup{{"--check", "--json", script}});
        const std::vector<std::string> lines = linesOf(r.out);
        ASSERT_EQ(lines.size(), c.codes.size() + 1) << r.out;
        for (std::size_t i = 0; i < c.codes.size(); ++i) {
            const nlohmann::json finding = nlohmann::json::parse(lines[i]);
            EXPECT_EQ(finding.at("code"), c.codes[i]);
            EXPECT_EQ(finding.at("line"), i + 2);
            EXPECT_EQ(finding.at("severity"), c.codes[i] == "keyword-case" ? "note" : "fault");
            for (const char* field : {"text", "action", "fix"}) EXPECT_TRUE(finding.at(field).is_string()) << field;
        }
        const nlohmann::json last = nlohmann::json::parse(lines.back());
        EXPECT_EQ(last.at("event"), "check");
        EXPECT_EQ(last.at("faults"), c.faults);
        EXPECT_EQ(last.at("notes"), c.notes);
        EXPECT_EQ(last.at("status"), c.status);
        EXPECT_EQ(r.status, c.status);
        if (c.codes.size() == 4) {
            // The pop-up's bytes arrive escaped: a control shown as \x01, UTF-8 kept.
            EXPECT_EQ(nlohmann::json::parse(lines[3]).at("text"), "popup \xC3\xA9t\xC3\xA9 \\x01 x");
        }
    }
}

TEST(TorvaneRunCheck, StrictRefusesAFaultedScriptAndRunsACleanOne) {
    const struct {
        const char* what;
        std::string file;
        int status;
        bool ran;
        std::string err;  // a part of standard error
    } cases[] = {
        {"faulted", "EVKScript\nrun ./mark.sh\nmallocate 1\nrelease\n", 1, false,
         ":4: fault: \"release\" has no space after it"},
        {"notes only", "EVKScript\nRUN ./mark.sh\nmallocate 1\nrelease \n", 0, true, ""},
        {"clean", "EVKScript\nrun ./mark.sh\nmallocate 1\nrelease \n", 0, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        folder.write("mark.sh", kMarker, true);
        const std::string script = folder.write("s.evk", c.file);
        const RunResult r = runToEnd(ChildSetup{{"--strict", "--yes", script}});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(folder.has("ran"), c.ran);
        if (c.ran) {
            EXPECT_EQ(r.err, "");
            EXPECT_NE(r.out.find("status   Completed"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out, "");  // not even the confirmation
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("--strict refuses"), std::string::npos) << r.err;
        }
    }
}
}  // namespace
