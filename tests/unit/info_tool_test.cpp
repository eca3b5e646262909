// The info tool run in-process on the in-memory Windows: its command line, its answers, the
// status query and its exit statuses, and its trace.
#include "info/info_tool.h"

#include <algorithm>

#include "common/service_control.h"
#include "tool_test.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

const std::string kUsage =
    "\r\nUsage: VornelAgentServiceInfo.exe (with no arguments displays this help)"
    "\r\n          -getservicestatus <service name>"
    "\r\n          -getservicelogroot <service name>"
    "\r\n          -getagentname <service name>"
    "\r\n          -getagenthome <service name>"
    "\r\n          -getservicename -agentname <agent name> -agenthome <agent home>"
    "\r\n          -getservicedetails <service name>"
    "\r\n          -getagentpid <service name>"
    "\r\n          -getinstallcommand <service name>";

// The tool run in-process; each test installs the services it asks about.
class InfoToolTest : public ToolTest {
protected:
    InfoToolTest() : ToolTest(vornelAgentServiceInfoMain, "VornelAgentServiceInfo.exe") {}
};

// node1, of the agent agent1 in C:\agents\one\.
InstalledService node1() { return InstalledService(kShortName).agentHome("C:\\agents\\one\\"); }

// A row of a command line and what it must give.
struct CommandLineRow {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
};

// --- The command line ---

class InfoQuestionOrderTest : public InfoToolTest, public ::testing::WithParamInterface<CommandLineRow> {};

TEST_P(InfoQuestionOrderTest, TheFirstPresentQuestionOfTheFixedOrderIsAnswered) {
    const CommandLineRow& row = GetParam();
    node1().state(win::kServiceRunning).install(os);
    EXPECT_EQ(run(row.args), row.status);
    EXPECT_EQ(out(), row.out);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InfoQuestionOrderTest,
    ::testing::Values(
        CommandLineRow{"StatusBeforeAgentName", {"-getagentname", "node1", "-getservicestatus", "node1"}, 2,
                       "The service is running.\n", ""},
        CommandLineRow{"AgentNameBeforeAgentHomeAndServiceName",
                       {"-getservicename", "-getagenthome", "node1", "-getagentname", "node1"}, 0,
                       "Agent Name - agent1", ""},
        CommandLineRow{"AgentHomeBeforeLogRoot", {"-getservicelogroot", "node1", "-getagenthome", "node1"}, 0,
                       "Agent Home - C:\\agents\\one\\", ""},
        CommandLineRow{"LogRootBeforeServiceName",
                       {"-getservicename", "-agentname", "agent1", "-agenthome", "C:\\agents\\one\\",
                        "-getservicelogroot", "node1"},
                       0, "Service Log Root - C:\\agents\\one\\logs\\middlewareagent", ""},
        CommandLineRow{"ServiceNameInAnyLetterCase",
                       {"-GetServiceName", "-AGENTNAME", "agent1", "-agentHome", "C:\\agents\\one\\"}, 0,
                       "Service Name - node1", ""}),
    rowName<CommandLineRow>);

class InfoUsageTest : public InfoToolTest, public ::testing::WithParamInterface<CommandLineRow> {};

