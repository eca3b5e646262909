// The installer's work: creating the service or updating this installation's own, the
// settings it leaves behind, and the event-log source.
#include "common/encoding.h"
#include "common/naming.h"
#include "common/registry.h"
#include "install_support.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;
using Values = std::map<std::string, std::pair<uint32_t, std::string>>;

constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_DWORD = 4;

const std::string kNode1Image =
    "\"C:\\agent\\bin\\VornelAgentService.exe\" \"OrvikTamberVornel6100AgentService - node1\"";

std::pair<uint32_t, std::string> sz(const std::string& text) { return {REG_SZ, text + std::string(1, '\0')}; }

// --- The create path ---

struct DisplayNameCase {
    const char* name;
    std::vector<std::string> more;
    std::string displayName;
};

class InstallDisplayNameTest : public InstallTest, public ::testing::WithParamInterface<DisplayNameCase> {};

TEST_P(InstallDisplayNameTest, ANewServiceIsAnnouncedByItsDisplayNameWithoutALineEnd) {
    const DisplayNameCase& c = GetParam();
    ASSERT_EQ(installNode1(c.more), 0);
    EXPECT_EQ(out(), c.displayName + " service successfully added.");
    // noprefix changes the display name only: the service keeps its full name.
    std::optional<MemoryPlatform::ServiceRecord> record = os.service(kFullName);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->config.name, kFullName);
    EXPECT_EQ(record->config.displayName, c.displayName);
    EXPECT_EQ(os.stringValue(kServiceKey, "DisplayName"), c.displayName);
    EXPECT_EQ(err(), "");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Install, InstallDisplayNameTest,
                         ::testing::Values(DisplayNameCase{"WithTheProductText", {},
                                                           "Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1"},
                                           DisplayNameCase{"WithoutThePrefix", {"-noprefix"}, "node1"}),
                         rowName<DisplayNameCase>);

TEST_F(InstallTest, ANewServiceGetsItsEntryEverySettingAndItsEventSource) {
    ASSERT_EQ(installNode1({"-startargs", "-Dx -Dy", "-stopargs", "q", "-userid", "bob", "-password", "pw",
                            "-restart", "false", "-servicetrace", "on", "-starttype", "automatic"}),
              0);

    std::optional<MemoryPlatform::ServiceRecord> record = os.service(kFullName);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->config.name, kFullName);
    EXPECT_EQ(record->config.desiredAccess, win::kServiceAllAccess);
    EXPECT_EQ(record->config.serviceType, win::kServiceWin32OwnProcess);
    EXPECT_EQ(record->config.startType, win::kServiceAutoStart);
    EXPECT_EQ(record->config.errorControl, win::kServiceErrorNormal);
    EXPECT_EQ(record->config.binaryPathName, kNode1Image);
    EXPECT_EQ(record->config.account, std::string(".\\bob"));
    EXPECT_EQ(record->config.password, std::string("pw"));

    EXPECT_EQ(os.stringValue(kServiceKey, "Description"),
              std::string("Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  agent1"));
    EXPECT_EQ(os.value(kServiceKey, "Description")->type, REG_SZ);

    const std::string logs = "C:\\agent\\logs\\middlewareagent";
    Values expected = {
        {"Encoded", sz("off")},
        {"AgentHome", sz("C:\\agent\\")},
        {"AgentName", sz("agent1")},
        {"StartupArguments", sz("-Dx -Dy")},
        {"StopArguments", sz("q")},
        {"AgentPidFile", sz(logs + "\\VornelAgent.pidfile")},
        {"AgentLogRoot", sz(logs)},
        {"DebugTrace", sz("on")},
        {"StdOutTraceFile", sz(logs + "\\VornelAgentService.stdout")},
        {"StdErrTraceFile", sz(logs + "\\VornelAgentService.stderr")},
        {"Restart", sz("false")},
    };
    EXPECT_EQ(valuesOf(os, kParams), expected);

    Values source = {{"EventMessageFile", sz("C:\\agent\\bin\\VornelAgentServiceMsg.dll")},
                     {"TypesSupported", {REG_DWORD, std::string("\x07\0\0\0", 4)}}};
    EXPECT_EQ(valuesOf(os, kEventLogKey), source);
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(InstallTest, TracesItsWorkStepByStepAndWritesEncodedBeforeTheArguments) {
    ASSERT_EQ(installNode1({"-debug", "-startargs", "a", "-stopargs", "b"}), 0);
    const std::string logs = "C:\\agent\\logs\\middlewareagent";
    const std::vector<std::string> expected = {
        "InstallVornelAgentService - addService - serviceName = node1",
        "InstallVornelAgentService - addService - agentName = agent1",
        "InstallVornelAgentService - addService - agentHome = C:\\agent\\",
        "InstallVornelAgentService - addService - registered name = <null>",
        "InstallVornelAgentService - addService - fullSvcName = " + kFullName,
        "InstallVornelAgentService - addService - imagePath = " + kNode1Image,
        "InstallVornelAgentService - addService - rootKey = " + kServiceKey,
        "InstallVornelAgentService - addService - C:\\agent\\bin\\VornelAgentService.exe: 0",
        "InstallVornelAgentService - addService - C:\\agent\\bin\\startAgent.bat: 0",
        "InstallVornelAgentService - addService - key = " + kParams,
        "InstallVornelAgentService - addService - pid file = " + logs + "\\VornelAgent.pidfile",
        "InstallVornelAgentService - addService - log root = " + logs,
        "InstallVornelAgentService - addService - service trace = off",
        "InstallVornelAgentService - addService - stdout trace file = " + logs + "\\VornelAgentService.stdout",
        "InstallVornelAgentService - addService - stderr trace file = " + logs + "\\VornelAgentService.stderr",
        "InstallVornelAgentService - addService - log root directory = " + logs + " (0)",
    };
    EXPECT_EQ(traceStartingWith("InstallVornelAgentService - addService"), expected);
    const std::vector<std::string> eventLog = {
        "InstallVornelAgentService - registerEventLog - serviceName = " + kFullName,
        "InstallVornelAgentService - registerEventLog - msgFile = C:\\agent\\bin\\VornelAgentServiceMsg.dll",
        "InstallVornelAgentService - registerEventLog - regKey = " + kEventLogKey,
        "InstallVornelAgentService - registerEventLog - exit - returning true",
    };
    EXPECT_EQ(traceStartingWith("InstallVornelAgentService - registerEventLog"), eventLog);
    EXPECT_EQ(errWithoutTrace(), "");

    const std::string attr = "CommonVornelAgentService - setRegistryValue - attr = ";
    std::vector<std::string> names;
    for (const std::string& line : traceStartingWith(attr)) names.push_back(line.substr(attr.size()));
    const std::vector<std::string> order = {"Description",     "Encoded",         "AgentHome",    "AgentName",
                                            "StartupArguments", "StopArguments",  "AgentPidFile", "AgentLogRoot",
                                            "DebugTrace",      "StdOutTraceFile", "StdErrTraceFile", "Restart"};
    EXPECT_EQ(names, order);
}

