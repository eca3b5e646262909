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

TEST_F(InstallTest, ANewServiceIsAnnouncedByItsDisplayNameWithoutALineEnd) {
    struct Case {
        std::vector<std::string> more;
        std::string displayName;
    } cases[] = {{{}, "Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1"}, {{"-noprefix"}, "node1"}};
    for (const Case& c : cases) {
        size_t outBefore = out().size();
        ASSERT_EQ(installNode1(c.more), 0);
        EXPECT_EQ(out().substr(outBefore), c.displayName + " service successfully added.");
        // noprefix changes the display name only: the service keeps its full name.
        std::optional<MemoryPlatform::ServiceRecord> record = os.service(kNode1Full);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->config.displayName, c.displayName);
        ScHandle manager, service;
        ASSERT_EQ(os.openSCManager(win::kScManagerAllAccess, manager), 0u);
        ASSERT_EQ(os.openService(manager, kNode1Full, win::kDelete, service), 0u);
        ASSERT_EQ(os.deleteService(service), 0u);
    }
    EXPECT_EQ(err(), "");
}

TEST_F(InstallTest, ANewServiceGetsItsEntryEverySettingAndItsEventSource) {
    ASSERT_EQ(installNode1({"-startargs", "-Dx -Dy", "-stopargs", "q", "-userid", "bob", "-password", "pw",
                            "-restart", "false", "-servicetrace", "on", "-starttype", "automatic"}),
              0);

    std::optional<MemoryPlatform::ServiceRecord> record = os.service(kNode1Full);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->config.name, kNode1Full);
    EXPECT_EQ(record->config.desiredAccess, win::kServiceAllAccess);
    EXPECT_EQ(record->config.serviceType, win::kServiceWin32OwnProcess);
    EXPECT_EQ(record->config.startType, win::kServiceAutoStart);
    EXPECT_EQ(record->config.errorControl, win::kServiceErrorNormal);
    EXPECT_EQ(record->config.binaryPathName, kNode1Image);
    EXPECT_EQ(record->config.account, std::string(".\\bob"));
    EXPECT_EQ(record->config.password, std::string("pw"));

    EXPECT_EQ(os.stringValue(kNode1Key, "Description"),
              std::string("Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  agent1"));
    EXPECT_EQ(os.value(kNode1Key, "Description")->type, REG_SZ);

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
    EXPECT_EQ(valuesOf(kNode1Params), expected);

    Values source = {{"EventMessageFile", sz("C:\\agent\\bin\\VornelAgentServiceMsg.dll")},
                     {"TypesSupported", {REG_DWORD, std::string("\x07\0\0\0", 4)}}};
    EXPECT_EQ(valuesOf(kNode1Source), source);
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(InstallTest, TracesItsWorkStepByStepAndWritesEncodedBeforeTheArguments) {
    ASSERT_EQ(installNode1({"-debug", "-startargs", "a", "-stopargs", "b"}), 0);
    const std::string logs = "C:\\agent\\logs\\middlewareagent";
    const std::vector<std::string> expected = {
        "InstallVornelAgentService - addService - serviceName = node1",
        "InstallVornelAgentService - addService - agentName = agent1",
        "InstallVornelAgentService - addService - agentHome = C:\\agent\\",
        "InstallVornelAgentService - addService - fullSvcName = " + kNode1Full,
        "InstallVornelAgentService - addService - imagePath = " + kNode1Image,
        "InstallVornelAgentService - addService - rootKey = " + kNode1Key,
        "InstallVornelAgentService - addService - key = " + kNode1Params + "\\",
        "InstallVornelAgentService - addService - pid file = " + logs + "\\VornelAgent.pidfile",
        "InstallVornelAgentService - addService - log root = " + logs,
        "InstallVornelAgentService - addService - service trace = off",
        "InstallVornelAgentService - addService - stdout trace file = " + logs + "\\VornelAgentService.stdout",
        "InstallVornelAgentService - addService - stderr trace file = " + logs + "\\VornelAgentService.stderr",
    };
    EXPECT_EQ(traceStartingWith("InstallVornelAgentService - addService"), expected);
    const std::vector<std::string> eventLog = {
        "InstallVornelAgentService - registerEventLog - serviceName = " + kNode1Full,
        "InstallVornelAgentService - registerEventLog - msgFile = C:\\agent\\bin\\VornelAgentServiceMsg.dll",
        "InstallVornelAgentService - registerEventLog - regKey = " + kNode1Source,
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
    EXPECT_EQ(os.service(kNode1Full)->config.binaryPathName,
              "\"" + home + "bin\\VornelAgentService.exe\" \"" + kNode1Full + "\"");
    EXPECT_EQ(param("AgentPidFile"), home + "logs\\middlewareagent\\VornelAgent.pidfile");
    EXPECT_EQ(os.stringValue(kNode1Source, "EventMessageFile"), home + "bin\\VornelAgentServiceMsg.dll");
    EXPECT_EQ(param("StartupArguments")->size(), 3000u);
    EXPECT_EQ(decodeArguments(*param("StartupArguments"), kNode1Full), args);

    // A long agent name, on the update path.
    std::vector<std::string> again = {"-servicename", "node1", "-agentname", name, "-agenthome", home};
    ASSERT_EQ(install(again), 0);
    EXPECT_EQ(param("AgentName"), name);
    EXPECT_EQ(os.stringValue(kNode1Key, "Description"),
              "Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  " + name);
}

TEST_F(InstallTest, AServiceNameTheServiceManagerRefusesIsReportedWithItsReason) {
    const std::string shortName(300, 's');
    EXPECT_EQ(install({"-servicename", shortName, "-agentname", "a", "-agenthome", "C:\\agent"}), -1);
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
    ServiceConfig config() { return os.service(kNode1Full).value().config; }

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

TEST_F(InstallUpdateTest, OnlyWhatIsGivenIsChanged) {
    struct Case {
        std::vector<std::string> more;
        uint32_t startType;
        std::string account;
        std::string password;
    } cases[] = {
        {{"-starttype", "automatic"}, win::kServiceAutoStart, ".\\bob", "first"},
        {{"-userid", "alice"}, win::kServiceAutoStart, ".\\alice", "first"},
        {{"-password", "second"}, win::kServiceAutoStart, ".\\alice", "second"},
        {{"-userid", "DOMAIN\\carol", "-password", "third", "-starttype", "Manual"},
         win::kServiceDemandStart,
         "DOMAIN\\carol",
         "third"},
    };
    for (const Case& c : cases) {
        os.resetCalls();
        ASSERT_EQ(installNode1(c.more), 0) << c.more[0];
        EXPECT_EQ(os.callCount(Op::ChangeServiceConfig), 1u) << c.more[0];
        ServiceConfig now = config();
        EXPECT_EQ(now.startType, c.startType) << c.more[0];
        EXPECT_EQ(now.account, c.account) << c.more[0];
        EXPECT_EQ(now.password, c.password) << c.more[0];
        // What an update never changes.
        EXPECT_EQ(now.binaryPathName, kNode1Image);
        EXPECT_EQ(now.displayName, std::string("Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1"));
    }
    EXPECT_EQ(newErr(), "");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(InstallUpdateTest, EverySettingIsWrittenAgain) {
    ASSERT_EQ(installNode1({"-restart", "false", "-servicetrace", "on", "-stopargs", "q", "-noprefix"}), 0);
    EXPECT_EQ(param("Restart"), std::string("false"));
    EXPECT_EQ(param("DebugTrace"), std::string("on"));
    EXPECT_EQ(param("StopArguments"), std::string("q"));
    // The display name of an existing service stays.
    EXPECT_EQ(config().displayName, std::string("Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1"));

    std::vector<std::string> renamed = {"-servicename", "node1", "-agentname", "agent2", "-agenthome", "C:\\agent"};
    ASSERT_EQ(install(renamed), 0);
    EXPECT_EQ(param("AgentName"), std::string("agent2"));
    EXPECT_EQ(os.stringValue(kNode1Key, "Description"),
              std::string("Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  agent2"));
    EXPECT_EQ(param("Restart"), std::string("true"));
    EXPECT_EQ(param("DebugTrace"), std::string("off"));
}

TEST_F(InstallUpdateTest, OlderStartArgumentsStayAndEncodedIsWrittenAgain) {
    const std::optional<std::string> encoded = param("StartupArguments");
    ASSERT_EQ(encoded, std::string("62360E49461018"));
    ASSERT_EQ(installNode1({"-startargs", ""}), 0);
    EXPECT_EQ(param("Encoded"), std::string("off"));
    EXPECT_EQ(param("StartupArguments"), encoded);

    // Without encodeparams, new arguments are stored plain.
    ASSERT_EQ(installNode1({"-startargs", "-Dz -Dw"}), 0);
    EXPECT_EQ(param("StartupArguments"), std::string("-Dz -Dw"));
    EXPECT_EQ(param("Encoded"), std::string("off"));
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

TEST_F(InstallUpdateTest, AFailedConfigurationChangeIsReportedAndTheInstallationGoesOn) {
    struct Case {
        Op op;
        ErrorCode code;
        const char* label;
    } cases[] = {{Op::OpenService, win::kErrorAccessDenied, "Failed to open service"},
                 {Op::ChangeServiceConfig, win::kErrorInvalidParameter, "Failed to update service"}};
    for (const Case& c : cases) {
        size_t errBefore = err().size();
        os.failNext(c.op, c.code);
        ASSERT_EQ(installNode1({"-starttype", "automatic", "-agentname", std::string("for ") + c.label}), 0);
        EXPECT_EQ(err().substr(errBefore), std::string(c.label) + ": " + systemText(c.code) + "\n");
        EXPECT_EQ(config().startType, win::kServiceDisabled) << c.label;
        EXPECT_EQ(param("AgentName"), std::string("for ") + c.label);
    }
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(InstallUpdateTest, AFailedRegistryWriteStillEndsWithSuccess) {
    struct Case {
        Op op;
        const char* name;
    } cases[] = {{Op::RegCreateKeyEx, "create"}, {Op::RegSetValue, "set"}};
    for (const Case& c : cases) {
        os.failNext(c.op, win::kErrorAccessDenied, 1000);
        EXPECT_EQ(installNode1({"-agentname", "unwritten"}), 0) << c.name;
        EXPECT_EQ(param("AgentName"), std::string("agent1")) << c.name;
        os.failNext(c.op, 0, 0);
    }
    EXPECT_EQ(newErr(), "");
}

// --- The same name with another agent home ---

TEST_F(InstallUpdateTest, AnotherHomeFailsAndLeavesEverythingAsItWas) {
    const Values params = valuesOf(kNode1Params);
    const Values service = valuesOf(kNode1Key);
    const Values source = valuesOf(kNode1Source);
    const std::string homes[] = {"C:\\other", "C:/agent", "C:\\agent\\sub", "C:\\agent "};
    for (const std::string& home : homes) {
        size_t errBefore = err().size();
        os.resetCalls();
        EXPECT_EQ(installNode1({"-starttype", "automatic", "-userid", "eve", "-startargs", "x"}, home), -1) << home;
        EXPECT_EQ(err().substr(errBefore), "Failed to add service: " + systemText(win::kErrorServiceExists) + "\n");
        EXPECT_EQ(os.callCount(Op::RegCreateKeyEx) + os.callCount(Op::RegCreateKey) + os.callCount(Op::RegSetValue) +
                      os.callCount(Op::ChangeServiceConfig),
                  0u)
            << home;
    }
    EXPECT_EQ(newOut(), "");
    EXPECT_EQ(valuesOf(kNode1Params), params);
    EXPECT_EQ(valuesOf(kNode1Key), service);
    EXPECT_EQ(valuesOf(kNode1Source), source);
    EXPECT_EQ(config().startType, win::kServiceDisabled);
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(InstallUpdateTest, AnUnreadableCommandLineDoesNotCountAsOurs) {
    os.failNext(Op::RegQueryValue, win::kErrorAccessDenied);
    EXPECT_EQ(installNode1({"-agentname", "unwritten"}), -1);
    EXPECT_EQ(newErr(), "Failed to add service: " + systemText(win::kErrorServiceExists) + "\n");
    EXPECT_EQ(param("AgentName"), std::string("agent1"));
}

TEST_F(InstallTest, AServiceThatCannotBeCreatedIsReportedWithTheSystemsReason) {
    struct Case {
        const char* name;
        std::function<void(MemoryPlatform&)> arrange;
        ErrorCode reported;
    } cases[] = {
        {"the manager cannot be opened",
         [](MemoryPlatform& p) { p.failNext(Op::OpenSCManager, win::kErrorAccessDenied); },
         win::kErrorInvalidHandle},
        {"the create call is refused",
         [](MemoryPlatform& p) { p.failNext(Op::CreateService, win::kErrorAccessDenied); },
         win::kErrorAccessDenied},
        {"another service has the display name",
         [](MemoryPlatform& p) {
             ServiceConfig other;
             other.name = "Other";
             other.displayName = std::string("Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1");
             other.binaryPathName = kNode1Image;
             p.addService(other);
         },
         win::kErrorDuplicateServiceName},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        c.arrange(fresh);
        size_t errBefore = err().size();
        Argv argv({"InstallVornelAgentService.exe", "-servicename", "node1", "-agentname", "a", "-agenthome",
                   "C:\\agent"});
        EXPECT_EQ(installVornelAgentServiceMain(fresh, argv.argc(), argv.argv()), -1) << c.name;
        EXPECT_EQ(err().substr(errBefore), "Failed to add service: " + systemText(c.reported) + "\n") << c.name;
        EXPECT_FALSE(fresh.keyExists(kNode1Params)) << c.name;
        EXPECT_FALSE(fresh.keyExists(kNode1Source)) << c.name;
        EXPECT_EQ(fresh.openHandleCount(), 0u) << c.name;
        fresh.shutdown();
    }
    EXPECT_EQ(out(), "");
}

// --- The event-log source ---

const std::string kMsgFile = "C:\\agent\\bin\\VornelAgentServiceMsg.dll";

TEST_F(InstallTest, TheEventSourceIsCreatedOnceAndThenLeftAlone) {
    enableTrace();
    EXPECT_TRUE(registerEventLog(os, kNode1Full, kMsgFile));
    Values created = {{"EventMessageFile", sz(kMsgFile)},
                      {"TypesSupported", {REG_DWORD, std::string("\x07\0\0\0", 4)}}};
    EXPECT_EQ(valuesOf(kNode1Source), created);

    os.resetCalls();
    EXPECT_TRUE(registerEventLog(os, kNode1Full, "D:\\elsewhere\\bin\\VornelAgentServiceMsg.dll"));
    EXPECT_EQ(valuesOf(kNode1Source), created);
    EXPECT_EQ(os.callCount(Op::RegCreateKey) + os.callCount(Op::RegSetValue), 0u);
    EXPECT_EQ(trace().back(), "InstallVornelAgentService - registerEventLog - returning true - key already exists");
    EXPECT_EQ(os.openHandleCount(), 0u);
}

TEST_F(InstallTest, AnEmptySourceKeyCountsAsRegistered) {
    os.createKey(kNode1Source);
    EXPECT_TRUE(registerEventLog(os, kNode1Full, kMsgFile));
    EXPECT_TRUE(os.valueNames(kNode1Source).empty());
}

TEST_F(InstallTest, AFailedRegistrationStopsAtTheFailingStep) {
    struct Case {
        uint64_t failingCall;  // open, create, set the file, set the types
        std::string trace;
        bool keyLeft;
        std::vector<std::string> valuesLeft;
    } cases[] = {
        {2, "InstallVornelAgentService - registerEventLog - returning false - create key failed", false, {}},
        {3, "InstallVornelAgentService - registerEventLog - returning false - set value failed", true, {}},
        {4, "InstallVornelAgentService - registerEventLog - returning false - set value ex failed", true,
         {"EventMessageFile"}},
    };
    enableTrace();
    for (const Case& c : cases) {
        os.deleteTree(kNode1Source);
        os.resetCalls();
        os.failCall(c.failingCall, win::kErrorAccessDenied);
        EXPECT_FALSE(registerEventLog(os, kNode1Full, kMsgFile)) << c.trace;
        EXPECT_EQ(trace().back(), c.trace);
        EXPECT_EQ(os.keyExists(kNode1Source), c.keyLeft) << c.trace;
        if (c.keyLeft) {
            EXPECT_EQ(os.valueNames(kNode1Source), c.valuesLeft) << c.trace;
        }
        EXPECT_EQ(os.openHandleCount(), 0u) << c.trace;
    }
}

TEST_F(InstallTest, ASourceLeftBehindKeepsItsMessageFileForANewInstallation) {
    ASSERT_EQ(installNode1(), 0);
    {
        ScHandle manager, service;
        ASSERT_EQ(os.openSCManager(win::kScManagerAllAccess, manager), 0u);
        ASSERT_EQ(os.openService(manager, kNode1Full, win::kDelete, service), 0u);
        ASSERT_EQ(os.deleteService(service), 0u);
    }
    ASSERT_FALSE(os.service(kNode1Full).has_value());
    ASSERT_EQ(installNode1({}, "D:\\other"), 0);
    EXPECT_EQ(param("AgentHome"), std::string("D:\\other\\"));
    EXPECT_EQ(os.stringValue(kNode1Source, "EventMessageFile"), kMsgFile);
}

TEST_F(InstallTest, AFailedRegistrationDoesNotFailTheInstallation) {
    os.failNext(Op::RegCreateKey, win::kErrorAccessDenied);
    EXPECT_EQ(installNode1(), 0);
    EXPECT_FALSE(os.keyExists(kNode1Source));
    EXPECT_EQ(param("AgentName"), std::string("agent1"));
}

}  // namespace
}  // namespace vornel::testing
