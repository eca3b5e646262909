#include "uninstall/uninstall_tool.h"
#include "tool_test_support.h"

#include <functional>

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

const std::string kUsage =
    "\r\nUsage: UninstallVornelAgentService.exe (with no arguments displays this help)"
    "\r\n           -servicename <Service Name>"
    "\r\n           -help (Displays this help)";
const std::string kFirstLine = "Remove Service: node1\r\n";
const std::string kRemoved = "\r\nSuccessfully removed service " + kFullName + ".\r\n";
const std::string kOtherSource = eventLogSourceKeyPath("OtherSource");

class UninstallToolTest : public ToolTest {
protected:
    UninstallToolTest() : ToolTest(uninstallVornelAgentServiceMain, "UninstallVornelAgentService.exe") {
        os.setString(kOtherSource, kEventMessageFile, "C:\\other.dll");
    }

    bool serviceExists() { return os.service(kFullName).has_value(); }
};

// --- Command line ---

TEST_F(UninstallToolTest, RefusedOrHelpCommandLinesTouchNothing) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        // Help comes before the check for unrecognised arguments.
        {{"-help"}, 0, ""},
        {{"extra", "-help", "-servicename", kShortName}, 0, ""},
        {{"-servicename"}, -1, "Parameter -servicename needs to be followed by an argument.\n"},
        {{"-help", "-servicename", "-debug"}, -1, "Parameter -servicename needs to be followed by an argument.\n"},
        // Each unrecognised argument is followed by a blank, so the closing quote follows one too.
        {{"-servicename", kShortName, "extra"}, -1,
         "Unrecognized parameters encountered on the command line: 'extra '\n"},
        {{"/servicename", kShortName}, -1,
         "Unrecognized parameters encountered on the command line: '/servicename node1 '\n"},
        {{"-servicename", kShortName, "-userid", "admin"}, -1,
         "Unrecognized parameters encountered on the command line: '-userid admin '\n"},
        {{}, -1, "Required argument [-servicename] not specified!"},
        {{"-debug"}, -1, "Required argument [-servicename] not specified!"},
    };
    install();
    os.resetCalls();
    for (const Case& c : cases) {
        Outcome outcome = runCapturing(c.args);
        EXPECT_EQ(outcome.status, c.status) << ::testing::PrintToString(c.args);
        EXPECT_EQ(outcome.out, kUsage) << ::testing::PrintToString(c.args);
        EXPECT_EQ(outcome.err, c.err) << ::testing::PrintToString(c.args);
    }
    EXPECT_EQ(os.callCount(), 0u) << "no service manager or registry call";
    EXPECT_TRUE(serviceExists());
}

TEST_F(UninstallToolTest, TheTraceLinesCarryNoModuleWord) {
    install();
    ASSERT_EQ(run({"-Debug", "-SERVICENAME", kShortName}), 0);
    EXPECT_EQ(trace(), (std::vector<std::string>{"Processed parameters, unknown params: <null>",
                                                 "removeService node1"}));
}

// --- Removal ---

TEST_F(UninstallToolTest, AStoppedServiceIsRemovedWithItsKeysAndEventLogSource) {
    install();
    Outcome outcome = runCapturing({"-servicename", kShortName});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kFirstLine + kRemoved);
    EXPECT_EQ(err(), "");
    EXPECT_FALSE(serviceExists());
    EXPECT_FALSE(os.keyExists(serviceKeyPath(kFullName)));
    EXPECT_FALSE(os.keyExists(kParams));
    EXPECT_FALSE(os.keyExists(kEventLogKey));
    EXPECT_TRUE(os.keyExists(kOtherSource));
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(UninstallToolTest, AServiceThatIsNotStoppedIsRefusedWithItsState) {
    struct Case {
        uint32_t state;
        const char* text;
    } cases[] = {
        {win::kServiceRunning, "The service is running."},
        {win::kServiceStopPending, "The service stop is pending."},
        {win::kServiceStartPending, "The service start is pending."},
        {win::kServicePaused, "The service is paused."},
        {42, "Unable to determine Service status."},
    };
    install();
    for (const Case& c : cases) {
        os.setServiceState(kFullName, c.state);
        Outcome outcome = runCapturing({"-servicename", kShortName});
        EXPECT_EQ(outcome.status, 0) << c.state;
        EXPECT_EQ(outcome.out, kFirstLine) << c.state;
        EXPECT_EQ(outcome.err, "Can not remove service unless it is stopped. (" + std::string(c.text) + ")\n");
        EXPECT_TRUE(serviceExists()) << c.state;
        EXPECT_TRUE(os.keyExists(kParams)) << c.state;
        EXPECT_TRUE(os.keyExists(kEventLogKey)) << c.state;
    }
    EXPECT_EQ(os.callCount(Op::DeleteService), 0u);
    EXPECT_EQ(os.callCount(Op::RegDeleteKey), 0u);
}

