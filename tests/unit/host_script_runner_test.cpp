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

struct CommandRow {
    const char* name;
    uint32_t major;
    std::optional<std::string> agentName, startArgs, stopArgs, encodedFlag, logFile;
    bool storeEncoded;  // the arguments are stored in their encoded form
    std::string start, stop;
};

void PrintTo(const CommandRow& row, std::ostream* os) { *os << row.name; }

class ScriptCommandTest : public ScriptRunnerTest, public ::testing::WithParamInterface<CommandRow> {};

TEST_P(ScriptCommandTest, ComposesBothScriptsCommandLines) {
    const CommandRow& c = GetParam();
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
    auto host = directContext();

    EXPECT_TRUE(startServer(*host, name));
    EXPECT_EQ(lastLaunch(), std::make_pair(c.start, std::string("C:\\agent\\bin")));
    EXPECT_EQ(stopServer(*host, name, std::nullopt), host::StopScriptOutcome::Ended);
    EXPECT_EQ(lastLaunch(), std::make_pair(c.stop, std::string("C:\\agent\\bin")));
}

const std::string kLog = "C:\\logs\\agent.log";
const std::string kStartBat = "\"C:\\agent\\bin\\startAgent.bat\" ";
const std::string kStopBat = "\"C:\\agent\\bin\\stopAgent.bat\" ";

INSTANTIATE_TEST_SUITE_P(
    Rows, ScriptCommandTest,
    ::testing::Values(
        CommandRow{"EveryPart", 6, "agent one", "-Dx -Dy", "-force", std::nullopt, kLog, false,
                   kStartBat + " \"agent one\" -Dx -Dy > \"C:\\logs\\agent.log\"",
                   kStopBat + " \"agent one\" -force >> \"C:\\logs\\agent.log\""},
        CommandRow{"LegacyNameUnquotedNoRedirection", 4, "agent one", "-Dx", "-force", std::nullopt, kLog, false,
                   kStartBat + " agent one -Dx", kStopBat + " agent one -force"},
        CommandRow{"NothingOptional", 6, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false,
                   kStartBat, kStopBat},
        CommandRow{"OnlyTheLog", 5, std::nullopt, std::nullopt, std::nullopt, std::nullopt, kLog, false,
                   kStartBat + " > \"C:\\logs\\agent.log\"", kStopBat + " >> \"C:\\logs\\agent.log\""},
        CommandRow{"EncodedOn", 6, "a", "-Dport=8080 \"x y\"", "-now", std::string("on"), std::nullopt, true,
                   kStartBat + " \"a\" -Dport=8080 \"x y\"", kStopBat + " \"a\" -now"},
        CommandRow{"EncodedInCapitalsCountsAsOn", 6, "a", "-s", "-t", std::string("ON"), std::nullopt, true,
                   kStartBat + " \"a\" -s", kStopBat + " \"a\" -t"},
        CommandRow{"EncodedOff", 6, "a", "414243", "-t", std::string("off"), std::nullopt, false,
                   kStartBat + " \"a\" 414243", kStopBat + " \"a\" -t"},
        CommandRow{"NoEncodedFlag", 6, "a", "414243", "-t", std::nullopt, std::nullopt, false,
                   kStartBat + " \"a\" 414243", kStopBat + " \"a\" -t"},
        CommandRow{"EmptyArguments", 6, "a", "", "", std::nullopt, std::nullopt, false, kStartBat + " \"a\" ",
                   kStopBat + " \"a\" "}),
    rowName<CommandRow>);

TEST_F(ScriptRunnerTest, ArgumentsThatDoNotDecodeAreLeftOut) {
    os.setString(params, kEncoded, "on");
    os.setString(params, kStartupArguments, "ABC");
    os.setString(params, kStopArguments, "4g");
    auto host = directContext();
    startServer(*host, name);
    EXPECT_EQ(lastLaunch().first, "\"C:\\agent\\bin\\startAgent.bat\"  \"agent one\"");
    EXPECT_NE(out().find("Invalid hex string: odd length.\n"), std::string::npos);
    // An invalid digit decodes as 0 and is reported; the rest of the value is used.
    EXPECT_EQ(stopServer(*host, name, std::nullopt), host::StopScriptOutcome::Ended);
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
    EXPECT_TRUE(matches(reports().back(), Expected{{}, host::kAcceptedControls, {}, {}, {}, {}}));

    const size_t reportsBefore = reports().size();
    EXPECT_EQ(stopServer(*host, name, std::nullopt), host::StopScriptOutcome::NotLaunched);
    EXPECT_TRUE(os.launches().empty());
    auto events = eventsWithId(host::kEventStopScriptFailed);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].insertion, systemText(3));
    // The stop goes on without its script; no state is reported back.
    EXPECT_EQ(reports().size(), reportsBefore);
}

struct LongStartRow {
    const char* name;
    uint64_t scriptMs;
    bool reachesHung;
};

class LongStartScriptTest : public ScriptRunnerTest, public ::testing::WithParamInterface<LongStartRow> {};

