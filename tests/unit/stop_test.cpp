#include "stop/stop_tool.h"
#include "tool_test.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

const std::string kUsage =
    "\r\nUsage: StopVornelAgentService.exe (with no arguments displays this help)"
    "\r\n          -servicename <service name>"
    "\r\n          -help (Displays this help)"
    "\r\n          -wait [<seconds>]";
const std::string kRefusal =
    "Failed to stop service, or timed out while waiting for stop to complete. Check the logs for details.\n";

class StopToolTest : public ToolTest {
protected:
    StopToolTest() : ToolTest(stopVornelAgentServiceMain, "StopVornelAgentService.exe") {}

    std::vector<uint32_t> controls() {
        std::optional<MemoryPlatform::ServiceRecord> record = os.service(kFullName);
        return record ? record->controls : std::vector<uint32_t>{};
    }
};

// --- Command line ---

struct CommandLineRow {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
};

class StopCommandLineTest : public StopToolTest, public ::testing::WithParamInterface<CommandLineRow> {};

TEST_P(StopCommandLineTest, RefusedOrHelpCommandLinesTouchNothing) {
    const CommandLineRow& row = GetParam();
    InstalledService().state(win::kServiceRunning).install(os);
    Outcome outcome = runCapturing(row.args);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.out, kUsage);
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(os.callCount(), 0u) << "no service manager call";
    EXPECT_TRUE(controls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StopCommandLineTest,
    ::testing::Values(
        CommandLineRow{"Help", {"-help"}, 0, ""},
        CommandLineRow{"HelpWithEverythingElse", {"-help", "-servicename", kShortName, "extra", "-debug"}, 0, ""},
        CommandLineRow{"NoServiceNameValue", {"-servicename"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        CommandLineRow{"NoServiceNameValueBeforeAnOption", {"-servicename", "-debug"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        CommandLineRow{"NoServiceNameValueWithHelp", {"-help", "-ServiceName"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        CommandLineRow{"NoPasswordValue", {"-servicename", kShortName, "-password"}, -1,
                       "Parameter -password needs to be followed by an argument.\n"},
        CommandLineRow{"NoArguments", {}, -1, "Required argument [-servicename] not specified!"},
        CommandLineRow{"NoServiceNameOption", {kShortName, "-debug"}, -1,
                       "Required argument [-servicename] not specified!"}),
    rowName<CommandLineRow>);

TEST_F(StopToolTest, OptionNamesMatchInAnyCaseAndUnrecognisedArgumentsAreIgnored) {
    InstalledService().state(win::kServiceRunning).install(os);
    Outcome outcome = runCapturing({"-SERVICENAME", kShortName, "one", "two"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "Successfully stopped service.\n");
    EXPECT_EQ(err(), "");
    EXPECT_EQ(controls(), std::vector<uint32_t>{win::kServiceControlStop});
}

TEST_F(StopToolTest, TheTraceTellsEveryStepAndMasksThePassword) {
    InstalledService().state(win::kServiceRunning).install(os);
    Outcome outcome =
        runCapturing({"-debug", "-servicename", kShortName, "a", "b", "-password", "secret", "-userid", "admin"});
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.trace, (std::vector<std::string>{
                                 "StopVornelAgentService - main - serviceName = node1",
                                 "StopVornelAgentService - main - Processed parameters, unknown params: a b ",
                                 "StopVornelAgentService - stopService node1, 'a b  -userid admin -password ********'",
                                 "StopVornelAgentService - stopService -  about to issue stop service.",
                                 "StopVornelAgentService - stopService -  stop service issued.",
                                 "StopVornelAgentService - stopService - exit - return code = 0",
                                 "StopVornelAgentService - main - stopService returned 0",
                             }));
    EXPECT_EQ(err().find("secret"), std::string::npos);
}

TEST_F(StopToolTest, WithoutExtrasTheTraceShowsNull) {
    InstalledService().state(win::kServiceRunning).install(os);
    ASSERT_EQ(run({"-servicename", kShortName, "-debug"}), 0);
    EXPECT_TRUE(traced("StopVornelAgentService - main - Processed parameters, unknown params: <null>"));
    EXPECT_TRUE(traced("StopVornelAgentService - stopService node1, '<null>'"));
}

// --- Failures of the service manager ---

struct FailureRow {
    const char* name;
    uint32_t state;      // of the installed service; 0: not installed
    Op failOp;           // Op::Count: no injected fault
    ErrorCode failCode;
    const char* label;   // of the system-error line; null: the open-failure report
    ErrorCode reported;  // the code the output names
    bool refusal;        // the refusal line comes first
    const char* traceLine;
};

class StopFailureTest : public StopToolTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(StopFailureTest, IsReportedOnTheErrorStreamWithStatusMinusOne) {
    const FailureRow& row = GetParam();
    if (row.state != 0) InstalledService().state(row.state).install(os);
    if (row.failOp != Op::Count) os.failNext(row.failOp, row.failCode);
    std::string expected = row.label ? systemErrorLine(row.label, row.reported) : openFailure(row.reported);
    if (row.refusal) expected = kRefusal + expected;

    Outcome outcome = runCapturing({"-servicename", kShortName, "-debug"});
    EXPECT_EQ(outcome.status, -1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, expected);
    if (row.traceLine != nullptr) {
        EXPECT_TRUE(traced(row.traceLine));
    }
    EXPECT_TRUE(traced("StopVornelAgentService - stopService - exit - return code = -1"));
    EXPECT_TRUE(traced("StopVornelAgentService - main - stopService returned -1"));
    EXPECT_EQ(os.openHandleCount(), 0u);
    if (row.state != 0) {
        EXPECT_EQ(os.service(kFullName)->status.dwCurrentState, row.state);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StopFailureTest,
    ::testing::Values(
        FailureRow{"ManagerCannotBeOpened", win::kServiceRunning, Op::OpenSCManager, win::kErrorAccessDenied,
                   "Could not contact service control manager", win::kErrorAccessDenied, false,
                   "StopVornelAgentService - stopService - Could not contact service control manager"},
        FailureRow{"ServiceNotInstalled", 0, Op::Count, 0, nullptr, win::kErrorServiceDoesNotExist, false,
                   nullptr},
        FailureRow{"ServiceCannotBeOpened", win::kServiceRunning, Op::OpenService, win::kErrorAccessDenied, nullptr,
                   win::kErrorAccessDenied, false, nullptr},
        FailureRow{"StopRefusedWhenStopped", win::kServiceStopped, Op::Count, 0, "Could not stop service",
                   win::kErrorServiceNotActive, true,
                   "StopVornelAgentService - stopService -  stop service failed."},
        FailureRow{"StopRefusedWhileStopPending", win::kServiceStopPending, Op::Count, 0, "Could not stop service",
                   win::kErrorServiceCannotAcceptCtrl, true,
                   "StopVornelAgentService - stopService -  stop service failed."},
        FailureRow{"StopFailsWithACodeWithoutText", win::kServiceRunning, Op::ControlService, 123456,
                   "Could not stop service", 123456, true,
                   "StopVornelAgentService - stopService -  stop service failed."}),
    rowName<FailureRow>);

}  // namespace
}  // namespace vornel::testing
