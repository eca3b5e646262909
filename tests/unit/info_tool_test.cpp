// The info tool run in-process on the in-memory Windows: its command line, its answers, the
// status query and its exit statuses, and its trace.
#include "info/info_tool.h"

#include <algorithm>

#include "common/service_control.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kPrefixed = "OrvikTamberVornel6100AgentService - ";

const std::string kUsage =
    "\r\nUsage: VornelAgentServiceInfo.exe (with no arguments displays this help)"
    "\r\n          -getservicestatus <service name>"
    "\r\n          -getservicelogroot <service name>"
    "\r\n          -getagentname <service name>"
    "\r\n          -getagenthome <service name>"
    "\r\n          -getservicename -agentname <agent name> -agenthome <agent home>";

// One run's world: an in-memory Windows with node1 installed in its registry, and the console
// captured.
class Scene {
public:
    Scene() {
        resetTrace(out_.stream(), err_.stream());
        installValues("node1", "agent1", "C:\\agents\\one\\", "C:\\agents\\one\\logs\\middlewareagent");
    }
    ~Scene() {
        resetTrace(stdout, stderr);
        os.shutdown();
    }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    void installValues(const std::string& shortName, const std::string& agentName, const std::string& agentHome,
                       const std::optional<std::string>& logRoot) {
        const std::string parameters = kServices + kPrefixed + shortName + "\\Parameters";
        os.setString(parameters, "AgentName", agentName);
        os.setString(parameters, "AgentHome", agentHome);
        if (logRoot) os.setString(parameters, "AgentLogRoot", *logRoot);
    }

    void addService(const std::string& shortName, uint32_t state) {
        ServiceConfig config;
        config.name = kPrefixed + shortName;
        config.binaryPathName = "\"C:\\agents\\one\\bin\\VornelAgentService.exe\" \"" + config.name + "\"";
        os.addService(config);
        os.setServiceState(config.name, state);
    }

    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "VornelAgentServiceInfo.exe");
        Argv argv(std::move(args));
        return vornelAgentServiceInfoMain(os, argv.argc(), argv.argv());
    }

    std::string out() { return out_.text(); }
    std::string err() { return err_.text(); }
    std::vector<std::string> trace() { return traceMessages(err()); }
    std::string errWithoutTrace() { return withoutTrace(err()); }
    std::string systemText(ErrorCode code) { return os.systemErrorText(code).value_or(""); }

    MemoryPlatform os;

private:
    CapturedStream out_;
    CapturedStream err_;
};

// --- The command line ---

TEST(InfoTool, TheFirstPresentQuestionOfTheFixedOrderIsAnswered) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* answer;
    } cases[] = {
        {{"-getagentname", "node1", "-getservicestatus", "node1"}, 2, "The service is running.\n"},
        {{"-getservicename", "-getagenthome", "node1", "-getagentname", "node1"}, 0, "Agent Name - agent1"},
        {{"-getservicelogroot", "node1", "-getagenthome", "node1"}, 0, "Agent Home - C:\\agents\\one\\"},
        {{"-getservicename", "-agentname", "agent1", "-agenthome", "C:\\agents\\one\\", "-getservicelogroot", "node1"},
         0, "Service Log Root - C:\\agents\\one\\logs\\middlewareagent"},
        {{"-GetServiceName", "-AGENTNAME", "agent1", "-agentHome", "C:\\agents\\one\\"}, 0, "Service Name - node1"},
    };
    for (const Case& c : cases) {
        Scene fresh;
        fresh.addService("node1", win::kServiceRunning);
        EXPECT_EQ(fresh.run(c.args), c.status) << ::testing::PrintToString(c.args);
        EXPECT_EQ(fresh.out(), c.answer) << ::testing::PrintToString(c.args);
    }
}