TEST_P(LongStartScriptTest, TurnsRunningAtCheckpointSixtyAndAcceptsStopsAtThreeHundred) {
    installation.startScriptMs = GetParam().scriptMs;
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
    EXPECT_GE(os.nowMs() - started, GetParam().scriptMs);
    auto made = reportsSince(before);
    ASSERT_GE(made.size(), 60u);
    for (size_t i = 0; i + 1 < made.size(); ++i) {
        const ServiceStatus& s = made[i];
        SCOPED_TRACE(s.dwCheckPoint);
        EXPECT_EQ(s.dwCheckPoint, 3 + i);  // one report per timed-out wait
        uint32_t accepted = s.dwCheckPoint >= 300 ? host::kAcceptedControls : 0u;
        uint32_t state = s.dwCheckPoint >= 60 ? win::kServiceRunning : win::kServiceStartPending;
        EXPECT_TRUE(matches(s, Expected{state, accepted, 0u, {}, {}, {}}));
    }
    EXPECT_EQ(made.back().dwCheckPoint >= 300, GetParam().reachesHung);
    // When the script ends, stops (and the preshutdown notification) are accepted.
    EXPECT_TRUE(matches(made.back(), Expected{win::kServiceRunning, host::kAcceptedControls, 0u, {},
                                              made[made.size() - 2].dwCheckPoint, {}}));
    EXPECT_EQ(errWithoutTrace(), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, LongStartScriptTest,
                         ::testing::Values(LongStartRow{"SixtyFiveSeconds", 65000, false},
                                           LongStartRow{"ThreeHundredFiveSeconds", 305000, true}),
                         rowName<LongStartRow>);

TEST_F(ScriptRunnerTest, FailedLaunchesAndReports) {
    auto host = directContext();
    installation.startError = win::kErrorFileNotFound;
    EXPECT_TRUE(startServer(*host, name));
    EXPECT_EQ(errWithoutTrace(), "Couldn't create startServer process: " + systemText(2) + "\n");
    EXPECT_TRUE(matches(reports().back(), Expected{{}, host::kAcceptedControls, {}, {}, {}, {}}));

    installation.startError = 0;
    os.failNext(MemoryPlatform::Op::SetServiceStatus, win::kErrorInvalidHandle);
    EXPECT_TRUE(startServer(*host, name));
    EXPECT_NE(errWithoutTrace().find("Couldn't set service status: " + systemText(6) + "\n"), std::string::npos);

    installation.stopError = win::kErrorDirectory;
    const size_t reportsBefore = reports().size();
    EXPECT_EQ(stopServer(*host, name, std::nullopt), host::StopScriptOutcome::NotLaunched);
    auto events = eventsWithId(host::kEventStopScriptFailed);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, win::kEventlogInformationType);
    EXPECT_EQ(events[0].source, name);
    EXPECT_EQ(events[0].insertion, systemText(win::kErrorDirectory));
    EXPECT_EQ(reports().size(), reportsBefore) << "no return to running";
}

TEST_F(ScriptRunnerTest, ScriptsAndWhatTheyStartBelongToTheHostsJob) {
    installation.agentStartsChild = true;
    auto host = directContext();
    JobHandle job;
    ASSERT_EQ(os.createJob(job), 0u);
    host->setJob(std::move(job));
    startServer(*host, name);
    ASSERT_EQ(agents().size(), 1u);
    const uint64_t jobId = os.jobOf(os.launches().back().pid);
    EXPECT_NE(jobId, 0u) << "the start script is in the job";
    EXPECT_EQ(os.jobOf(agents()[0]), jobId) << "the agent it started too";
    EXPECT_EQ(os.jobOf(agentChildren()[0]), jobId) << "and what the agent started";
    EXPECT_EQ(stopServer(*host, name, std::nullopt), host::StopScriptOutcome::Ended);
    EXPECT_EQ(os.jobOf(os.launches().back().pid), jobId) << "the stop script is in the job";
    EXPECT_TRUE(host->shared().everyScriptInJob);
}

TEST_F(ScriptRunnerTest, AScriptThatCannotJoinTheJobStillRunsAndTheTraceSaysSo) {
    os.setJobsWork(false);
    auto host = directContext();
    JobHandle job;
    ASSERT_EQ(os.createJob(job), 0u);
    host->setJob(std::move(job));
    enableTrace();
    startServer(*host, name);
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_EQ(os.jobOf(agents()[0]), 0u);
    EXPECT_FALSE(host->shared().everyScriptInJob);
    EXPECT_TRUE(traced("VornelAgentService - startServer - startAgent.bat is not in the agent's job (5): a forced "
                       "end can end only the agent's pid"));
}

TEST_F(ScriptRunnerTest, AStopScriptStillRunningAtTheDeadlineIsLeftToTheForcedEnd) {
    installation.stopScriptMs = std::nullopt;  // it never ends
    auto host = directContext();
    const uint64_t deadline = os.tickCount() + 5000;
    EXPECT_EQ(stopServer(*host, name, deadline), host::StopScriptOutcome::TimedOut);
    EXPECT_GE(os.tickCount(), deadline);
    EXPECT_LT(os.tickCount(), deadline + 1000);
    // It raised the checkpoint once a second meanwhile.
    EXPECT_GE(reports().size(), 4u);
}

}  // namespace
}  // namespace vornel::testing