TEST_P(InfoUsageTest, CommandLinesWithoutAnAnswerEndWithTheUsage) {
    const CommandLineRow& row = GetParam();
    node1().install(os);
    EXPECT_EQ(run(row.args), row.status);
    EXPECT_EQ(out(), row.out);
    EXPECT_EQ(err(), row.err);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InfoUsageTest,
    ::testing::Values(
        CommandLineRow{"NoArguments", {}, 0, kUsage, ""},
        CommandLineRow{"OnlyServiceName", {"-servicename", "node1"}, 0, kUsage, ""},
        CommandLineRow{"NoQuestion", {"stray", "/getagentname", "-agentname", "a"}, 0, kUsage, ""},
        CommandLineRow{"AQuestionWithAnUnrecognisedOption", {"-getagentname", "node1", "-foo"}, -1, kUsage,
                       "Unrecognized parameters encountered on the command line: '-foo '\n"},
        CommandLineRow{"HelpRescuesUnrecognisedArguments", {"-getagentname", "node1", "-foo", "-help"}, 0, kUsage,
                       ""},
        CommandLineRow{"AWordAfterGetServiceName",
                       {"-getservicename", "foo", "-agentname", "a", "-agenthome", "h"}, -1, kUsage,
                       "Unrecognized parameters encountered on the command line: 'foo '\n"},
        CommandLineRow{"WordsAroundTheStatusQuestion", {"x", "-getservicestatus", "node1", "y"}, -1, kUsage,
                       "Unrecognized parameters encountered on the command line: 'x y '\n"},
        CommandLineRow{"ServiceNameWithoutAgentName", {"-getservicename", "-agenthome", "h"}, -1,
                       "Required argument [-agentname] not specified!" + kUsage, ""},
        CommandLineRow{"ServiceNameWithoutAgentHome", {"-getservicename", "-agentname", "a"}, -1,
                       "Required argument [-agenthome] not specified!" + kUsage, ""},
        CommandLineRow{"ServiceNameAlone", {"-getservicename"}, -1,
                       "Required argument [-agentname] not specified!" + kUsage, ""},
        CommandLineRow{"NoValueInCapitals", {"-GETAGENTNAME"}, -1, kUsage,
                       "Parameter -getagentname needs to be followed by an argument.\n"},
        CommandLineRow{"NoValueBeforeAnOption", {"-getservicestatus", "-debug"}, -1, kUsage,
                       "Parameter -getservicestatus needs to be followed by an argument.\n"},
        CommandLineRow{"NoValueWithHelp", {"-help", "-agenthome"}, -1, kUsage,
                       "Parameter -agenthome needs to be followed by an argument.\n"}),
    rowName<CommandLineRow>);

// --- The answers: no line end, "<null>" for a value that cannot be read, the bare label for
// nothing found ---

class InfoAnswerTest : public InfoToolTest, public ::testing::WithParamInterface<CommandLineRow> {};

TEST_P(InfoAnswerTest, EachAnswerIsOneLabelledTextWithoutALineEnd) {
    const CommandLineRow& row = GetParam();
    node1().install(os);
    // Half installed: an empty agent home and no log root, and a service without a Parameters key.
    InstalledService("bare").agentName("agent2").agentHome("").logRoot(std::nullopt).install(os);
    InstalledService("keyonly").parametersKey(false).install(os);
    EXPECT_EQ(run(row.args), 0);
    EXPECT_EQ(out(), row.out);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InfoAnswerTest,
    ::testing::Values(
        CommandLineRow{"AgentName", {"-getagentname", "node1"}, 0, "Agent Name - agent1", ""},
        CommandLineRow{"AgentHome", {"-getagenthome", "node1"}, 0, "Agent Home - C:\\agents\\one\\", ""},
        CommandLineRow{"LogRoot", {"-getservicelogroot", "node1"}, 0,
                       "Service Log Root - C:\\agents\\one\\logs\\middlewareagent", ""},
        CommandLineRow{"ServiceNameIgnoringLetterCase",
                       {"-getservicename", "-agentname", "AGENT1", "-agenthome", "c:\\AGENTS\\one\\"}, 0,
                       "Service Name - node1", ""},
        // Not installed, or without a Parameters key: the value cannot be read.
        CommandLineRow{"AgentNameOfAServiceNotInstalled", {"-getagentname", "missing"}, 0, "Agent Name - <null>", ""},
        CommandLineRow{"AgentHomeWithoutParametersKey", {"-getagenthome", "keyonly"}, 0, "Agent Home - <null>", ""},
        CommandLineRow{"LogRootNotStored", {"-getservicelogroot", "bare"}, 0, "Service Log Root - <null>", ""},
        // An empty value, and a search that finds nothing.
        CommandLineRow{"AnEmptyAgentHome", {"-getagenthome", "bare"}, 0, "Agent Home - ", ""},
        CommandLineRow{"NoServiceForTheHomeWithoutSeparator",
                       {"-getservicename", "-agentname", "agent1", "-agenthome", "C:\\agents\\one"}, 0,
                       "Service Name - ", ""}),
    rowName<CommandLineRow>);

