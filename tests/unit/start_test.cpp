#include "start/start_tool.h"
#include "tool_test.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

const std::string kUsage =
    "\r\nUsage: StartVornelAgentService.exe (with no arguments displays this help)"
    "\r\n           -servicename <service name>"
    "\r\n           -servicetrace <on | off>"
    "\r\n           -help (Displays this help)"
    "\r\n           -wait [<seconds>]";
const std::string kDefaultStdOut = kLogRoot + "\\VornelAgentService.stdout";
const std::string kDefaultStdErr = kLogRoot + "\\VornelAgentService.stderr";
const std::string kSetTrace = "StartVornelAgentService - setServiceTrace - ";

// node1 as an installer that stored no trace settings leaves it: the start fills them in.
InstalledService withoutTraceSettings() {
    return InstalledService().traceFiles(std::nullopt, std::nullopt).debugTrace(std::nullopt);
}

class StartToolTest : public ToolTest {
protected:
    StartToolTest() : ToolTest(startVornelAgentServiceMain, "StartVornelAgentService.exe") {}

    unsigned startRequests() {
        std::optional<MemoryPlatform::ServiceRecord> record = os.service(kFullName);
        return record ? record->startRequests : 0;
    }
};

// --- Command line ---

struct CommandLineRow {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
};

class StartCommandLineTest : public StartToolTest, public ::testing::WithParamInterface<CommandLineRow> {};

