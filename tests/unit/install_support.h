// What the installer's tests share: running the program in-process and the names and keys
// of the service node1.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "install/install.h"
#include "test_support.h"

namespace vornel::testing {

inline const std::string kNode1Full = "OrvikTamberVornel6100AgentService - node1";
inline const std::string kNode1Key = "SYSTEM\\CurrentControlSet\\Services\\OrvikTamberVornel6100AgentService - node1";
inline const std::string kNode1Params = kNode1Key + "\\Parameters";
inline const std::string kNode1Source =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\OrvikTamberVornel6100AgentService - node1";

// The whole usage text, as an administrator sees it.
inline const std::string kInstallUsage =
    "\r\nUsage: InstallVornelAgentService.exe (with no arguments displays this help)"
    "\r\n        -servicename <Service Name>"
    "\r\n        -agentname <VornelAgent Name>"
    "\r\n        -agenthome <Agent's Root Directory>"
    "\r\n        -startargs <additional start arguments>"
    "\r\n        -stopargs <additional stop arguments>"
    "\r\n        -userid <execution id>"
    "\r\n        -password <password>"
    "\r\n        -encodeparams "
    "\r\n        -noprefix "
    "\r\n        -restart <true | false>"
    "\r\n        -starttype <automatic | manual | disabled>"
    "\r\n        -servicetrace <on | off>"
    "\r\n        -help <Displays this help>";

class InstallTest : public MemoryTest {
protected:
    // Runs the installer with these arguments after the program path.
    int install(std::vector<std::string> args) {
        args.insert(args.begin(), "InstallVornelAgentService.exe");
        Argv argv(std::move(args));
        return installVornelAgentServiceMain(os, argv.argc(), argv.argv());
    }

    // The usual installation of node1, with more arguments after it.
    int installNode1(std::vector<std::string> more = {}, const std::string& home = "C:\\agent") {
        std::vector<std::string> args = {"-servicename", "node1", "-agentname", "agent1", "-agenthome", home};
        args.insert(args.end(), more.begin(), more.end());
        return install(std::move(args));
    }

    std::optional<std::string> param(const std::string& name) { return os.stringValue(kNode1Params, name); }

    // Every value under a key, by name, with its type and raw data.
    std::map<std::string, std::pair<uint32_t, std::string>> valuesOf(const std::string& key) {
        std::map<std::string, std::pair<uint32_t, std::string>> values;
        for (const std::string& name : os.valueNames(key)) {
            MemoryPlatform::RegValue v = os.value(key, name).value();
            values[name] = {v.type, v.data};
        }
        return values;
    }

    // The trace lines that begin with the text.
    std::vector<std::string> traceStartingWith(const std::string& start) {
        std::vector<std::string> lines;
        for (const std::string& line : trace()) {
            if (line.compare(0, start.size(), start) == 0) lines.push_back(line);
        }
        return lines;
    }
};

}  // namespace vornel::testing
