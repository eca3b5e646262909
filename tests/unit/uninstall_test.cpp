#include "uninstall/uninstall_tool.h"
#include "letter_case.h"
#include "tool_test.h"

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

struct CommandLineRow {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
};

class UninstallCommandLineTest : public UninstallToolTest, public ::testing::WithParamInterface<CommandLineRow> {};

TEST_P(UninstallCommandLineTest, RefusedOrHelpCommandLinesTouchNothing) {
    const CommandLineRow& row = GetParam();
    InstalledService().install(os);
    Outcome outcome = runCapturing(row.args);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.out, kUsage);
    EXPECT_EQ(outcome.err, row.err);
    EXPECT_EQ(os.callCount(), 0u) << "no service manager or registry call";
    EXPECT_TRUE(serviceExists());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UninstallCommandLineTest,
    ::testing::Values(
        // Help comes before the check for unrecognised arguments.
        CommandLineRow{"Help", {"-help"}, 0, ""},
        CommandLineRow{"HelpWithAnUnrecognisedArgument", {"extra", "-help", "-servicename", kShortName}, 0, ""},
        CommandLineRow{"NoServiceNameValue", {"-servicename"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        CommandLineRow{"NoServiceNameValueWithHelp", {"-help", "-servicename", "-debug"}, -1,
                       "Parameter -servicename needs to be followed by an argument.\n"},
        // Each unrecognised argument is followed by a blank, so the closing quote follows one too.
        CommandLineRow{"AWord", {"-servicename", kShortName, "extra"}, -1,
                       "Unrecognized parameters encountered on the command line: 'extra '\n"},
        CommandLineRow{"ASlashOption", {"/servicename", kShortName}, -1,
                       "Unrecognized parameters encountered on the command line: '/servicename node1 '\n"},
        CommandLineRow{"AnotherToolsOption", {"-servicename", kShortName, "-userid", "admin"}, -1,
                       "Unrecognized parameters encountered on the command line: '-userid admin '\n"},
        CommandLineRow{"NoArguments", {}, -1, "Required argument [-servicename] not specified!"},
        CommandLineRow{"NoServiceNameOption", {"-debug"}, -1, "Required argument [-servicename] not specified!"}),
    rowName<CommandLineRow>);

TEST_F(UninstallToolTest, TheTraceLinesCarryNoModuleWord) {
    InstalledService().install(os);
    ASSERT_EQ(run({"-Debug", "-SERVICENAME", kShortName}), 0);
    EXPECT_EQ(trace(), (std::vector<std::string>{"Processed parameters, unknown params: <null>",
                                                 "removeService node1"}));
}

// --- Removal ---

TEST_F(UninstallToolTest, AStoppedServiceIsRemovedWithItsKeysAndEventLogSource) {
    InstalledService().install(os);
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

struct StateRow {
    const char* name;
    uint32_t state;
    const char* text;
};

class UninstallStateTest : public UninstallToolTest, public ::testing::WithParamInterface<StateRow> {};

TEST_P(UninstallStateTest, AServiceThatIsNotStoppedIsRefusedWithItsState) {
    const StateRow& row = GetParam();
    InstalledService().state(row.state).install(os);
    Outcome outcome = runCapturing({"-servicename", kShortName});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kFirstLine);
    EXPECT_EQ(outcome.err, "Can not remove service unless it is stopped. (" + std::string(row.text) + ")\n");
    EXPECT_TRUE(serviceExists());
    EXPECT_TRUE(os.keyExists(kParams));
    EXPECT_TRUE(os.keyExists(kEventLogKey));
    EXPECT_EQ(os.callCount(Op::DeleteService), 0u);
    EXPECT_EQ(os.callCount(Op::RegDeleteKey), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UninstallStateTest,
    ::testing::Values(StateRow{"Running", win::kServiceRunning, "The service is running."},
                      StateRow{"StopPending", win::kServiceStopPending, "The service stop is pending."},
                      StateRow{"StartPending", win::kServiceStartPending, "The service start is pending."},
                      StateRow{"Paused", win::kServicePaused, "The service is paused."},
                      StateRow{"AnUnknownState", 42, "Unable to determine Service status."}),
    rowName<StateRow>);

TEST_F(UninstallToolTest, TheEventLogSourceIsRemovedOnlyAfterASuccessfulDelete) {
    InstalledService().install(os);
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

struct SourceRow {
    const char* name;
    InstalledService service;
    std::function<void(MemoryPlatform&)> prepare;
};

class UninstallSourceTest : public UninstallToolTest, public ::testing::WithParamInterface<SourceRow> {};

TEST_P(UninstallSourceTest, AMissingOrUndeletableEventLogSourceDoesNotSpoilTheSuccess) {
    const SourceRow& row = GetParam();
    row.service.install(os);
    if (row.prepare) row.prepare(os);
    Outcome outcome = runCapturing({"-servicename", kShortName});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, kFirstLine + kRemoved);
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(serviceExists());
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UninstallSourceTest,
    ::testing::Values(
        SourceRow{"Missing", InstalledService().eventSource(false), nullptr},
        SourceRow{"ParentCannotBeOpened", InstalledService(),
                  [](MemoryPlatform& p) { p.failNext(Op::RegOpenKey, win::kErrorAccessDenied); }},
        SourceRow{"DeletionFails", InstalledService(),
                  [](MemoryPlatform& p) { p.failNext(Op::RegDeleteKey, win::kErrorAccessDenied); }}),
    rowName<SourceRow>);

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
    if (row.installed) InstalledService().install(os);
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

namespace vornel::testing {
namespace {

class UninstallLetterCaseTest : public UninstallToolTest, public ::testing::WithParamInterface<LetterCaseRow> {};

TEST_P(UninstallLetterCaseTest, TheServiceIsFoundInAnyLetterCase) {
    const LetterCaseRow& row = GetParam();
    InstalledService(row.stored).install(os);
    Outcome outcome = runCapturing({"-servicename", row.given});
    EXPECT_EQ(os.service(getFullServiceName(row.stored)).has_value(), !row.same);
    EXPECT_EQ(outcome.err, row.same ? "" : openFailure(win::kErrorServiceDoesNotExist, getFullServiceName(row.given)));
}

INSTANTIATE_TEST_SUITE_P(Rows, UninstallLetterCaseTest, kLetterCaseRows, rowName<LetterCaseRow>);

// Where the service manager matches names outside ASCII only as they are (Wine's does), the
// tools open the service by the name it was registered with.
TEST_F(UninstallToolTest, AManagerThatMissesANameInOtherCaseIsGivenTheRegisteredOne) {
    const LetterCaseRow cyrillic{"Cyrillic", "\xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB8\xD1\x81",
                                 "\xD0\xA1\xD0\x95\xD0\xA0\xD0\x92\xD0\x98\xD0\xA1", true};
    InstalledService(cyrillic.stored).install(os);
    os.failNext(Op::OpenService, win::kErrorServiceDoesNotExist);
    Outcome outcome = runCapturing({"-servicename", cyrillic.given, "-debug"});
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(os.service(getFullServiceName(cyrillic.stored)).has_value());
    EXPECT_FALSE(os.keyExists(eventLogSourceKeyPath(getFullServiceName(cyrillic.stored))));
    EXPECT_TRUE(traced("CommonVornelAgentService - openServiceByName - registered name = " +
                       getFullServiceName(cyrillic.stored)));
}

}  // namespace
}  // namespace vornel::testing