TEST_F(InstallTest, StartArgumentsAreStoredAsTheXorWithTheFullNameInUpperCaseHex) {
    ASSERT_EQ(installNode1({"-encodeparams", "-startargs", "-Dx -Dy", "-stopargs", "q"}), 0);
    // '-' ^ 'O' = 0x62, 'D' ^ 'r' = 0x36, 'x' ^ 'v' = 0x0E, ' ' ^ 'i' = 0x49, ...
    EXPECT_EQ(param("StartupArguments"), std::string("62360E49461018"));
    EXPECT_EQ(param("StopArguments"), std::string("3E"));
    EXPECT_EQ(param("Encoded"), std::string("on"));
}

TEST_F(InstallTest, EmptyArgumentsAreNotWritten) {
    ASSERT_EQ(installNode1({"-startargs", "", "-stopargs", ""}), 0);
    EXPECT_EQ(param("StartupArguments"), std::nullopt);
    EXPECT_EQ(param("StopArguments"), std::nullopt);
}

TEST_F(InstallTest, LongValuesAreWrittenWhole) {
    const std::string home = "C:\\" + std::string(5000, 'h') + "\\";
    const std::string name = std::string(3000, 'n');
    const std::string args = std::string(1500, 'a');
    ASSERT_EQ(installNode1({"-encodeparams", "-startargs", args, "-stopargs", args}, home), 0);
    EXPECT_EQ(param("AgentHome"), home);
    EXPECT_EQ(os.service(kFullName)->config.binaryPathName,
              "\"" + home + "bin\\VornelAgentService.exe\" \"" + kFullName + "\"");
    EXPECT_EQ(param("AgentPidFile"), home + "logs\\middlewareagent\\VornelAgent.pidfile");
    EXPECT_EQ(os.stringValue(kEventLogKey, "EventMessageFile"), home + "bin\\VornelAgentServiceMsg.dll");
    EXPECT_EQ(param("StartupArguments")->size(), 3000u);
    EXPECT_EQ(decodeArguments(*param("StartupArguments"), kFullName), args);

    // A long agent name, on the update path.
    std::vector<std::string> again = {"-servicename", "node1", "-agentname", name, "-agenthome", home};
    ASSERT_EQ(run(again), 0);
    EXPECT_EQ(param("AgentName"), name);
    EXPECT_EQ(os.stringValue(kServiceKey, "Description"),
              "Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  " + name);
}

