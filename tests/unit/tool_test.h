// The fixture of the tests that run a program's entry routine in-process: each program's tests
// derive a one-line fixture from ToolTest with the program's entry and name. The service node1
// that most of them install is InstalledService() as it is.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "installed_service.h"
#include "test_support.h"

namespace vornel::testing {

inline const std::string kShortName = "node1";
inline const std::string kFullName = InstalledService(kShortName).fullName();
inline const std::string kParams = InstalledService(kShortName).parametersKey();
inline const std::string kEventLogKey = InstalledService(kShortName).eventSourceKey();
inline const std::string kLogRoot = "C:\\agent\\logs\\middlewareagent";

// The report of a service that cannot be opened, as the tools write it.
inline std::string openFailure(ErrorCode code, const std::string& fullName = kFullName) {
    return "Could not open service '" + fullName + "'\n" + systemErrorLine("\treason", code);
}

class ToolTest : public MemoryTest {
protected:
    ToolTest(ToolEntry entry, std::string program) : entry_(entry), program_(std::move(program)) {}

    // Runs the program with these arguments after the program path.
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), program_);
        Argv argv(std::move(args));
        return entry_(os, argv.argc(), argv.argv());
    }

    struct Outcome {
        int status;
        std::string out;
        std::string err;                 // without trace lines
        std::vector<std::string> trace;  // the trace messages
    };

    // Runs the program and gives what this run alone wrote.
    Outcome runCapturing(std::vector<std::string> args) {
        size_t outBefore = out().size();
        size_t errBefore = err().size();
        int status = run(std::move(args));
        std::string errText = err().substr(errBefore);
        return Outcome{status, out().substr(outBefore), withoutTrace(errText), traceMessages(errText)};
    }

    bool traced(const std::string& message) {
        std::vector<std::string> lines = trace();
        return std::find(lines.begin(), lines.end(), message) != lines.end();
    }

    // The trace messages that begin with the given text.
    std::vector<std::string> traceStartingWith(const std::string& head) {
        std::vector<std::string> lines;
        for (const std::string& line : trace()) {
            if (line.compare(0, head.size(), head) == 0) lines.push_back(line);
        }
        return lines;
    }

    // A value of node1's Parameters key, as text.
    std::optional<std::string> param(const std::string& name) { return os.stringValue(kParams, name); }

private:
    ToolEntry entry_;
    std::string program_;
};

}  // namespace vornel::testing