class InfoNoServicesKeyTest : public InfoToolTest, public ::testing::WithParamInterface<CommandLineRow> {};

TEST_P(InfoNoServicesKeyTest, EveryLookupAnswersTheBareLabel) {
    const CommandLineRow& row = GetParam();
    node1().install(os);
    os.failNext(Op::RegOpenKey, win::kErrorAccessDenied);
    EXPECT_EQ(run(row.args), 0);
    EXPECT_EQ(out(), row.out);
    EXPECT_EQ(os.callCount(Op::RegOpenKeyEx), 0u) << "no value is read after the check failed";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InfoNoServicesKeyTest,
    ::testing::Values(
        CommandLineRow{"AgentName", {"-getagentname", "node1"}, 0, "Agent Name - ", ""},
        CommandLineRow{"AgentHome", {"-getagenthome", "node1"}, 0, "Agent Home - ", ""},
        CommandLineRow{"LogRoot", {"-getservicelogroot", "node1"}, 0, "Service Log Root - ", ""},
        CommandLineRow{"ServiceName",
                       {"-getservicename", "-agentname", "agent1", "-agenthome", "C:\\agents\\one\\"}, 0,
                       "Service Name - ", ""}),
    rowName<CommandLineRow>);

// --- The status query ---

struct StateRow {
    const char* name;
    uint32_t state;
};

class InfoStateTest : public InfoToolTest, public ::testing::WithParamInterface<StateRow> {};

TEST_P(InfoStateTest, AnObtainedStateIsPrintedWithALineFeedAndEndsWithTwo) {
    const uint32_t state = GetParam().state;
    node1().state(state).install(os);
    EXPECT_EQ(run({"-getservicestatus", "node1"}), 2);
    EXPECT_EQ(out(), std::string(serviceStateText(state)) + "\n");
    EXPECT_EQ(err(), "");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, InfoStateTest,
                         ::testing::Values(StateRow{"Stopped", 1}, StateRow{"StartPending", 2},
                                           StateRow{"StopPending", 3}, StateRow{"Running", 4},
                                           StateRow{"ContinuePending", 5}, StateRow{"PausePending", 6},
                                           StateRow{"Paused", 7}, StateRow{"Zero", 0}, StateRow{"Eight", 8}),
                         rowName<StateRow>);

TEST(InfoTool, TheStatusIsTwoForEveryState) {
    EXPECT_EQ(statusRCForServiceStatus(win::kServiceRunning), 2);
    EXPECT_EQ(statusRCForServiceStatus(0xFFFFFFFF), 2);
}

struct OpenFailureRow {
    const char* name;
    std::string shortName;
    ErrorCode injected;  // 0: the service manager's own answer
    ErrorCode reported;
};

class InfoOpenFailureTest : public InfoToolTest, public ::testing::WithParamInterface<OpenFailureRow> {};

TEST_P(InfoOpenFailureTest, AServiceThatCannotBeOpenedIsNotRegistered) {
    const OpenFailureRow& row = GetParam();
    node1().state(win::kServiceRunning).install(os);
    if (row.injected != 0) os.failNext(Op::OpenService, row.injected);
    EXPECT_EQ(run({"-getservicestatus", row.shortName}), 3);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), openFailure(row.reported, getFullServiceName(row.shortName)));
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InfoOpenFailureTest,
    ::testing::Values(OpenFailureRow{"NotInstalled", "missing", 0, win::kErrorServiceDoesNotExist},
                      OpenFailureRow{"ANameWithABlank", "NODE1 ", 0, win::kErrorServiceDoesNotExist},
                      OpenFailureRow{"AccessDenied", "node1", win::kErrorAccessDenied, win::kErrorAccessDenied},
                      OpenFailureRow{"ACodeWithoutText", "node1", 123456, 123456}),
    rowName<OpenFailureRow>);

