// The script runner: the command lines it composes, its waits and reports, its failures.
#include "common/encoding.h"
#include "host_test_support.h"

namespace vornel::testing {
namespace {

using host::startServer;
using host::stopServer;

class ScriptRunnerTest : public HostTest {
protected:
    std::string encoded(const std::string& plain) { return *encodeHex(xorWithKey(name, plain)); }

    // The last launch's command line and working directory.
    std::pair<std::string, std::string> lastLaunch() {
        auto all = os.launches();
        if (all.empty()) return {};
        return {all.back().commandLine, all.back().workingDir};
    }

    // The reports made since the given count.
    std::vector<ServiceStatus> reportsSince(size_t count) {
        auto all = reports();
        return std::vector<ServiceStatus>(all.begin() + static_cast<long>(std::min(count, all.size())), all.end());
    }
};

struct CommandCase {
    const char* label;
    uint32_t major;
    std::optional<std::string> agentName, startArgs, stopArgs, encodedFlag, logFile;
    bool storeEncoded;  // the arguments are stored in their encoded form
    std::string start, stop;
};

TEST_F(ScriptRunnerTest, ComposesTheScriptCommandLines) {
    const std::string log = "C:\\logs\\agent.log";
    const std::string startBat = "\"C:\\agent\\bin\\startAgent.bat\" ";
    const std::string stopBat = "\"C:\\agent\\bin\\stopAgent.bat\" ";
    const CommandCase cases[] = {
        {"every part", 6, "agent one", "-Dx -Dy", "-force", std::nullopt, log, false,
         startBat + " \"agent one\" -Dx -Dy > \"C:\\logs\\agent.log\"",
         stopBat + " \"agent one\" -force >> \"C:\\logs\\agent.log\""},
        {"legacy: name unquoted, no redirection", 4, "agent one", "-Dx", "-force", std::nullopt, log, false,
         startBat + " agent one -Dx", stopBat + " agent one -force"},
        {"nothing optional", 6, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false,
         startBat, stopBat},
        {"only the log", 5, std::nullopt, std::nullopt, std::nullopt, std::nullopt, log, false,
         startBat + " > \"C:\\logs\\agent.log\"", stopBat + " >> \"C:\\logs\\agent.log\""},
        {"encoded on", 6, "a", "-Dport=8080 \"x y\"", "-now", std::string("on"), std::nullopt, true,
         startBat + " \"a\" -Dport=8080 \"x y\"", stopBat + " \"a\" -now"},
        {"encoded in capitals counts as on", 6, "a", "-s", "-t", std::string("ON"), std::nullopt, true,
         startBat + " \"a\" -s", stopBat + " \"a\" -t"},
        {"encoded off", 6, "a", "414243", "-t", std::string("off"), std::nullopt, false, startBat + " \"a\" 414243",
         stopBat + " \"a\" -t"},
        {"no encoded flag", 6, "a", "414243", "-t", std::nullopt, std::nullopt, false, startBat + " \"a\" 414243",
         stopBat + " \"a\" -t"},
        {"empty arguments", 6, "a", "", "", std::nullopt, std::nullopt, false, startBat + " \"a\" ",
         stopBat + " \"a\" "},
    };
    auto host = directContext();
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.label);
        os.deleteTree(params);
        os.setString(params, kAgentHome, home);
        os.setString(params, kAgentPidFile, pidFile);
        auto set = [&](const char* value, const std::optional<std::string>& text, bool encode) {
            if (text) os.setString(params, value, encode ? encoded(*text) : *text);
        };
        set(kAgentName, c.agentName, false);
        set(kStartupArguments, c.startArgs, c.storeEncoded);
        set(kStopArguments, c.stopArgs, c.storeEncoded);
        set(kEncoded, c.encodedFlag, false);
        set(kLogFile, c.logFile, false);
        os.setOsMajorVersion(c.major);

        EXPECT_TRUE(startServer(*host, name));
        EXPECT_EQ(lastLaunch(), std::make_pair(c.start, std::string("C:\\agent\\bin")));
        host->update([](ServiceStatus& s) { s.dwCurrentState = win::kServiceStopPending; });
        EXPECT_TRUE(stopServer(*host, name));
        EXPECT_EQ(lastLaunch(), std::make_pair(c.stop, std::string("C:\\agent\\bin")));
    }
}

TEST_F(ScriptRunnerTest, ArgumentsThatDoNotDecodeAreLeftOut) {
    os.setString(params, kEncoded, "on");
    os.setString(params, kStartupArguments, "ABC");
    os.setString(params, kStopArguments, "4g");
    auto host = directContext();
    startServer(*host, name);
    EXPECT_EQ(lastLaunch().first, "\"C:\\agent\\bin\\startAgent.bat\"  \"agent one\"");
    EXPECT_NE(out().find("Invalid hex string: odd length.\n"), std::string::npos);
    // An invalid digit decodes as 0 and is reported; the rest of the value is used.
    stopServer(*host, name);
    const std::string decoded = *xorWithKey(name, std::string(1, '\x40'));
    EXPECT_EQ(lastLaunch().first, "\"C:\\agent\\bin\\stopAgent.bat\"  \"agent one\" " + decoded);
    EXPECT_NE(out().find("Invalid hex char: g\n"), std::string::npos);
}