TEST_P(StartCommandLineTest, RefusedOrHelpCommandLinesTouchNothing) {
    const CommandLineRow& row = GetParam();
    withoutTraceSettings().install(os);
    Outcome outcome = runCapturing(row.args);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.out, kUsage);
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(os.callCount(), 0u) << "no registry or service manager call";
    EXPECT_EQ(param(kDebugTrace), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartCommandLineTest,
    ::testing::Values(
        // Help comes before every other check.
        CommandLineRow{"Help", {"-help"}, 0, ""},
        CommandLineRow{"HelpInCapitalsWithEverythingElse",
                       {"-HELP", "-servicename", kShortName, "-servicetrace", "on", "extra", "-debug"},
                       0,
                       ""},
        // A parse failure is not rescued by -help; the message names the option as the table does.
        CommandLineRow{"NoServiceNameValue", {"-servicename"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        CommandLineRow{"NoServiceNameValueWithHelp", {"-help", "-servicename"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        CommandLineRow{"AnOptionInCapitalsBeforeAnother", {"-SERVICENAME", "-debug"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        CommandLineRow{"NoServiceTraceValueBeforeHelp", {"-servicename", kShortName, "-servicetrace", "-help"}, -1,
                       "Parameter -servicetrace needs to be followed by an argument.\n"},
        // Without -servicename: the message has no line end.
        CommandLineRow{"NoArguments", {}, -1, "Required argument [-servicename] not specified!"},
        CommandLineRow{"NoServiceNameOption", {"-debug", "-servicetrace", "on", kShortName}, -1,
                       "Required argument [-servicename] not specified!"}),
    rowName<CommandLineRow>);

TEST_F(StartToolTest, UnrecognisedArgumentsAreIgnored) {
    InstalledService().install(os);
    Outcome outcome = runCapturing({"/x", "-servicename", kShortName, "-unknown", "servicename"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "Successfully started service.\n");
    EXPECT_EQ(err(), "");
    EXPECT_EQ(startRequests(), 1u);
}

TEST_F(StartToolTest, TheTraceTellsEveryStepAndMasksThePassword) {
    withoutTraceSettings().install(os);
    Outcome outcome = runCapturing({"-servicename", kShortName, "x", "-userid", "admin", "-password", "secret",
                                    "-servicetrace", "on", "-debug"});
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(traceStartingWith("StartVornelAgentService - "),
              (std::vector<std::string>{
                  "StartVornelAgentService - main - Processed parameters, unknown params: x ",
                  "StartVornelAgentService - main - servicetrace = on",
                  "StartVornelAgentService - main - serviceName = node1",
                  "StartVornelAgentService - startService - serviceName = node1",
                  "StartVornelAgentService - startService - extraParams = x  -userid admin -password ********",
                  "StartVornelAgentService - startService - service trace = on",
                  "StartVornelAgentService - setServiceTrace - full service name = " + kFullName,
                  "StartVornelAgentService - setServiceTrace - service trace = on",
                  "StartVornelAgentService - setServiceTrace - set stdout trace file = " + kDefaultStdOut,
                  "StartVornelAgentService - setServiceTrace - set stderr trace file = " + kDefaultStdErr,
                  "StartVornelAgentService - setServiceTrace - set service trace = on",
                  "StartVornelAgentService - startService - starting service node1",
                  "StartVornelAgentService - startService - service node1 started successfully",
                  "StartVornelAgentService - main - startService returned rc = 0",
              }));
    EXPECT_EQ(err().find("secret"), std::string::npos);
}

TEST_F(StartToolTest, WithoutUnrecognisedArgumentsOrCredentialsTheTraceShowsNull) {
    InstalledService().install(os);
    Outcome outcome = runCapturing({"-servicename", kShortName, "-debug"});
    ASSERT_EQ(outcome.status, 0);
    EXPECT_TRUE(traced("StartVornelAgentService - main - Processed parameters, unknown params: <null>"));
    EXPECT_TRUE(traced("StartVornelAgentService - startService - extraParams = <null>"));
    EXPECT_TRUE(traced("StartVornelAgentService - startService - service trace = <null>"));
}

// --- Trace settings ---

TEST_F(StartToolTest, MissingTraceFilesGetDefaultsUnderTheLogRoot) {
    withoutTraceSettings().install(os);
    ASSERT_EQ(run({"-servicename", kShortName}), 0);
    EXPECT_EQ(param(kStdOutTraceFile), kDefaultStdOut);
    EXPECT_EQ(param(kStdErrTraceFile), kDefaultStdErr);
    EXPECT_EQ(param(kDebugTrace), std::string("off"));
}

TEST_F(StartToolTest, ExistingTraceFilesAreKeptEvenWhenEmpty) {
    InstalledService().traceFiles("D:\\mine.out", "").install(os);
    ASSERT_EQ(run({"-servicename", kShortName, "-debug"}), 0);
    EXPECT_EQ(param(kStdOutTraceFile), std::string("D:\\mine.out"));
    EXPECT_EQ(param(kStdErrTraceFile), std::string(""));
    EXPECT_TRUE(traceStartingWith("StartVornelAgentService - setServiceTrace - set std").empty());
}

struct DebugTraceRow {
    const char* name;
    std::optional<std::string> stored;
    std::optional<std::string> option;
    std::string expected;
    std::optional<std::string> traceLine;  // the setServiceTrace line about DebugTrace
};

class StartDebugTraceTest : public StartToolTest, public ::testing::WithParamInterface<DebugTraceRow> {};

TEST_P(StartDebugTraceTest, FollowsTheOptionAndIsInitialisedOnlyWhenMissing) {
    const DebugTraceRow& row = GetParam();
    withoutTraceSettings().debugTrace(row.stored).install(os);
    std::vector<std::string> args{"-servicename", kShortName, "-debug"};
    if (row.option) args.insert(args.end(), {"-servicetrace", *row.option});

    Outcome outcome = runCapturing(args);
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(param(kDebugTrace), row.expected);
    std::vector<std::string> lines;
    for (const std::string& line : outcome.trace) {
        if (line.rfind(kSetTrace + "set service trace", 0) == 0 || line.rfind(kSetTrace + "init service trace", 0) == 0) {
            lines.push_back(line);
        }
    }
    std::vector<std::string> expectedLines;
    if (row.traceLine) expectedLines.push_back(kSetTrace + *row.traceLine);
    EXPECT_EQ(lines, expectedLines);
}

// Rows: what is stored, what the option gives.
INSTANTIATE_TEST_SUITE_P(
    Rows, StartDebugTraceTest,
    ::testing::Values(
        DebugTraceRow{"NothingStoredNoOption", std::nullopt, std::nullopt, "off", "init service trace = off"},
        DebugTraceRow{"OnStoredNoOption", "on", std::nullopt, "on", std::nullopt},
        DebugTraceRow{"EmptyStoredNoOption", "", std::nullopt, "", std::nullopt},
        DebugTraceRow{"GarbageStoredNoOption", "garbage", std::nullopt, "garbage", std::nullopt},
        DebugTraceRow{"NothingStoredOptionOn", std::nullopt, "on", "on", "set service trace = on"},
        DebugTraceRow{"OffStoredOptionOn", "off", "on", "on", "set service trace = on"},
        DebugTraceRow{"OnStoredOptionOff", "on", "off", "off", "set service trace = off"},
        DebugTraceRow{"OnStoredOptionOnCapitalised", "on", "On", "off", "set service trace = off"},
        DebugTraceRow{"OnStoredOptionOnInCapitals", "on", "ON", "off", "set service trace = off"},
        DebugTraceRow{"OnStoredOptionOnWithABlank", "on", " on", "off", "set service trace = off"},
        DebugTraceRow{"NothingStoredOptionYes", std::nullopt, "yes", "off", "set service trace = off"}),
    rowName<DebugTraceRow>);

TEST_F(StartToolTest, AServiceWithoutParametersKeyGetsNoneAndStillStarts) {
    InstalledService().parametersKey(false).install(os);
    Outcome outcome = runCapturing({"-servicename", kShortName, "-servicetrace", "on", "-debug"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_FALSE(os.keyExists(kParams));
    EXPECT_TRUE(traced("StartVornelAgentService - setServiceTrace - no Parameters key, nothing stored"));
    EXPECT_EQ(startRequests(), 1u);
}

TEST_F(StartToolTest, ANameThatIsNotInstalledGetsNoKeyAndIsReportedByTheOpenStep) {
    Outcome outcome = runCapturing({"-servicename", kShortName, "-servicetrace", "on"});
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.err, openFailure(win::kErrorServiceDoesNotExist));
    EXPECT_FALSE(os.keyExists(serviceKeyPath(kFullName)));
}

TEST_F(StartToolTest, WithoutLogRootNoDefaultPathIsStoredButTheOtherStepsRun) {
    withoutTraceSettings().logRoot(std::nullopt).install(os);
    ASSERT_EQ(run({"-servicename", kShortName, "-debug"}), 0);
    EXPECT_EQ(param(kStdOutTraceFile), std::nullopt);
    EXPECT_EQ(param(kStdErrTraceFile), std::nullopt);
    EXPECT_EQ(param(kDebugTrace), std::string("off"));
    EXPECT_TRUE(traced("StartVornelAgentService - setServiceTrace - no AgentLogRoot, stdout trace file not set"));
    EXPECT_TRUE(traced("StartVornelAgentService - setServiceTrace - no AgentLogRoot, stderr trace file not set"));
    EXPECT_EQ(startRequests(), 1u);
}

TEST_F(StartToolTest, SettingsAreStoredBeforeTheStartRequestAndStayWhenItFails) {
    withoutTraceSettings().state(win::kServiceRunning).install(os);
    EXPECT_EQ(run({"-servicename", kShortName, "-servicetrace", "on"}), -1);
    EXPECT_EQ(param(kDebugTrace), std::string("on"));
    EXPECT_EQ(param(kStdOutTraceFile), kDefaultStdOut);
    std::vector<Op> log = os.callLog();
    auto lastWrite = std::find(log.rbegin(), log.rend(), Op::RegSetValue);
    auto managerOpen = std::find(log.begin(), log.end(), Op::OpenSCManager);
    ASSERT_NE(lastWrite, log.rend());
    ASSERT_NE(managerOpen, log.end());
    EXPECT_LT(log.rend() - lastWrite - 1, managerOpen - log.begin());
}

class StartWriteFailureTest : public StartToolTest, public ::testing::WithParamInterface<Op> {};

TEST_P(StartWriteFailureTest, DoesNotStopTheStart) {
    withoutTraceSettings().install(os);
    os.failNext(GetParam(), win::kErrorAccessDenied, 3);  // the three writes
    Outcome outcome = runCapturing({"-servicename", kShortName});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "Successfully started service.\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(param(kDebugTrace), std::nullopt);
    EXPECT_EQ(param(kStdOutTraceFile), std::nullopt);
    EXPECT_EQ(startRequests(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, StartWriteFailureTest, ::testing::Values(Op::RegSetValue, Op::RegCreateKeyEx),
                         opCaseName);

// --- Failures of the service manager ---

struct FailureRow {
    const char* name;
    uint32_t state;       // of the installed service; 0: not installed
    Op failOp;            // Op::Count: no injected fault
    ErrorCode failCode;
    const char* label;    // of the system-error line; null: the open-failure report
    ErrorCode reported;   // the code the output names
    const char* traceLine;
};

class StartFailureTest : public StartToolTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(StartFailureTest, IsReportedOnTheErrorStreamWithStatusMinusOne) {
    const FailureRow& row = GetParam();
    if (row.state != 0) InstalledService().state(row.state).install(os);
    if (row.failOp != Op::Count) os.failNext(row.failOp, row.failCode);
    std::string expected = row.label ? systemErrorLine(row.label, row.reported) : openFailure(row.reported);

    Outcome outcome = runCapturing({"-servicename", kShortName, "-debug"});
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, expected);
    EXPECT_TRUE(traced(row.traceLine));
    EXPECT_TRUE(traced("StartVornelAgentService - main - startService returned rc = -1"));
    EXPECT_EQ(os.openHandleCount(), 0u);
    if (row.state != 0) {
        EXPECT_EQ(os.service(kFullName)->status.dwCurrentState, row.state);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartFailureTest,
    ::testing::Values(
        FailureRow{"ManagerCannotBeOpened", win::kServiceStopped, Op::OpenSCManager, win::kErrorAccessDenied,
                   "Could not contact service control manager", win::kErrorAccessDenied,
                   "StartVornelAgentService - startService - unable to contact service control manager"},
        FailureRow{"ServiceNotInstalled", 0, Op::Count, 0, nullptr, win::kErrorServiceDoesNotExist,
                   "StartVornelAgentService - startService - could not open service"},
        FailureRow{"ServiceCannotBeOpened", win::kServiceStopped, Op::OpenService, win::kErrorAccessDenied, nullptr,
                   win::kErrorAccessDenied, "StartVornelAgentService - startService - could not open service"},
        FailureRow{"StartRefusedWhileRunning", win::kServiceRunning, Op::Count, 0, "Failed to start service",
                   win::kErrorServiceAlreadyRunning,
                   "StartVornelAgentService - startService - failed to start service node1"},
        FailureRow{"StartRefusedDisabled", win::kServiceStopped, Op::StartService, win::kErrorServiceDisabled,
                   "Failed to start service", win::kErrorServiceDisabled,
                   "StartVornelAgentService - startService - failed to start service node1"},
        FailureRow{"StartFailsWithACodeWithoutText", win::kServiceStopped, Op::StartService, 123456,
                   "Failed to start service", 123456,
                   "StartVornelAgentService - startService - failed to start service node1"}),
    rowName<FailureRow>);

}  // namespace
}  // namespace vornel::testing