TEST_F(InfoToolTest, WithoutAServiceNameTheServiceIsNotRegistered) {
    EXPECT_EQ(serviceStatus(os, std::nullopt), 3);
    EXPECT_EQ(os.callCount(Op::OpenSCManager), 0u);
    EXPECT_EQ(out() + err(), "");
}

struct QueryFailureRow {
    const char* name;
    Op op;
    ErrorCode code;
    std::string out;
};

class InfoQueryFailureTest : public InfoToolTest, public ::testing::WithParamInterface<QueryFailureRow> {};

TEST_P(InfoQueryFailureTest, NoManagerOrAFailedQueryEndsWithMinusOne) {
    const QueryFailureRow& row = GetParam();
    node1().state(win::kServiceRunning).install(os);
    os.failNext(row.op, row.code);
    EXPECT_EQ(run({"-getservicestatus", "node1"}), -1);
    EXPECT_EQ(out(), row.out);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InfoQueryFailureTest,
    ::testing::Values(
        QueryFailureRow{"ManagerAccessDenied", Op::OpenSCManager, win::kErrorAccessDenied, ""},
        QueryFailureRow{"ManagerUnreachable", Op::OpenSCManager, win::kErrorFailedServiceControllerConnect, ""},
        QueryFailureRow{"QueryAccessDenied", Op::QueryServiceStatus, win::kErrorAccessDenied,
                        "Failed to get status: Access Denied"},
        QueryFailureRow{"QueryInvalidHandle", Op::QueryServiceStatus, win::kErrorInvalidHandle,
                        "Failed to get status: Invalid Handle"},
        QueryFailureRow{"QueryTimedOut", Op::QueryServiceStatus, win::kErrorServiceRequestTimeout,
                        "Failed to get status: Unknown reason"},
        QueryFailureRow{"QueryInvalidParameter", Op::QueryServiceStatus, win::kErrorInvalidParameter,
                        "Failed to get status: Unknown reason"}),
    rowName<QueryFailureRow>);

// --- The trace ---

TEST_F(InfoToolTest, TheTraceShowsTheArgumentsAndEveryStepOfTheStatusQuery) {
    node1().state(win::kServiceStopped).install(os);
    EXPECT_EQ(run({"-getservicestatus", "node1", "-debug"}), 2);
    EXPECT_EQ(out(), "The service is stopped.\n");
    EXPECT_EQ(errWithoutTrace(), "");
    const std::string full = kFullName;
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "VornelAgentServiceInfo.main - 4 parameters were passed",
                           "VornelAgentServiceInfo.main - parameter(0) = VornelAgentServiceInfo.exe",
                           "VornelAgentServiceInfo.main - parameter(1) = -getservicestatus",
                           "VornelAgentServiceInfo.main - parameter(2) = node1",
                           "VornelAgentServiceInfo.main - parameter(3) = -debug",
                           "Processed parameters, unknown params: <null>",
                           "VornelAgentServiceInfo.serviceStatus: entry - service name = node1",
                           "VornelAgentServiceInfo.serviceStatus: service manager successfully openned",
                           "VornelAgentServiceInfo.serviceStatus: service " + full + " successfully openned",
                           "VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned true",
                           "VornelAgentServiceInfo.serviceStatus: current state = 1",
                           "VornelAgentServiceInfo.statusRCForServiceStatus - entry  sstat = 1",
                           "VornelAgentServiceInfo.statusRCForServiceStatus - exit  rc = 2",
                           "VornelAgentServiceInfo.serviceStatus: exit - rc = 2",
                       }));
}

