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
        "InstallVornelAgentService - addService - fullSvcName = " + kFullName,
        "InstallVornelAgentService - addService - imagePath = " + kNode1Image,
        "InstallVornelAgentService - addService - rootKey = " + kServiceKey,
        "InstallVornelAgentService - addService - key = " + kParams,
        "InstallVornelAgentService - addService - pid file = " + logs + "\\VornelAgent.pidfile",
        "InstallVornelAgentService - addService - log root = " + logs,
        "InstallVornelAgentService - addService - service trace = off",
        "InstallVornelAgentService - addService - stdout trace file = " + logs + "\\VornelAgentService.stdout",
        "InstallVornelAgentService - addService - stderr trace file = " + logs + "\\VornelAgentService.stderr",
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

TEST_F(InstallTest, AServiceNameTheServiceManagerRefusesIsReportedWithItsReason) {
    const std::string shortName(300, 's');
    EXPECT_EQ(run({"-servicename", shortName, "-agentname", "a", "-agenthome", "C:\\agent"}), -1);
    EXPECT_EQ(err(), "Failed to add service: " + systemText(win::kErrorInvalidName) + "\n");
    EXPECT_EQ(out(), "");
    EXPECT_FALSE(os.keyExists(serviceKeyPath(getFullServiceName(shortName))));
    EXPECT_TRUE(os.subKeys("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application").empty());
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

class InstallWriteFailureTest : public InstallUpdateTest, public ::testing::WithParamInterface<Op> {};

TEST_P(InstallWriteFailureTest, StillEndsWithSuccess) {
    os.failNext(GetParam(), win::kErrorAccessDenied, 1000);
    EXPECT_EQ(installNode1({"-agentname", "unwritten"}), 0);
    EXPECT_EQ(param("AgentName"), std::string("agent1"));
    EXPECT_EQ(newErr(), "");
}

INSTANTIATE_TEST_SUITE_P(Install, InstallWriteFailureTest, ::testing::Values(Op::RegCreateKeyEx, Op::RegSetValue),
                         opCaseName);

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
                                           OtherHomeCase{"TheSameWithSlashes", "C:/agent"},
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

TEST_F(InstallTest, AnEmptySourceKeyCountsAsRegistered) {
    os.createKey(kEventLogKey);
    EXPECT_TRUE(registerEventLog(os, kFullName, kMsgFile));
    EXPECT_TRUE(os.valueNames(kEventLogKey).empty());
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

TEST_F(InstallTest, AFailedRegistrationDoesNotFailTheInstallation) {
    os.failNext(Op::RegCreateKey, win::kErrorAccessDenied);
    EXPECT_EQ(installNode1(), 0);
    EXPECT_FALSE(os.keyExists(kEventLogKey));
    EXPECT_EQ(param("AgentName"), std::string("agent1"));
}

}  // namespace
}  // namespace vornel::testing
