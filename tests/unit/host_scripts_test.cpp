// The scripts' command lines as the host composes them from the Parameters key, the launch into
// the host's job, and the scripts it refuses to run.
#include "common/encoding.h"
#include "common/text.h"
#include "host_test_support.h"

namespace vornel::testing {
namespace {

using host::AgentScript;

class ScriptTest : public HostTest {
protected:
    std::string encoded(const std::string& plain) { return *encodeHex(xorWithKey(name, plain)); }
    std::optional<host::ScriptCommand> compose(AgentScript script) {
        auto host = directContext();
        std::string refusal;
        return host::composeScriptCommand(*host, script, name, refusal);
    }
    std::string line(AgentScript script) {
        std::optional<host::ScriptCommand> command = compose(script);
        EXPECT_TRUE(command.has_value());
        return command ? command->commandLine : "";
    }
};

struct CommandRow {
    const char* name;
    uint32_t major;
    std::optional<std::string> agentName, startArgs, stopArgs, encodedFlag, logFile;
    bool storeEncoded;  // the arguments are stored in their encoded form
    std::string start, stop;
};

class ScriptCommandTest : public ScriptTest, public ::testing::WithParamInterface<CommandRow> {};

TEST_P(ScriptCommandTest, ComposesBothScriptsCommandLines) {
    const CommandRow& c = GetParam();
    os.deleteTree(params);
    os.setString(params, kAgentHome, home);
    auto set = [&](const char* value, const std::optional<std::string>& text, bool encode) {
        if (text) os.setString(params, value, encode ? encoded(*text) : *text);
    };
    set(kAgentName, c.agentName, false);
    set(kStartupArguments, c.startArgs, c.storeEncoded);
    set(kStopArguments, c.stopArgs, c.storeEncoded);
    set(kEncoded, c.encodedFlag, false);
    set(kLogFile, c.logFile, false);
    os.setOsMajorVersion(c.major);
    for (AgentScript script : {AgentScript::Start, AgentScript::Stop}) {
        std::optional<host::ScriptCommand> command = compose(script);
        ASSERT_TRUE(command.has_value());
        EXPECT_EQ(command->commandLine, script == AgentScript::Start ? c.start : c.stop);
        EXPECT_EQ(command->workingDir, "C:\\agent\\bin");
    }
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

TEST_F(ScriptTest, ArgumentsThatDoNotDecodeAreLeftOut) {
    os.setString(params, kEncoded, "on");
    os.setString(params, kStartupArguments, "ABC");
    os.setString(params, kStopArguments, "4g");
    EXPECT_EQ(line(AgentScript::Start), "\"C:\\agent\\bin\\startAgent.bat\"  \"agent one\"");
    EXPECT_NE(out().find("Invalid hex string: odd length.\n"), std::string::npos);
    // An invalid digit decodes as 0 and is reported; the rest of the value is used.
    const std::string decoded = *xorWithKey(name, std::string(1, '\x40'));
    EXPECT_EQ(line(AgentScript::Stop), "\"C:\\agent\\bin\\stopAgent.bat\"  \"agent one\" " + decoded);
    EXPECT_NE(out().find("Invalid hex char: g\n"), std::string::npos);
}

TEST_F(ScriptTest, TheStartWritesItsConsoleLines) {
    line(AgentScript::Start);
    EXPECT_EQ(out(), "\r\n startServer - major version = 6\r\n startServer - service name = " + name);
    os.failNext(MemoryPlatform::Op::OsMajorVersion, win::kErrorAccessDenied);
    auto host = directContext();
    std::string refusal;
    host::composeScriptCommand(*host, AgentScript::Start, std::nullopt, refusal);
    EXPECT_NE(out().find("\r\n startServer - major version = 0\r\n startServer - service name = null"),
              std::string::npos);
}

struct RefusedRow {
    const char* name;
    std::optional<std::string> agentName;  // absent: AgentHome is missing instead
    uint32_t major;                        // 4 passes the name without quotes
};

class RefusedScriptTest : public ScriptTest, public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(RefusedScriptTest, NoScriptIsComposedAndTheConsoleSaysWhy) {
    const RefusedRow& c = GetParam();
    enableTrace();
    os.setOsMajorVersion(c.major);
    if (c.agentName) {
        os.setString(params, kAgentName, *c.agentName);
    } else {
        os.deleteTree(params);
        os.setString(params, kAgentPidFile, pidFile);
    }
    for (AgentScript script : {AgentScript::Start, AgentScript::Stop}) {
        const std::string routine = script == AgentScript::Start ? "startServer" : "stopServer";
        const std::string file = script == AgentScript::Start ? "startAgent.bat" : "stopAgent.bat";
        EXPECT_FALSE(compose(script).has_value());
        if (c.agentName) {
            EXPECT_NE(out().find("\r\n " + routine + " - the agent name (AgentName) holds a double quote; " + file +
                                 " is not run"),
                      std::string::npos);
            EXPECT_TRUE(traced("VornelAgentService - " + routine + " - agent name = " + *c.agentName +
                               " holds a double quote; " + file + " is not run"));
        } else {
            EXPECT_NE(out().find("\r\n " + routine + " - the agent home (AgentHome) is not configured; " + file +
                                 " is not run"),
                      std::string::npos);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RefusedScriptTest,
    ::testing::Values(RefusedRow{"TheInjection", "a1\" & echo inj > C:\\pwned_name.txt & rem \"", 6},
                      RefusedRow{"OneQuoteAtTheEnd", "agent\"", 6}, RefusedRow{"OnlyAQuote", "\"", 6},
                      RefusedRow{"UnquotedOnVersionFour", "a1\" & calc", 4},
                      RefusedRow{"NoAgentHome", std::nullopt, 6}),
    rowName<RefusedRow>);

// A start script that cannot be run stops the service at once, with 1066 / 2 and the reason.
struct NotRunRow {
    const char* name;
    std::string value;      // the Parameters value set...
    std::string data;       // ...to this
    ErrorCode launchError;  // or the launch fails so
    std::string reason;
};

class StartScriptNotRunTest : public HostTest, public ::testing::WithParamInterface<NotRunRow> {};

TEST_P(StartScriptNotRunTest, StopsTheServiceAtOnceWithTheReason) {
    const NotRunRow& c = GetParam();
    if (!c.value.empty()) os.setString(params, c.value, c.data);
    installation.startError = c.launchError;
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(matches(reports().back(), stopped(1066, 2)));
    EXPECT_EQ(os.statusReports().back().atMs, 0u) << "at once";
    const std::string reason = c.launchError != 0 ? withoutLineEnd(systemText(c.launchError)) : c.reason;
    auto events = eventsWithId(host::kEventStartScriptNotRun);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, win::kEventlogErrorType);
    EXPECT_EQ(events[0].insertions, (std::vector<std::string>{name, reason}));
    EXPECT_EQ(os.stringValue(runtimeKeyPath(name), kRuntimeOutcome), "the start script could not be run: " + reason);
    EXPECT_EQ(launchesOf("startAgent.bat"), c.launchError != 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartScriptNotRunTest,
    ::testing::Values(NotRunRow{"QuoteInAgentName", kAgentName, "x\" & calc & \"", 0, "AgentName holds a double quote"},
                      NotRunRow{"QuoteInAgentHome", kAgentHome, "C:\\a\" & b\\", 0, "AgentHome holds a double quote"},
                      NotRunRow{"QuoteInLogFile", kLogFile, "C:\\l.log\" & calc", 0, "LogFile holds a double quote"},
                      NotRunRow{"LineTooLong", kStartupArguments, std::string(8200, 'x'), 0,
                                "the script's command line has 8243 characters, more than 8191"},
                      NotRunRow{"MissingScript", "", "", win::kErrorFileNotFound, ""}),
    rowName<NotRunRow>);

TEST_F(HostTest, AStartScriptThatCannotBeLaunchedIsAnErrorLine) {
    installation.startError = win::kErrorFileNotFound;
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(errWithoutTrace(), "Couldn't create startServer process: " + systemText(2) + "\n");
}

TEST_F(HostTest, ALogFileInAFolderThatIsMissingGetsItsFolder) {
    os.setString(params, kLogFile, "C:\\logs\\new\\agent.log");
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    EXPECT_TRUE(os.directoryExists("C:\\logs\\new"));
    EXPECT_NE(os.launches().at(0).commandLine.find("> \"C:\\logs\\new\\agent.log\""), std::string::npos);
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

TEST_F(HostTest, AFailedCheckpointReportIsAnErrorLine) {
    // The report after the start cycle's event is one of the start script's wait, whatever the
    // threads' pace.
    bool armed = false;
    os.setEventHook([&](const MemoryPlatform::Event& e) {
        if (e.id != host::kEventStartCycle || armed) return;
        armed = true;
        os.failNext(MemoryPlatform::Op::SetServiceStatus, win::kErrorInvalidHandle);
    });
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    EXPECT_EQ(errWithoutTrace(), "Couldn't set service status: " + systemText(6) + "\n");
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

TEST_F(HostTest, LongCommandLinesGoToThePlatformWhole) {
    const std::string arguments(5000, 'x');
    os.setString(params, kStartupArguments, arguments);
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    EXPECT_EQ(os.launches().at(0).commandLine, "\"C:\\agent\\bin\\startAgent.bat\"  \"agent one\" " + arguments);
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

struct JobRow {
    const char* name;
    bool jobsWork;
};

class ScriptJobTest : public HostTest, public ::testing::WithParamInterface<JobRow> {};

TEST_P(ScriptJobTest, ScriptsAndWhatTheyStartBelongToTheHostsJob) {
    os.setJobsWork(GetParam().jobsWork);
    os.setString(params, kDebugTrace, "on");
    installation.agentStartsChild = true;
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    const uint64_t job = os.jobOf(os.launches().at(0).pid);
    EXPECT_EQ(job != 0, GetParam().jobsWork) << "the start script";
    EXPECT_EQ(os.jobOf(agents()[0]), job) << "the agent it started";
    EXPECT_EQ(os.jobOf(simulated.children()[0]), job) << "and what the agent started";
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(os.jobOf(os.launches().at(1).pid), job) << "the stop script";
    // A script that cannot join the job still runs, and the trace says so.
    EXPECT_EQ(traced("VornelAgentService - startServer - startAgent.bat is not in the agent's job (5): a forced "
                     "end can end only the agent's pid"),
              !GetParam().jobsWork);
}

INSTANTIATE_TEST_SUITE_P(Rows, ScriptJobTest, ::testing::Values(JobRow{"InTheJob", true}, JobRow{"NoJob", false}),
                         rowName<JobRow>);

}  // namespace
}  // namespace vornel::testing