TEST(InfoTool, CommandLinesWithoutAnAnswerEndWithTheUsage) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{}, 0, kUsage, ""},
        {{"-servicename", "node1"}, 0, kUsage, ""},
        {{"stray", "/getagentname", "-agentname", "a"}, 0, kUsage, ""},
        {{"-getagentname", "node1", "-foo"}, -1, kUsage,
         "Unrecognized parameters encountered on the command line: '-foo '\n"},
        {{"-getagentname", "node1", "-foo", "-help"}, 0, kUsage, ""},
        {{"-getservicename", "foo", "-agentname", "a", "-agenthome", "h"}, -1, kUsage,
         "Unrecognized parameters encountered on the command line: 'foo '\n"},
        {{"x", "-getservicestatus", "node1", "y"}, -1, kUsage,
         "Unrecognized parameters encountered on the command line: 'x y '\n"},
        {{"-getservicename", "-agenthome", "h"}, -1, "Required argument [-agentname] not specified!" + kUsage, ""},
        {{"-getservicename", "-agentname", "a"}, -1, "Required argument [-agenthome] not specified!" + kUsage, ""},
        {{"-getservicename"}, -1, "Required argument [-agentname] not specified!" + kUsage, ""},
        {{"-GETAGENTNAME"}, -1, kUsage, "Parameter -getagentname needs to be followed by an argument.\n"},
        {{"-getservicestatus", "-debug"}, -1, kUsage,
         "Parameter -getservicestatus needs to be followed by an argument.\n"},
        {{"-help", "-agenthome"}, -1, kUsage, "Parameter -agenthome needs to be followed by an argument.\n"},
    };
    for (const Case& c : cases) {
        Scene fresh;
        EXPECT_EQ(fresh.run(c.args), c.status) << ::testing::PrintToString(c.args);
        EXPECT_EQ(fresh.out(), c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(fresh.err(), c.err) << ::testing::PrintToString(c.args);
    }
}

// --- The answers: no line end, "<null>" for a value that cannot be read, the bare label for
// nothing found ---

TEST(InfoTool, EachAnswerIsOneLabelledTextWithoutALineEnd) {
    struct Case {
        std::vector<std::string> args;
        std::string answer;
    } cases[] = {
        {{"-getagentname", "node1"}, "Agent Name - agent1"},
        {{"-getagenthome", "node1"}, "Agent Home - C:\\agents\\one\\"},
        {{"-getservicelogroot", "node1"}, "Service Log Root - C:\\agents\\one\\logs\\middlewareagent"},
        {{"-getservicename", "-agentname", "AGENT1", "-agenthome", "c:\\AGENTS\\one\\"}, "Service Name - node1"},
        // Not installed, or without a Parameters key: the value cannot be read.
        {{"-getagentname", "missing"}, "Agent Name - <null>"},
        {{"-getagenthome", "keyonly"}, "Agent Home - <null>"},
        {{"-getservicelogroot", "bare"}, "Service Log Root - <null>"},
        // An empty value, and a search that finds nothing.
        {{"-getagenthome", "bare"}, "Agent Home - "},
        {{"-getservicename", "-agentname", "agent1", "-agenthome", "C:\\agents\\one"}, "Service Name - "},
    };
    for (const Case& c : cases) {
        Scene fresh;
        fresh.installValues("bare", "agent2", "", std::nullopt);
        fresh.os.createKey(kServices + kPrefixed + "keyonly");
        EXPECT_EQ(fresh.run(c.args), 0) << ::testing::PrintToString(c.args);
        EXPECT_EQ(fresh.out(), c.answer) << ::testing::PrintToString(c.args);
        EXPECT_EQ(fresh.err(), "") << ::testing::PrintToString(c.args);
        EXPECT_EQ(fresh.os.openHandleCount(), 0u) << ::testing::PrintToString(c.args);
    }
}

