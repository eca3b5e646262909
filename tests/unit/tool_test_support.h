// What the tests of the start, stop and uninstall tools share: running a tool's entry routine
// in-process and installing a service as the installer leaves it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "common/naming.h"
#include "common/registry.h"
#include "test_support.h"

namespace vornel::testing {

inline const std::string kShortName = "node1";
inline const std::string kFullName = getFullServiceName(kShortName);
inline const std::string kParams = parametersKeyPath(kFullName);
inline const std::string kEventLogKey = eventLogSourceKeyPath(kFullName);
inline const std::string kLogRoot = "C:\\agent\\logs\\middlewareagent";

// The name of a parameterised case: its row's name.
template <class Row>
std::string rowName(const ::testing::TestParamInfo<Row>& param) {
    return param.param.name;
}

using ToolEntry = int (*)(Platform&, int, char**);

class ToolTest : public MemoryTest {
protected:
    ToolTest(ToolEntry entry, std::string program) : entry_(entry), program_(std::move(program)) {}

    // Runs the tool with these arguments after the program path.
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

    // Runs the tool and gives what this run alone wrote.
    Outcome runCapturing(std::vector<std::string> args) {
        size_t outBefore = out().size();
        size_t errBefore = err().size();
        int status = run(std::move(args));
        std::string errText = err().substr(errBefore);
        return Outcome{status, out().substr(outBefore), withoutTrace(errText), traceMessages(errText)};
    }

    // The service as the installer leaves it: its entry, its Parameters key with the agent's
    // log root, and its event-log source.
    void install(uint32_t state = win::kServiceStopped) {
        ServiceConfig config;
        config.name = kFullName;
        config.binaryPathName = "\"C:\\agent\\bin\\VornelAgentService.exe\" \"" + kFullName + "\"";
        os.addService(config);
        os.setServiceState(kFullName, state);
        os.setString(kParams, kAgentLogRoot, kLogRoot);
        os.setString(kEventLogKey, kEventMessageFile, "C:\\agent\\bin\\VornelAgentServiceMsg.dll");
        os.setDword(kEventLogKey, kTypesSupported, 7);
    }

    // The open-failure report for the full service name.
    std::string openFailure(ErrorCode code) {
        return "Could not open service '" + kFullName + "'\n\treason: " + systemText(code) + "\n";
    }

    // A system-error line: the label, then the platform's text for the code, or the code in
    // decimal when the platform has none.
    std::string systemErrorLine(const std::string& label, ErrorCode code) {
        std::string text = systemText(code);
        return label + ": " + (text.empty() ? std::to_string(code) : text) + "\n";
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

private:
    ToolEntry entry_;
    std::string program_;
};

}  // namespace vornel::testing