TEST_F(UninstallToolTest, TheEventLogSourceIsRemovedOnlyAfterASuccessfulDelete) {
    install();
    os.failNext(Op::DeleteService, win::kErrorAccessDenied);
    ASSERT_EQ(run({"-servicename", kShortName}), 0);
    EXPECT_TRUE(serviceExists());
    EXPECT_TRUE(os.keyExists(kEventLogKey));
    EXPECT_EQ(os.callCount(Op::RegDeleteKey), 0u);

    os.resetCalls();
    ASSERT_EQ(run({"-servicename", kShortName}), 0);
    std::vector<Op> log = os.callLog();
    auto deleted = std::find(log.begin(), log.end(), Op::DeleteService);
    auto sourceDeleted = std::find(log.begin(), log.end(), Op::RegDeleteKey);
    ASSERT_NE(sourceDeleted, log.end());
    EXPECT_LT(deleted, sourceDeleted);
    EXPECT_FALSE(os.keyExists(kEventLogKey));
}

TEST_F(UninstallToolTest, AMissingOrUndeletableEventLogSourceDoesNotSpoilTheSuccess) {
    struct Case {
        const char* name;
        std::function<void(MemoryPlatform&)> prepare;
    } cases[] = {
        {"missing", [](MemoryPlatform& p) { p.deleteTree(kEventLogKey); }},
        {"parent cannot be opened", [](MemoryPlatform& p) { p.failNext(Op::RegOpenKey, win::kErrorAccessDenied); }},
        {"deletion fails", [](MemoryPlatform& p) { p.failNext(Op::RegDeleteKey, win::kErrorAccessDenied); }},
    };
    for (const Case& c : cases) {
        install();
        c.prepare(os);
        Outcome outcome = runCapturing({"-servicename", kShortName});
        EXPECT_EQ(outcome.status, 0) << c.name;
        EXPECT_EQ(outcome.out, kFirstLine + kRemoved) << c.name;
        EXPECT_EQ(outcome.err, "") << c.name;
        EXPECT_FALSE(serviceExists()) << c.name;
        EXPECT_EQ(os.openHandleCount(), 0u) << c.name;
        os.deleteTree(kEventLogKey);
    }
}

TEST_F(UninstallToolTest, UnregisterEventLogTellsWhetherTheSourceKeyWasDeleted) {
    os.setString(kEventLogKey, kEventMessageFile, "x.dll");
    EXPECT_TRUE(unregisterEventLog(os, kFullName));
    EXPECT_FALSE(os.keyExists(kEventLogKey));
    EXPECT_TRUE(os.keyExists(kOtherSource));
    EXPECT_FALSE(unregisterEventLog(os, kFullName));

    os.setString(kEventLogKey, kEventMessageFile, "x.dll");
    os.failNext(Op::RegOpenKey, win::kErrorAccessDenied);
    EXPECT_FALSE(unregisterEventLog(os, kFullName));
    EXPECT_TRUE(os.keyExists(kEventLogKey));
    EXPECT_EQ(os.openHandleCount(), 0u);
}

// --- Failures ---

struct FailureRow {
    const char* name;
    bool installed;
    Op failOp;           // Op::Count: no injected fault
    ErrorCode failCode;
    const char* label;   // of the system-error line; null: the open-failure report
    ErrorCode reported;  // the code the output names
};

class UninstallFailureTest : public UninstallToolTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(UninstallFailureTest, IsReportedAfterTheFirstLineAndEndsWithZero) {
    const FailureRow& row = GetParam();
    if (row.installed) install();
    if (row.failOp != Op::Count) os.failNext(row.failOp, row.failCode);
    std::string expected = row.label ? systemErrorLine(row.label, row.reported) : openFailure(row.reported);

    Outcome outcome = runCapturing({"-servicename", kShortName});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kFirstLine);
    EXPECT_EQ(outcome.err, expected);
    EXPECT_EQ(os.openHandleCount(), 0u);
    if (row.installed) {
        EXPECT_TRUE(serviceExists());
        EXPECT_TRUE(os.keyExists(kEventLogKey));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UninstallFailureTest,
    ::testing::Values(
        FailureRow{"ManagerCannotBeOpened", true, Op::OpenSCManager, win::kErrorAccessDenied,
                   "Could not open service control manager", win::kErrorAccessDenied},
        FailureRow{"ServiceNotInstalled", false, Op::Count, 0, nullptr, win::kErrorServiceDoesNotExist},
        FailureRow{"ServiceCannotBeOpened", true, Op::OpenService, win::kErrorAccessDenied, nullptr,
                   win::kErrorAccessDenied},
        FailureRow{"StatusQueryFails", true, Op::QueryServiceStatus, win::kErrorInvalidHandle,
                   "Could not get service status", win::kErrorInvalidHandle},
        FailureRow{"DeleteFails", true, Op::DeleteService, win::kErrorServiceMarkedForDelete,
                   "Failed to remove service", win::kErrorServiceMarkedForDelete},
        FailureRow{"DeleteFailsWithACodeWithoutText", true, Op::DeleteService, 123456, "Failed to remove service",
                   123456}),
    rowName<FailureRow>);

}  // namespace
}  // namespace vornel::testing