TEST(InfoTool, WithoutTheServicesKeyEveryLookupAnswersTheBareLabel) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-getagentname", "node1"}, "Agent Name - "},
        {{"-getagenthome", "node1"}, "Agent Home - "},
        {{"-getservicelogroot", "node1"}, "Service Log Root - "},
        {{"-getservicename", "-agentname", "agent1", "-agenthome", "C:\\agents\\one\\"}, "Service Name - "},
    };
    for (const auto& [args, answer] : cases) {
        Scene fresh;
        fresh.os.failNext(Op::RegOpenKey, win::kErrorAccessDenied);
        EXPECT_EQ(fresh.run(args), 0);
        EXPECT_EQ(fresh.out(), answer);
        EXPECT_EQ(fresh.os.callCount(Op::RegOpenKeyEx), 0u) << "no value is read after the check failed";
    }
}

// --- The status query ---

TEST(InfoTool, AnObtainedStateIsPrintedWithALineFeedAndEndsWithTwo) {
    for (uint32_t state : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 0u, 8u}) {
        Scene fresh;
        fresh.addService("node1", state);
        EXPECT_EQ(fresh.run({"-getservicestatus", "node1"}), 2) << state;
        EXPECT_EQ(fresh.out(), std::string(serviceStateText(state)) + "\n") << state;
        EXPECT_EQ(fresh.err(), "") << state;
        EXPECT_EQ(fresh.os.openHandleCount(), 0u) << state;
    }
    EXPECT_EQ(statusRCForServiceStatus(win::kServiceRunning), 2);
    EXPECT_EQ(statusRCForServiceStatus(0xFFFFFFFF), 2);
}

TEST(InfoTool, AServiceThatCannotBeOpenedIsNotRegistered) {
    struct Case {
        std::string shortName;
        ErrorCode injected;  // 0: the service manager's own answer
        ErrorCode reported;
    } cases[] = {
        {"missing", 0, win::kErrorServiceDoesNotExist},
        {"NODE1 ", 0, win::kErrorServiceDoesNotExist},
        {"node1", win::kErrorAccessDenied, win::kErrorAccessDenied},
        {"node1", 123456, 123456},
    };
    for (const Case& c : cases) {
        Scene fresh;
        fresh.addService("node1", win::kServiceRunning);
        if (c.injected != 0) fresh.os.failNext(Op::OpenService, c.injected);
        EXPECT_EQ(fresh.run({"-getservicestatus", c.shortName}), 3) << c.shortName;
        EXPECT_EQ(fresh.out(), "") << c.shortName;
        const std::string text = fresh.systemText(c.reported);
        EXPECT_EQ(fresh.err(), "Could not open service '" + kPrefixed + c.shortName + "'\n\treason: " +
                                   (text.empty() ? std::to_string(c.reported) : text) + "\n")
            << c.shortName;
        EXPECT_EQ(fresh.os.openHandleCount(), 0u);
    }
    Scene noName;
    EXPECT_EQ(serviceStatus(noName.os, std::nullopt), 3);
    EXPECT_EQ(noName.os.callCount(Op::OpenSCManager), 0u);
    EXPECT_EQ(noName.out() + noName.err(), "");
}

TEST(InfoTool, NoManagerOrAFailedQueryEndsWithMinusOne) {
    struct Case {
        Op op;
        ErrorCode code;
        std::string out;
    } cases[] = {
        {Op::OpenSCManager, win::kErrorAccessDenied, ""},
        {Op::OpenSCManager, win::kErrorFailedServiceControllerConnect, ""},
        {Op::QueryServiceStatus, win::kErrorAccessDenied, "Failed to get status: Access Denied"},
        {Op::QueryServiceStatus, win::kErrorInvalidHandle, "Failed to get status: Invalid Handle"},
        {Op::QueryServiceStatus, win::kErrorServiceRequestTimeout, "Failed to get status: Unknown reason"},
        {Op::QueryServiceStatus, win::kErrorInvalidParameter, "Failed to get status: Unknown reason"},
    };
    for (const Case& c : cases) {
        Scene fresh;
        fresh.addService("node1", win::kServiceRunning);
        fresh.os.failNext(c.op, c.code);
        EXPECT_EQ(fresh.run({"-getservicestatus", "node1"}), -1) << c.code;
        EXPECT_EQ(fresh.out(), c.out) << c.code;
        EXPECT_EQ(fresh.err(), "") << c.code;
        EXPECT_EQ(fresh.os.openHandleCount(), 0u) << c.code;
    }
}