struct TraceFailureRow {
    const char* name;
    Op op;
    ErrorCode code;
    std::vector<std::string> lines;  // after the entry line
};

class InfoTraceFailureTest : public InfoToolTest, public ::testing::WithParamInterface<TraceFailureRow> {};

TEST_P(InfoTraceFailureTest, TheTraceNamesEachFailureOfTheStatusQuery) {
    const TraceFailureRow& row = GetParam();
    node1().state(win::kServiceRunning).install(os);
    os.failNext(row.op, row.code);
    run({"-debug", "-getservicestatus", "node1"});
    std::vector<std::string> lines = trace();
    auto entry =
        std::find(lines.begin(), lines.end(), "VornelAgentServiceInfo.serviceStatus: entry - service name = node1");
    ASSERT_NE(entry, lines.end());
    std::vector<std::string> after(entry + 1, lines.end());
    if (row.op == Op::QueryServiceStatus) after.erase(after.begin(), after.begin() + 2);  // the two openned lines
    EXPECT_EQ(after, row.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InfoTraceFailureTest,
    ::testing::Values(
        TraceFailureRow{"NoManager",
                        Op::OpenSCManager,
                        win::kErrorAccessDenied,
                        {"VornelAgentServiceInfo.serviceStatus: could not open service manager",
                         "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}},
        TraceFailureRow{"NoService",
                        Op::OpenService,
                        win::kErrorServiceDoesNotExist,
                        {"VornelAgentServiceInfo.serviceStatus: service manager successfully openned",
                         "VornelAgentServiceInfo.serviceStatus: could not open service",
                         "VornelAgentServiceInfo.serviceStatus: exit - rc = 3"}},
        TraceFailureRow{"QueryAccessDenied",
                        Op::QueryServiceStatus,
                        win::kErrorAccessDenied,
                        {"VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned false",
                         "VornelAgentServiceInfo.serviceStatus: last error = Access Denied",
                         "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}},
        TraceFailureRow{"QueryInvalidHandle",
                        Op::QueryServiceStatus,
                        win::kErrorInvalidHandle,
                        {"VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned false",
                         "VornelAgentServiceInfo.serviceStatus: last error = Invalid Handle ",
                         "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}},
        TraceFailureRow{"QueryOtherError",
                        Op::QueryServiceStatus,
                        win::kErrorInvalidParameter,
                        {"VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned false",
                         "VornelAgentServiceInfo.serviceStatus: unknown last error ",
                         "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}}),
    rowName<TraceFailureRow>);

TEST_F(InfoToolTest, TheTraceOfANullServiceName) {
    enableTrace();
    EXPECT_EQ(serviceStatus(os, std::nullopt), 3);
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "VornelAgentServiceInfo.serviceStatus: entry - service name = <null>",
                           "VornelAgentServiceInfo.serviceStatus: entry - service name = null - returning not "
                           "registered",
                           "VornelAgentServiceInfo.serviceStatus: exit - rc = 3",
                       }));
}

TEST_F(InfoToolTest, TheTraceOfUnknownArguments) {
    EXPECT_EQ(run({"-debug", "odd one", "-help"}), 0);
    EXPECT_EQ(out(), kUsage);
    EXPECT_EQ(trace(), (std::vector<std::string>{
                           "VornelAgentServiceInfo.main - 4 parameters were passed",
                           "VornelAgentServiceInfo.main - parameter(0) = VornelAgentServiceInfo.exe",
                           "VornelAgentServiceInfo.main - parameter(1) = -debug",
                           "VornelAgentServiceInfo.main - parameter(2) = odd one",
                           "VornelAgentServiceInfo.main - parameter(3) = -help",
                           "Processed parameters, unknown params: odd one ",
                       }));
}

}  // namespace
}  // namespace vornel::testing
