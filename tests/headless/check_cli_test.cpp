// torvane-run --check and --strict, the real program: statuses, lines that
// parse, and a refused script that runs nothing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>

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

namespace {
// A piped script is read once: the check sees what the run then runs.
TEST(TorvaneRunCheck, StrictReadsAPipedScriptOnce) {
    const struct {
        const char* what;
        std::string script;
        int status;
        bool ran;
        std::string err;  // a part of standard error
    } cases[] = {
        {"clean", "EVKScript\nrun @\nend \n", 0, true, ""},
        {"faulted", "EVKScript\nrun @\nrelease\n", 1, false, "--strict refuses"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder folder;
        // /dev/stdin's folder is /dev: the command is named by its whole path.
        const std::string mark = folder.write("mark.sh", "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n", true);
        std::string script = c.script;
        script.replace(script.find('@'), 1, mark);
        const RunResult r = runToEnd(ChildSetup{{"--strict", "--yes", "/dev/stdin"}, {}, Input::Pipe}, script);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_EQ(folder.has("ran"), c.ran);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

TEST(TorvaneRunCheck, StrictRefusesAPipedScriptPastItsBound) {
    ChildSetup setup{{"--strict", "--yes", "/dev/stdin"}};
    setup.prefix = {"sh", "-c", "{ printf 'EVKScript\\n'; head -c 17000000 /dev/zero; } | \"$@\"", "sh"};
    const RunResult r = runToEnd(setup);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("up to 16 MiB"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

// --check stops as a run does: on a signal with 128 + its number, at
// --timeout with 124, and at once when its reader has gone.
TEST(TorvaneRunCheck, ObeysStopsDeadlinesAndAGoneReader) {
    {
        const RunResult r = runToEnd(ChildSetup{{"--check", "--timeout", "300ms", "/dev/zero"}});
        EXPECT_EQ(r.status, 124);
        EXPECT_NE(r.err.find("stopped (timeout)"), std::string::npos) << r.err;
    }
    for (Input input : {Input::Zero, Input::Pipe}) {
        SCOPED_TRACE(input == Input::Zero ? "endless input" : "a pipe nobody writes to");
        Child child{ChildSetup{{"--check", "/dev/stdin"}, {}, input}};
        if (input == Input::Pipe) child.send("bogus\n");
        // Its first finding: the check is reading, with its stops caught.
        ASSERT_TRUE(child.waitForOutput("is not exactly")) << child.out << child.err;
        kill(child.pid(), SIGTERM);
        EXPECT_EQ(child.finish(5000), 143) << child.err;
    }
    {
        ChildSetup setup{{"--check", "/dev/stdin"}};
        setup.prefix = {"sh", "-c", "yes bogus | \"$@\" | head -1", "sh"};
        const RunResult r = runToEnd(setup);
        EXPECT_EQ(r.status, 0);  // head's; the run ended, or finish would give -1
        EXPECT_NE(r.out.find("is not exactly"), std::string::npos) << r.out;
    }
}

// Every error goes through --json when it is asked for, even a command line
// that does not parse.
TEST(TorvaneRunCheck, UsageErrorsAreJsonLinesUnderJson) {
    const struct {
        std::vector<std::string> args;
        std::string code;
    } cases[] = {
        {{"--json", "--bogus"}, "usage"},
        {{"--json", "--workers", "0", "x.evk"}, "usage"},
        {{"--json", "--hold", "1M", "--keep-available", "1M"}, "usage"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const RunResult r = runToEnd(ChildSetup{c.args});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "");
        const auto line = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_FALSE(line.is_discarded()) << r.out;
        EXPECT_EQ(line["event"], "error");
        EXPECT_EQ(line["code"], c.code);
    }
}
}  // namespace