TEST_F(ScriptRunnerTest, LongCommandLinesGoToThePlatformWhole) {
    const std::string arguments(5000, 'x');
    os.setString(params, kStartupArguments, arguments);
    auto host = directContext();
    startServer(*host, name);
    EXPECT_EQ(lastLaunch().first, "\"C:\\agent\\bin\\startAgent.bat\"  \"agent one\" " + arguments);
    // One the platform refuses is a failed launch with the platform's reason.
    os.failNext(MemoryPlatform::Op::CreateProcess, win::kErrorInvalidParameter);
    EXPECT_TRUE(startServer(*host, name));
    EXPECT_EQ(errWithoutTrace(), "Couldn't create startServer process: " + systemText(87) + "\n");
}

TEST_F(ScriptRunnerTest, StartWritesItsConsoleLines) {
    auto host = directContext();
    startServer(*host, name);
    EXPECT_EQ(out(), "\r\n startServer - major version = 6\r\n startServer - service name = " + name);
    os.failNext(MemoryPlatform::Op::OsMajorVersion, win::kErrorAccessDenied);
    startServer(*host, std::nullopt);
    EXPECT_NE(out().find("\r\n startServer - major version = 0\r\n startServer - service name = null"),
              std::string::npos);
}

TEST_F(ScriptRunnerTest, MissingAgentHomeRunsNoScript) {
    os.deleteTree(params);
    os.setString(params, kAgentPidFile, pidFile);
    auto host = directContext();
    EXPECT_TRUE(startServer(*host, name));
    EXPECT_NE(out().find("\r\n startServer - the agent home (AgentHome) is not configured; startAgent.bat is not run"),
              std::string::npos);
    EXPECT_TRUE(matches(reports().back(), Expected{{}, 1u, {}, {}, {}, {}}));

    host->update([](ServiceStatus& s) { s.dwCurrentState = win::kServiceStopPending; });
    EXPECT_FALSE(stopServer(*host, name));
    EXPECT_TRUE(os.launches().empty());
    auto events = eventsWithId(host::kEventStopScriptFailed);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].insertion, systemText(3));
    EXPECT_TRUE(matches(reports().back(), Expected{win::kServiceRunning, {}, 0u, 0u, {}, {}}));
}

struct LongStartCase {
    uint64_t scriptMs;
    bool reachesHung;
};

TEST_F(ScriptRunnerTest, ALongStartScriptTurnsRunningAtCheckpointSixty) {
    for (LongStartCase c : {LongStartCase{65000, false}, LongStartCase{305000, true}}) {
        SCOPED_TRACE(c.scriptMs);
        installation.startScriptMs = c.scriptMs;
        auto host = directContext();
        // As the service main leaves it before the start script.
        host->update([](ServiceStatus& s) {
            s.dwServiceType = 16;
            s.dwCurrentState = win::kServiceStartPending;
            s.dwCheckPoint = 2;
        });
        size_t before = reports().size();
        const uint64_t started = os.nowMs();
        startServer(*host, name);
        EXPECT_GE(os.nowMs() - started, c.scriptMs);
        auto made = reportsSince(before);
        ASSERT_GE(made.size(), 60u);
        for (size_t i = 0; i + 1 < made.size(); ++i) {
            const ServiceStatus& s = made[i];
            SCOPED_TRACE(s.dwCheckPoint);
            EXPECT_EQ(s.dwCheckPoint, 3 + i);  // one report per timed-out wait
            uint32_t accepted = s.dwCheckPoint >= 300 ? 1u : 0u;
            uint32_t state = s.dwCheckPoint >= 60 ? win::kServiceRunning : win::kServiceStartPending;
            EXPECT_TRUE(matches(s, Expected{state, accepted, 0u, {}, {}, {}}));
        }
        EXPECT_EQ(made.back().dwCheckPoint >= 300, c.reachesHung);
        // When the script ends, stops are accepted.
        EXPECT_TRUE(matches(made.back(), Expected{win::kServiceRunning, 1u, 0u, {}, made[made.size() - 2].dwCheckPoint, {}}));
        EXPECT_EQ(errWithoutTrace(), "");
    }
}

TEST_F(ScriptRunnerTest, FailedLaunchesAndReports) {
    auto host = directContext();
    installation.startError = win::kErrorFileNotFound;
    EXPECT_TRUE(startServer(*host, name));
    EXPECT_EQ(errWithoutTrace(), "Couldn't create startServer process: " + systemText(2) + "\n");
    EXPECT_TRUE(matches(reports().back(), Expected{{}, 1u, {}, {}, {}, {}}));

    installation.startError = 0;
    os.failNext(MemoryPlatform::Op::SetServiceStatus, win::kErrorInvalidHandle);
    EXPECT_TRUE(startServer(*host, name));
    EXPECT_NE(errWithoutTrace().find("Couldn't set service status: " + systemText(6) + "\n"), std::string::npos);

    installation.stopError = win::kErrorDirectory;
    host->update([](ServiceStatus& s) {
        s.dwCurrentState = win::kServiceStopPending;
        s.dwServiceSpecificExitCode = 9;
    });
    EXPECT_FALSE(stopServer(*host, name));
    auto events = eventsWithId(host::kEventStopScriptFailed);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, win::kEventlogInformationType);
    EXPECT_EQ(events[0].source, name);
    EXPECT_EQ(events[0].insertion, systemText(win::kErrorDirectory));
    EXPECT_TRUE(matches(reports().back(), Expected{win::kServiceRunning, {}, 0u, 0u, {}, {}}));
}

}  // namespace
}  // namespace vornel::testing