// The longest full name the service manager takes; one more is refused up front
// (install_command_line_test.cpp).
TEST_F(InstallTest, AFullServiceNameOf256CharactersIsInstalled) {
    const std::string shortName(220, 's');
    ASSERT_EQ(getFullServiceName(shortName).size(), 256u);
    EXPECT_EQ(run({"-servicename", shortName, "-agentname", "a", "-agenthome", "C:\\agent"}), 0) << err();
    EXPECT_TRUE(os.service(getFullServiceName(shortName)).has_value());
    EXPECT_EQ(os.stringValue(parametersKeyPath(getFullServiceName(shortName)), "AgentName"), std::string("a"));
}

// --- The update path ---

class InstallUpdateTest : public InstallTest {
protected:
    // node1 installed once, disabled, for bob; the run's calls and output from here on.
    void SetUp() override {
        ASSERT_EQ(installNode1({"-starttype", "disabled", "-userid", "bob", "-password", "first", "-encodeparams",
                                "-startargs", "-Dx -Dy"}),
                  0);
        outBefore_ = out().size();
        errBefore_ = err().size();
        os.resetCalls();
    }
    std::string newOut() { return out().substr(outBefore_); }
    std::string newErr() { return err().substr(errBefore_); }
    ServiceConfig config() { return os.service(kFullName).value().config; }

private:
    size_t outBefore_ = 0;
    size_t errBefore_ = 0;
};

TEST_F(InstallUpdateTest, WithoutStartTypeUserOrPasswordTheConfigurationIsLeftAlone) {
    ASSERT_EQ(installNode1(), 0);
    EXPECT_EQ(newOut(), "Service already exists, updating parameters...\n");
    EXPECT_EQ(newErr(), "");
    EXPECT_EQ(os.callCount(Op::OpenService), 0u);
    EXPECT_EQ(os.callCount(Op::ChangeServiceConfig), 0u);
    EXPECT_EQ(config().startType, win::kServiceDisabled);
    EXPECT_EQ(config().account, std::string(".\\bob"));
    EXPECT_EQ(os.openHandleCount(), 0u);
}

struct ChangeCase {
    const char* name;
    std::vector<std::string> more;
    uint32_t startType;
    std::string account;
    std::string password;
};

