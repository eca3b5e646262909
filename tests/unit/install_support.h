// The installer's tests share the tool fixture with the installer's entry, the usual command
// line for node1 and the whole usage text.
#pragma once

#include <string>
#include <vector>

#include "install/install.h"
#include "tool_test.h"

namespace vornel::testing {

inline const std::string kServiceKey = serviceKeyPath(kFullName);

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
    "\r\n        -help <Displays this help>"
    "\r\n        -starttype delayed"
    "\r\n        -dependson <name/name...>"
    "\r\n        -recovery <on | off>"
    "\r\n        -shutdowntimeout <seconds>";

// An agent installation's programs that the service needs, under a home's bin directory.
inline void layOutAgentHome(MemoryPlatform& os, const std::string& home) {
    os.writeFile(home + "bin\\VornelAgentService.exe", "MZ");
    os.writeFile(home + "bin\\startAgent.bat", "@echo off\r\n");
}

class InstallTest : public ToolTest {
protected:
    // C:\agent\ holds the programs the service needs, as an unpacked package does.
    InstallTest() : ToolTest(installVornelAgentServiceMain, "InstallVornelAgentService.exe") {
        layOutAgentHome(os, "C:\\agent\\");
    }

    // The usual installation of node1 (agent1 in the given home), with more arguments after it.
    int installNode1(std::vector<std::string> more = {}, const std::string& home = "C:\\agent") {
        std::vector<std::string> args = {"-servicename", kShortName, "-agentname", "agent1", "-agenthome", home};
        args.insert(args.end(), more.begin(), more.end());
        return run(std::move(args));
    }
};

}  // namespace vornel::testing