// --- The trace ---

TEST(InfoTool, TheTraceShowsTheArgumentsAndEveryStepOfTheStatusQuery) {
    Scene s;
    s.addService("node1", win::kServiceStopped);
    EXPECT_EQ(s.run({"-getservicestatus", "node1", "-debug"}), 2);
    EXPECT_EQ(s.out(), "The service is stopped.\n");
    EXPECT_EQ(s.errWithoutTrace(), "");
    const std::string full = kPrefixed + "node1";
    EXPECT_EQ(s.trace(), (std::vector<std::string>{
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

TEST(InfoTool, TheTraceNamesEachFailureOfTheStatusQuery) {
    struct Case {
        Op op;
        ErrorCode code;
        std::vector<std::string> lines;  // after the entry line
    } cases[] = {
        {Op::OpenSCManager, win::kErrorAccessDenied,
         {"VornelAgentServiceInfo.serviceStatus: could not open service manager",
          "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}},
        {Op::OpenService, win::kErrorServiceDoesNotExist,
         {"VornelAgentServiceInfo.serviceStatus: service manager successfully openned",
          "VornelAgentServiceInfo.serviceStatus: could not open service",
          "VornelAgentServiceInfo.serviceStatus: exit - rc = 3"}},
        {Op::QueryServiceStatus, win::kErrorAccessDenied,
         {"VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned false",
          "VornelAgentServiceInfo.serviceStatus: last error = Access Denied",
          "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}},
        {Op::QueryServiceStatus, win::kErrorInvalidHandle,
         {"VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned false",
          "VornelAgentServiceInfo.serviceStatus: last error = Invalid Handle ",
          "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}},
        {Op::QueryServiceStatus, win::kErrorInvalidParameter,
         {"VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned false",
          "VornelAgentServiceInfo.serviceStatus: unknown last error ",
          "VornelAgentServiceInfo.serviceStatus: exit - rc = -1"}},
    };
    for (const Case& c : cases) {
        Scene fresh;
        fresh.addService("node1", win::kServiceRunning);
        fresh.os.failNext(c.op, c.code);
        fresh.run({"-debug", "-getservicestatus", "node1"});
        std::vector<std::string> lines = fresh.trace();
        auto entry = std::find(lines.begin(), lines.end(),
                               "VornelAgentServiceInfo.serviceStatus: entry - service name = node1");
        ASSERT_NE(entry, lines.end());
        std::vector<std::string> after(entry + 1, lines.end());
        if (c.op == Op::QueryServiceStatus) after.erase(after.begin(), after.begin() + 2);  // the two openned lines
        EXPECT_EQ(after, c.lines) << c.code;
    }
}

TEST(InfoTool, TheTraceOfANullServiceNameAndOfUnknownArguments) {
    {
        Scene s;
        enableTrace();
        EXPECT_EQ(serviceStatus(s.os, std::nullopt), 3);
        EXPECT_EQ(s.trace(), (std::vector<std::string>{
                                 "VornelAgentServiceInfo.serviceStatus: entry - service name = <null>",
                                 "VornelAgentServiceInfo.serviceStatus: entry - service name = null - returning not "
                                 "registered",
                                 "VornelAgentServiceInfo.serviceStatus: exit - rc = 3",
                             }));
    }
    Scene fresh;
    EXPECT_EQ(fresh.run({"-debug", "odd one", "-help"}), 0);
    EXPECT_EQ(fresh.out(), kUsage);
    EXPECT_EQ(fresh.trace(), (std::vector<std::string>{
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