class InstallChangeTest : public InstallUpdateTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(InstallChangeTest, OnlyWhatIsGivenIsChanged) {
    const ChangeCase& c = GetParam();
    ASSERT_EQ(installNode1(c.more), 0);
    EXPECT_EQ(os.callCount(Op::ChangeServiceConfig), 1u);
    ServiceConfig now = config();
    EXPECT_EQ(now.startType, c.startType);
    EXPECT_EQ(now.account, c.account);
    EXPECT_EQ(now.password, c.password);
    // What an update never changes.
    EXPECT_EQ(now.binaryPathName, kNode1Image);
    EXPECT_EQ(now.displayName, std::string("Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1"));
    EXPECT_EQ(newErr(), "");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

// node1 was installed disabled, for .\bob with the password first.
INSTANTIATE_TEST_SUITE_P(
    Install, InstallChangeTest,
    ::testing::Values(
        ChangeCase{"TheStartType", {"-starttype", "automatic"}, win::kServiceAutoStart, ".\\bob", "first"},
        ChangeCase{"TheUser", {"-userid", "alice"}, win::kServiceDisabled, ".\\alice", "first"},
        ChangeCase{"ThePassword", {"-password", "second"}, win::kServiceDisabled, ".\\bob", "second"},
        ChangeCase{"AllThree",
                   {"-userid", "DOMAIN\\carol", "-password", "third", "-starttype", "Manual"},
                   win::kServiceDemandStart,
                   "DOMAIN\\carol",
                   "third"}),
    rowName<ChangeCase>);

TEST_F(InstallUpdateTest, EverySettingIsWrittenAgain) {
    ASSERT_EQ(installNode1({"-restart", "false", "-servicetrace", "on", "-stopargs", "q", "-noprefix"}), 0);
    EXPECT_EQ(param("Restart"), std::string("false"));
    EXPECT_EQ(param("DebugTrace"), std::string("on"));
    EXPECT_EQ(param("StopArguments"), std::string("q"));
    // The display name of an existing service stays.
    EXPECT_EQ(config().displayName, std::string("Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1"));

    std::vector<std::string> renamed = {"-servicename", "node1", "-agentname", "agent2", "-agenthome", "C:\\agent"};
    ASSERT_EQ(run(renamed), 0);
    EXPECT_EQ(param("AgentName"), std::string("agent2"));
    EXPECT_EQ(os.stringValue(kServiceKey, "Description"),
              std::string("Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  agent2"));
    EXPECT_EQ(param("Restart"), std::string("true"));
    EXPECT_EQ(param("DebugTrace"), std::string("off"));
}

TEST_F(InstallUpdateTest, TheHomeIsComparedIgnoringLetterCaseOnly) {
    ASSERT_EQ(installNode1({}, "c:\\AGENT"), 0);
    EXPECT_EQ(newOut(), "Service already exists, updating parameters...\n");
    EXPECT_EQ(param("AgentHome"), std::string("c:\\AGENT\\"));
}

TEST_F(InstallUpdateTest, ADuplicateNameErrorCountsWhenTheServiceIsOurs) {
    os.failNext(Op::CreateService, win::kErrorDuplicateServiceName);
    ASSERT_EQ(installNode1({"-restart", "false"}), 0);
    EXPECT_EQ(newOut(), "Service already exists, updating parameters...\n");
    EXPECT_EQ(param("Restart"), std::string("false"));
}

struct ConfigFailureCase {
    const char* name;
    Op op;
    ErrorCode code;
    const char* label;
};

class InstallConfigFailureTest : public InstallUpdateTest, public ::testing::WithParamInterface<ConfigFailureCase> {};

TEST_P(InstallConfigFailureTest, IsReportedAndTheInstallationGoesOn) {
    const ConfigFailureCase& c = GetParam();
    os.failNext(c.op, c.code);
    ASSERT_EQ(installNode1({"-starttype", "automatic", "-agentname", std::string("for ") + c.label}), 0);
    EXPECT_EQ(newErr(), std::string(c.label) + ": " + systemText(c.code) + "\n");
    EXPECT_EQ(config().startType, win::kServiceDisabled);
    EXPECT_EQ(param("AgentName"), std::string("for ") + c.label);
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallConfigFailureTest,
    ::testing::Values(
        ConfigFailureCase{"TheServiceCannotBeOpened", Op::OpenService, win::kErrorAccessDenied,
                          "Failed to open service"},
        ConfigFailureCase{"TheChangeIsRefused", Op::ChangeServiceConfig, win::kErrorInvalidParameter,
                          "Failed to update service"}),
    rowName<ConfigFailureCase>);

// Every write of a run refused: each has its error line, no success is claimed, the exit
// status is -1; a run again with the same options writes what the first could not.
class InstallWriteFailureTest : public InstallUpdateTest, public ::testing::WithParamInterface<Op> {};

TEST_P(InstallWriteFailureTest, EachWriteHasItsLineAndARunAgainRepairs) {
    os.failNext(GetParam(), win::kErrorAccessDenied, 1000);
    EXPECT_EQ(installNode1({"-agentname", "unwritten"}), -1);
    EXPECT_EQ(param("AgentName"), std::string("agent1"));
    std::string lines;
    for (const char* value : {"Description", "AgentHome", "AgentName", "AgentPidFile", "AgentLogRoot", "DebugTrace",
                              "StdOutTraceFile", "StdErrTraceFile", "Restart"}) {
        lines += systemErrorLine(std::string("Could not write ") + value, win::kErrorAccessDenied);
    }
    EXPECT_EQ(newErr(), lines);
    EXPECT_EQ(newOut(), "Service already exists, updating parameters...\n");

    os.failNext(GetParam(), 0, 0);
    EXPECT_EQ(installNode1({"-agentname", "unwritten"}), 0);
    EXPECT_EQ(param("AgentName"), std::string("unwritten"));
}

INSTANTIATE_TEST_SUITE_P(Install, InstallWriteFailureTest, ::testing::Values(Op::RegCreateKeyEx, Op::RegSetValue),
                         opCaseName);

// The reproduction: a new service whose Parameters key cannot be written is no success.
TEST_F(InstallTest, ANewServiceWhoseSettingsCannotBeWrittenIsNotAnnouncedAsAdded) {
    os.failNext(Op::RegCreateKeyEx, win::kErrorAccessDenied, 1000);
    EXPECT_EQ(installNode1(), -1);
    EXPECT_EQ(out(), "");
    EXPECT_NE(errWithoutTrace().find(systemErrorLine("Could not write AgentHome", win::kErrorAccessDenied)),
              std::string::npos);
    EXPECT_FALSE(os.keyExists(kParams));
    ASSERT_TRUE(os.service(kFullName).has_value()) << "the service itself was made";

    os.failNext(Op::RegCreateKeyEx, 0, 0);
    EXPECT_EQ(installNode1(), 0);
    EXPECT_EQ(param("AgentHome"), std::string("C:\\agent\\"));
    EXPECT_EQ(out(), "Service already exists, updating parameters...\n");
}

// --- The same name with another agent home ---

struct OtherHomeCase {
    const char* name;
    std::string home;
};

class InstallOtherHomeTest : public InstallUpdateTest, public ::testing::WithParamInterface<OtherHomeCase> {};

TEST_P(InstallOtherHomeTest, FailsAndLeavesEverythingAsItWas) {
    const Values params = valuesOf(os, kParams);
    const Values service = valuesOf(os, kServiceKey);
    const Values source = valuesOf(os, kEventLogKey);
    EXPECT_EQ(installNode1({"-starttype", "automatic", "-userid", "eve", "-startargs", "x"}, GetParam().home), -1);
    EXPECT_EQ(newErr(), "Failed to add service: " + systemText(win::kErrorServiceExists) + "\n");
    EXPECT_EQ(os.callCount(Op::RegCreateKeyEx) + os.callCount(Op::RegCreateKey) + os.callCount(Op::RegSetValue) +
                  os.callCount(Op::ChangeServiceConfig),
              0u);
    EXPECT_EQ(newOut(), "");
    EXPECT_EQ(valuesOf(os, kParams), params);
    EXPECT_EQ(valuesOf(os, kServiceKey), service);
    EXPECT_EQ(valuesOf(os, kEventLogKey), source);
    EXPECT_EQ(config().startType, win::kServiceDisabled);
    EXPECT_EQ(os.openHandleCount(), 0u);
}

// node1 was installed in C:\agent.
INSTANTIATE_TEST_SUITE_P(Install, InstallOtherHomeTest,
                         ::testing::Values(OtherHomeCase{"AnotherDirectory", "C:\\other"},
                                           OtherHomeCase{"TheSameWithADotDirectory", "C:\\agent\\."},
                                           OtherHomeCase{"ADirectoryBelow", "C:\\agent\\sub"},
                                           OtherHomeCase{"TheSameWithABlank", "C:\\agent "}),
                         rowName<OtherHomeCase>);

TEST_F(InstallUpdateTest, AnUnreadableCommandLineDoesNotCountAsOurs) {
    os.failNext(Op::RegQueryValue, win::kErrorAccessDenied);
    EXPECT_EQ(installNode1({"-agentname", "unwritten"}), -1);
    EXPECT_EQ(newErr(), "Failed to add service: " + systemText(win::kErrorServiceExists) + "\n");
    EXPECT_EQ(param("AgentName"), std::string("agent1"));
}

struct CreateFailureCase {
    const char* name;
    std::function<void(MemoryPlatform&)> arrange;
    ErrorCode reported;
};

class InstallCreateFailureTest : public InstallTest, public ::testing::WithParamInterface<CreateFailureCase> {};

TEST_P(InstallCreateFailureTest, IsReportedWithTheSystemsReason) {
    const CreateFailureCase& c = GetParam();
    c.arrange(os);
    EXPECT_EQ(run({"-servicename", "node1", "-agentname", "a", "-agenthome", "C:\\agent"}), -1);
    EXPECT_EQ(err(), "Failed to add service: " + systemText(c.reported) + "\n");
    EXPECT_FALSE(os.keyExists(kParams));
    EXPECT_FALSE(os.keyExists(kEventLogKey));
    EXPECT_EQ(os.openHandleCount(), 0u);
    EXPECT_EQ(out(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallCreateFailureTest,
    ::testing::Values(
        CreateFailureCase{"TheManagerCannotBeOpened",
                          [](MemoryPlatform& p) { p.failNext(Op::OpenSCManager, win::kErrorAccessDenied); },
                          win::kErrorInvalidHandle},
        CreateFailureCase{"TheCreateCallIsRefused",
                          [](MemoryPlatform& p) { p.failNext(Op::CreateService, win::kErrorAccessDenied); },
                          win::kErrorAccessDenied},
        // Another service, Other, already has node1's display name.
        CreateFailureCase{"AnotherServiceHasTheDisplayName",
                          [](MemoryPlatform& p) { InstalledService(kShortName).fullName("Other").install(p); },
                          win::kErrorDuplicateServiceName}),
    rowName<CreateFailureCase>);

// --- The event-log source ---

const std::string kMsgFile = "C:\\agent\\bin\\VornelAgentServiceMsg.dll";

TEST_F(InstallTest, TheEventSourceIsCreatedOnceAndThenLeftAlone) {
    enableTrace();
    EXPECT_TRUE(registerEventLog(os, kFullName, kMsgFile));
    Values created = {{"EventMessageFile", sz(kMsgFile)},
                      {"TypesSupported", {REG_DWORD, std::string("\x07\0\0\0", 4)}}};
    EXPECT_EQ(valuesOf(os, kEventLogKey), created);

    os.resetCalls();
    EXPECT_TRUE(registerEventLog(os, kFullName, "D:\\elsewhere\\bin\\VornelAgentServiceMsg.dll"));
    EXPECT_EQ(valuesOf(os, kEventLogKey), created);
    EXPECT_EQ(os.callCount(Op::RegCreateKey) + os.callCount(Op::RegSetValue), 0u);
    EXPECT_EQ(trace().back(), "InstallVornelAgentService - registerEventLog - returning true - key already exists");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

// A source that an earlier installation left without its message file (a write that failed)
// is completed; one with a message file is left alone (above).
TEST_F(InstallTest, AHalfRegisteredSourceIsCompleted) {
    os.createKey(kEventLogKey);
    EXPECT_TRUE(registerEventLog(os, kFullName, kMsgFile));
    EXPECT_EQ(os.stringValue(kEventLogKey, "EventMessageFile"), kMsgFile);
    EXPECT_EQ(os.value(kEventLogKey, "TypesSupported")->data, std::string("\x07\0\0\0", 4));
}

struct RegistrationFailureCase {
    const char* name;
    uint64_t failingCall;  // open, create, set the file, set the types
    std::string trace;
    bool keyLeft;
    std::vector<std::string> valuesLeft;
};

class InstallRegistrationFailureTest : public InstallTest,
                                       public ::testing::WithParamInterface<RegistrationFailureCase> {};

TEST_P(InstallRegistrationFailureTest, StopsAtTheFailingStep) {
    const RegistrationFailureCase& c = GetParam();
    enableTrace();
    os.resetCalls();
    os.failCall(c.failingCall, win::kErrorAccessDenied);
    EXPECT_FALSE(registerEventLog(os, kFullName, kMsgFile));
    EXPECT_EQ(trace().back(), c.trace);
    EXPECT_EQ(os.keyExists(kEventLogKey), c.keyLeft);
    if (c.keyLeft) {
        EXPECT_EQ(os.valueNames(kEventLogKey), c.valuesLeft);
    }
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallRegistrationFailureTest,
    ::testing::Values(
        RegistrationFailureCase{"TheKeyCannotBeCreated", 2,
                                "InstallVornelAgentService - registerEventLog - returning false - create key failed",
                                false, {}},
        RegistrationFailureCase{"TheMessageFileCannotBeSet", 3,
                                "InstallVornelAgentService - registerEventLog - returning false - set value failed",
                                true, {}},
        RegistrationFailureCase{
            "TheTypesCannotBeSet", 4,
            "InstallVornelAgentService - registerEventLog - returning false - set value ex failed", true,
            {"EventMessageFile"}}),
    rowName<RegistrationFailureCase>);

TEST_F(InstallTest, ASourceLeftBehindKeepsItsMessageFileForANewInstallation) {
    ASSERT_EQ(installNode1(), 0);
    {
        ScHandle manager, service;
        ASSERT_EQ(os.openSCManager(win::kScManagerAllAccess, manager), 0u);
        ASSERT_EQ(os.openService(manager, kFullName, win::kDelete, service), 0u);
        ASSERT_EQ(os.deleteService(service), 0u);
    }
    ASSERT_FALSE(os.service(kFullName).has_value());
    ASSERT_EQ(installNode1({}, "D:\\other"), 0);
    EXPECT_EQ(param("AgentHome"), std::string("D:\\other\\"));
    EXPECT_EQ(os.stringValue(kEventLogKey, "EventMessageFile"), kMsgFile);
}

TEST_F(InstallTest, AFailedRegistrationFailsTheInstallationAndARunAgainCompletesIt) {
    os.failNext(Op::RegCreateKey, win::kErrorAccessDenied);
    EXPECT_EQ(installNode1(), -1);
    EXPECT_EQ(errWithoutTrace(), systemErrorLine("Could not write EventMessageFile", win::kErrorAccessDenied));
    EXPECT_EQ(out(), "") << "no success is claimed";
    EXPECT_FALSE(os.keyExists(kEventLogKey));
    EXPECT_EQ(param("AgentName"), std::string("agent1"));

    EXPECT_EQ(installNode1(), 0);
    EXPECT_EQ(os.stringValue(kEventLogKey, "EventMessageFile"), kMsgFile);
}

}  // namespace
}  // namespace vornel::testing

// --- The service manager's optional settings ---

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

// The start type and the optional settings of node1, as the service manager keeps them, in
// one line: "start 3", then "delayed 1", "depends a|+g", "restart 60000,... reset 86400",
// "flag 1" and "preshutdown 180000" for each that is set.
std::string settingsOf(const MemoryPlatform& os) {
    const MemoryPlatform::ServiceRecord r = *os.service(kFullName);
    std::string line = "start " + std::to_string(r.config.startType);
    if (r.delayedAutoStart) line += " delayed " + std::to_string(*r.delayedAutoStart);
    if (!r.dependencies.empty()) {
        line += " depends";
        for (size_t i = 0; i < r.dependencies.size(); ++i) line += (i == 0 ? " " : "|") + r.dependencies[i];
    }
    if (r.failureActions) {
        line += " restart";
        for (const FailureAction& a : r.failureActions->actions) {
            line += (a.type == win::kScActionRestart ? " " : " other ") + std::to_string(a.delayMs);
        }
        line += " reset " + std::to_string(r.failureActions->resetPeriodSeconds);
    }
    if (r.failureActionsOnNonCrashFailures) line += " flag " + std::to_string(*r.failureActionsOnNonCrashFailures);
    if (r.preshutdownTimeoutMs) line += " preshutdown " + std::to_string(*r.preshutdownTimeoutMs);
    return line;
}

struct SettingsRow {
    const char* name;
    std::vector<std::string> options;
    std::string expected;  // settingsOf afterwards
};

class InstallSettingsTest : public InstallTest, public ::testing::WithParamInterface<SettingsRow> {};

TEST_P(InstallSettingsTest, ANewServiceGetsWhatTheOptionsName) {
    ASSERT_EQ(installNode1(GetParam().options), 0) << err();
    EXPECT_EQ(settingsOf(os), GetParam().expected);
    EXPECT_EQ(errWithoutTrace(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallSettingsTest,
    ::testing::Values(
        SettingsRow{"NoNewOption", {}, "start 3"},
        SettingsRow{"DelayedStart", {"-starttype", "Delayed"}, "start 2 delayed 1"},
        SettingsRow{"AutomaticIsNotDelayed", {"-starttype", "automatic"}, "start 2"},
        SettingsRow{"ServicesAndAGroup", {"-dependson", "Tcpip/Dnscache/+NetworkProvider"},
                    "start 3 depends Tcpip|Dnscache|+NetworkProvider"},
        SettingsRow{"EmptyPartsAreNoNames", {"-dependson", "/Tcpip//"}, "start 3 depends Tcpip"},
        SettingsRow{"RecoveryOn", {"-recovery", "ON"}, "start 3 restart 60000 60000 300000 reset 86400 flag 1"},
        SettingsRow{"RecoveryOffHasNothingToRemove", {"-recovery", "off"}, "start 3"},
        SettingsRow{"ThePreshutdownTimeOut", {"-shutdowntimeout", "180"}, "start 3 preshutdown 180000"}),
    rowName<SettingsRow>);

// node1 with every optional setting on, and each update's options.
class InstallSettingsUpdateTest : public InstallSettingsTest {};

TEST_P(InstallSettingsUpdateTest, AnUpdateChangesOnlyWhatItsOptionsName) {
    ASSERT_EQ(installNode1({"-starttype", "delayed", "-dependson", "Tcpip", "-recovery", "on", "-shutdowntimeout",
                            "180"}),
              0);
    os.resetCalls();
    ASSERT_EQ(installNode1(GetParam().options), 0) << err();
    EXPECT_EQ(settingsOf(os), GetParam().expected);
    if (GetParam().options.empty()) {
        EXPECT_EQ(os.callCount(Op::OpenService), 0u) << "nothing named, nothing changed";
    }
}

const std::string kRecovery = " restart 60000 60000 300000 reset 86400 flag 1";

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallSettingsUpdateTest,
    ::testing::Values(
        SettingsRow{"NothingNamed", {}, "start 2 delayed 1 depends Tcpip" + kRecovery + " preshutdown 180000"},
        SettingsRow{"AutomaticEndsTheDelay", {"-starttype", "automatic"},
                    "start 2 delayed 0 depends Tcpip" + kRecovery + " preshutdown 180000"},
        // Only an automatic start uses the delay.
        SettingsRow{"ManualLeavesTheDelay", {"-starttype", "manual"},
                    "start 3 delayed 1 depends Tcpip" + kRecovery + " preshutdown 180000"},
        SettingsRow{"NewDependencies", {"-dependson", "Dnscache"},
                    "start 2 delayed 1 depends Dnscache" + kRecovery + " preshutdown 180000"},
        SettingsRow{"ASlashRemovesThem", {"-dependson", "/"}, "start 2 delayed 1" + kRecovery + " preshutdown 180000"},
        SettingsRow{"RecoveryOff", {"-recovery", "off"}, "start 2 delayed 1 depends Tcpip flag 0 preshutdown 180000"},
        SettingsRow{"AnotherTimeOut", {"-shutdowntimeout", "30"},
                    "start 2 delayed 1 depends Tcpip" + kRecovery + " preshutdown 30000"}),
    rowName<SettingsRow>);

// A restart action needs the right to start the service: an update asks for it only then.
TEST_F(InstallTest, AnUpdateWithRecoveryOpensTheServiceWithTheRightToStartIt) {
    ASSERT_EQ(installNode1(), 0);
    os.resetCalls();
    ASSERT_EQ(installNode1({"-recovery", "on"}), 0) << err();
    EXPECT_TRUE(os.service(kFullName)->failureActions.has_value());
}

// --- The agent home as the service needs it ---

struct HomeFileRow {
    const char* name;
    std::vector<std::string> present;  // of bin\VornelAgentService.exe and bin\startAgent.bat
    std::string warnings;
};

class InstallHomeFilesTest : public ToolTest, public ::testing::WithParamInterface<HomeFileRow> {
protected:
    InstallHomeFilesTest() : ToolTest(installVornelAgentServiceMain, "InstallVornelAgentService.exe") {}
};

std::string missing(const std::string& program) {
    return "Warning: C:\\agent\\bin\\" + program + " does not exist; the service cannot start until it does.\n";
}

TEST_P(InstallHomeFilesTest, EachMissingProgramIsWarnedAboutAndTheInstallationGoesOn) {
    const HomeFileRow& row = GetParam();
    for (const std::string& program : row.present) os.writeFile("C:\\agent\\bin\\" + program, "x");
    Outcome outcome = runCapturing({"-servicename", kShortName, "-agentname", "agent1", "-agenthome", "C:\\agent"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, row.warnings);
    EXPECT_EQ(outcome.out, std::string(kDisplayNameProductText) + " - node1 service successfully added.");
    EXPECT_TRUE(os.directoryExists(kLogRoot)) << "the log root is made all the same";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallHomeFilesTest,
    ::testing::Values(HomeFileRow{"Both", {"VornelAgentService.exe", "startAgent.bat"}, ""},
                      HomeFileRow{"NoHost", {"startAgent.bat"}, missing("VornelAgentService.exe")},
                      HomeFileRow{"NoStartScript", {"VornelAgentService.exe"}, missing("startAgent.bat")},
                      HomeFileRow{"ATypoInTheHome", {}, missing("VornelAgentService.exe") + missing("startAgent.bat")}),
    rowName<HomeFileRow>);

TEST_F(InstallTest, TheLogRootIsMadeWithItsMissingParentsAndAnExistingOneIsKept) {
    os.writeFile(kLogRoot + "\\VornelAgent.pidfile", "12\n");
    ASSERT_EQ(installNode1({}, "C:\\agent"), 0);
    EXPECT_EQ(os.callCount(Op::CreateDirectory), 0u);

    os.resetCalls();
    ASSERT_EQ(run({"-servicename", "node2", "-agentname", "agent2", "-agenthome", "D:\\agents\\two"}), 0);
    EXPECT_TRUE(os.directoryExists("D:\\agents\\two\\logs\\middlewareagent"));
    EXPECT_EQ(os.callCount(Op::CreateDirectory), 4u);  // D:\agents, its two, logs, middlewareagent
}

TEST_F(InstallTest, ALogRootThatCannotBeMadeFailsTheInstallation) {
    os.failNext(Op::CreateDirectory, win::kErrorAccessDenied, 10);
    EXPECT_EQ(installNode1(), -1);
    EXPECT_EQ(errWithoutTrace(), systemErrorLine("Could not create " + kLogRoot, win::kErrorAccessDenied));
    EXPECT_EQ(out(), "");
    EXPECT_EQ(param("AgentLogRoot"), kLogRoot);
}

}  // namespace
}  // namespace vornel::testing
