// The installer's command line: the refusals that come before anything is touched, and the
// values derived from the options.
#include "install_support.h"

namespace vornel::testing {
namespace {

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    std::string err;  // the error stream without trace lines
    int status;
};

class InstallRefusalTest : public InstallTest, public ::testing::WithParamInterface<RefusalCase> {};

const std::vector<std::string> kComplete = {"-servicename", "node1", "-agentname", "agent1", "-agenthome", "C:\\agent"};

std::vector<std::string> complete(std::vector<std::string> more) {
    std::vector<std::string> args = kComplete;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST_P(InstallRefusalTest, PrintsTheUsageAndTouchesNothing) {
    const RefusalCase& c = GetParam();
    os.resetCalls();
    EXPECT_EQ(install(c.args), c.status);
    EXPECT_EQ(errWithoutTrace(), c.err);
    EXPECT_EQ(out(), kInstallUsage);
    EXPECT_EQ(os.callCount(), 0u) << "the platform was called";
    EXPECT_FALSE(os.keyExists(kNode1Key));
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallRefusalTest,
    ::testing::Values(
        RefusalCase{"NoArguments", {}, "Required argument [-servicename] not specified!", -1},
        RefusalCase{"AParseFailureEvenWithHelp",
                    {"-help", "-servicename"},
                    "Parameter -servicename needs to be followed by an argument.\n",
                    -1},
        RefusalCase{"AValueThatLooksLikeAnOption",
                    complete({"-startargs", "-Dx"}),
                    "Parameter -startargs needs to be followed by an argument.\n",
                    -1},
        RefusalCase{"HelpInCapitalsWithAnUnknownOption", {"-HELP", "-bogus"}, "", 0},
        RefusalCase{"HelpWithEverythingElse", complete({"-help", "stray", "-starttype", "auto"}), "", 0},
        RefusalCase{"OneUnknownWord",
                    {"foo"},
                    "Unrecognized parameters encountered on the command line: 'foo '\n",
                    -1},
        RefusalCase{"UnknownArgumentsEachWithABlank",
                    complete({"/agentname", "x", "-service", "-debugx"}),
                    "Unrecognized parameters encountered on the command line: '/agentname x -service -debugx '\n",
                    -1},
        RefusalCase{"AWordAfterNoprefix",
                    complete({"-noprefix", "word"}),
                    "Unrecognized parameters encountered on the command line: 'word '\n",
                    -1},
        RefusalCase{"AWordAfterHelplessDebug",
                    complete({"-debug", "word"}),
                    "Unrecognized parameters encountered on the command line: 'word '\n",
                    -1},
        RefusalCase{"UnknownBeforeMissing",
                    {"-agentname", "agent1", "extra"},
                    "Unrecognized parameters encountered on the command line: 'extra '\n",
                    -1},
        RefusalCase{"NoAgentName", {"-servicename", "node1"}, "Required argument [-agentname] not specified!", -1},
        RefusalCase{"NoAgentHome",
                    {"-servicename", "node1", "-agentname", "agent1"},
                    "Required argument [-agentHome] not specified!",
                    -1},
        RefusalCase{"ABadStartTypeOnlyAfterTheOtherChecks",
                    {"-starttype", "auto", "-servicename", "node1"},
                    "Required argument [-agentname] not specified!",
                    -1},
        RefusalCase{"ABadStartType",
                    complete({"-starttype", "auto"}),
                    "'auto' is not a valid argument for -startType.\n",
                    -1},
        RefusalCase{"AnEmptyStartType",
                    complete({"-starttype", ""}),
                    "'' is not a valid argument for -startType.\n",
                    -1}),
    [](const ::testing::TestParamInfo<RefusalCase>& param) { return std::string(param.param.name); });

TEST_F(InstallTest, ABadStartTypeIsRefusedAfterEveryValueHasBeenDerived) {
    EXPECT_EQ(installNode1({"-debug", "-starttype", "automatically"}), -1);
    std::vector<std::string> main = traceStartingWith("InstallVornelAgentService - main - ");
    ASSERT_FALSE(main.empty());
    EXPECT_EQ(main.back(),
              "InstallVornelAgentService - main - Pid File = C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile");
    EXPECT_TRUE(traceStartingWith("InstallVornelAgentService - addService").empty());
    EXPECT_EQ(os.service(kNode1Full), std::nullopt);
}

// --- Derived values, as they reach the Parameters key ---

struct DerivedCase {
    const char* name;
    std::string home;
    std::vector<std::string> more;
    std::map<std::string, std::string> expected;
};

class InstallDerivedTest : public InstallTest, public ::testing::WithParamInterface<DerivedCase> {};

TEST_P(InstallDerivedTest, StoresTheDerivedValue) {
    const DerivedCase& c = GetParam();
    ASSERT_EQ(installNode1(c.more, c.home), 0) << err();
    for (const auto& [value, text] : c.expected) EXPECT_EQ(param(value), text) << value;
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallDerivedTest,
    ::testing::Values(
        DerivedCase{"AHomeGetsItsSeparator",
                    "C:\\agent",
                    {},
                    {{"AgentHome", "C:\\agent\\"},
                     {"AgentLogRoot", "C:\\agent\\logs\\middlewareagent"},
                     {"AgentPidFile", "C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile"},
                     {"StdOutTraceFile", "C:\\agent\\logs\\middlewareagent\\VornelAgentService.stdout"},
                     {"StdErrTraceFile", "C:\\agent\\logs\\middlewareagent\\VornelAgentService.stderr"}}},
        DerivedCase{"AHomeWithABackslashStays", "C:\\agent\\", {}, {{"AgentHome", "C:\\agent\\"}}},
        DerivedCase{"AHomeWithASlashStaysAndTheLogRootMixesSeparators",
                    "C:/agent/",
                    {},
                    {{"AgentHome", "C:/agent/"},
                     {"AgentLogRoot", "C:/agent/logs\\middlewareagent"},
                     {"AgentPidFile", "C:/agent/logs\\middlewareagent\\VornelAgent.pidfile"}}},
        DerivedCase{"AnEmptyHomeBecomesASeparator",
                    "",
                    {},
                    {{"AgentHome", "\\"}, {"AgentLogRoot", "\\logs\\middlewareagent"}}},
        DerivedCase{"ServiceTraceOn", "C:\\agent", {"-servicetrace", "on"}, {{"DebugTrace", "on"}}},
        DerivedCase{"ServiceTraceInCapitalsIsOff", "C:\\agent", {"-servicetrace", "ON"}, {{"DebugTrace", "off"}}},
        DerivedCase{"ServiceTraceWithABlankIsOff", "C:\\agent", {"-servicetrace", "on "}, {{"DebugTrace", "off"}}},
        DerivedCase{"NoServiceTraceIsOff", "C:\\agent", {}, {{"DebugTrace", "off"}}},
        DerivedCase{"RestartFalseInCapitals", "C:\\agent", {"-restart", "FALSE"}, {{"Restart", "false"}}},
        DerivedCase{"RestartNo", "C:\\agent", {"-restart", "no"}, {{"Restart", "true"}}},
        DerivedCase{"NoRestartOption", "C:\\agent", {}, {{"Restart", "true"}}},
        DerivedCase{"EncodeParamsTakesTheNextWord", "C:\\agent", {"-encodeparams", "yes"}, {{"Encoded", "on"}}},
        DerivedCase{"EncodeParamsAtTheEnd", "C:\\agent", {"-encodeparams"}, {{"Encoded", "on"}}},
        DerivedCase{"EncodeParamsBeforeAnOption",
                    "C:\\agent",
                    {"-encodeparams", "-restart", "false"},
                    {{"Encoded", "on"}, {"Restart", "false"}}},
        DerivedCase{"NoEncodeParams", "C:\\agent", {}, {{"Encoded", "off"}}},
        DerivedCase{"OptionsInAnyLetterCase",
                    "C:\\agent",
                    {"-RESTART", "false", "-ServiceTrace", "on"},
                    {{"Restart", "false"}, {"DebugTrace", "on"}}}),
    [](const ::testing::TestParamInfo<DerivedCase>& param) { return std::string(param.param.name); });

// Installs node1 on a platform of its own, so that each case of a table starts afresh.
std::optional<MemoryPlatform::ServiceRecord> installAlone(std::vector<std::string> more) {
    MemoryPlatform fresh;
    std::vector<std::string> args = {"InstallVornelAgentService.exe", "-servicename", "node1", "-agentname", "a",
                                     "-agenthome", "C:\\a"};
    args.insert(args.end(), more.begin(), more.end());
    Argv argv(std::move(args));
    int status = installVornelAgentServiceMain(fresh, argv.argc(), argv.argv());
    std::optional<MemoryPlatform::ServiceRecord> record = fresh.service(kNode1Full);
    fresh.shutdown();
    EXPECT_EQ(status, 0);
    return record;
}

TEST_F(InstallTest, TheAccountAndStartTypeFollowTheOptions) {
    struct Case {
        std::vector<std::string> more;
        std::optional<std::string> account;
        uint32_t startType;
    } cases[] = {
        {{}, std::nullopt, win::kServiceDemandStart},
        {{"-userid", "bob"}, ".\\bob", win::kServiceDemandStart},
        {{"-userid", "DOMAIN\\bob", "-password", "pw"}, "DOMAIN\\bob", win::kServiceDemandStart},
        {{"-userid", ".\\bob"}, ".\\bob", win::kServiceDemandStart},
        {{"-starttype", "Manual"}, std::nullopt, win::kServiceDemandStart},
        {{"-starttype", "automatic"}, std::nullopt, win::kServiceAutoStart},
        {{"-starttype", "DISABLED"}, std::nullopt, win::kServiceDisabled},
    };
    for (const Case& c : cases) {
        std::optional<MemoryPlatform::ServiceRecord> record = installAlone(c.more);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->config.account, c.account) << (c.more.empty() ? "" : c.more[1]);
        EXPECT_EQ(record->config.startType, c.startType) << (c.more.empty() ? "" : c.more[1]);
    }
}

// --- The trace of the command line ---

TEST_F(InstallTest, TracesEveryValueOfTheCommandLineButNeverThePassword) {
    ASSERT_EQ(installNode1({"-debug", "-startargs", "-Dx -Dy", "-stopargs", "q", "-userid", "bob", "-password",
                            "s3cret", "-servicetrace", "ON"}),
              0);
    const std::string logs = "C:\\agent\\logs\\middlewareagent";
    const std::vector<std::string> expected = {
        "InstallVornelAgentService - main - Processed parameters, unknown params: <null>",
        "InstallVornelAgentService - main - service name = node1",
        "InstallVornelAgentService - main - agent name = agent1",
        "InstallVornelAgentService - main - agent home = C:\\agent",
        "InstallVornelAgentService - main - agent home = C:\\agent\\",
        "InstallVornelAgentService - main - start args = -Dx -Dy",
        "InstallVornelAgentService - main - stop args = q",
        "InstallVornelAgentService - main - userid = .\\bob",
        "InstallVornelAgentService - main - password = ********",
        "InstallVornelAgentService - main - service trace = ON",
        "InstallVornelAgentService - main - logroot = " + logs,
        "InstallVornelAgentService - main - stdout trace file = " + logs + "\\VornelAgentService.stdout",
        "InstallVornelAgentService - main - stderr trace file = " + logs + "\\VornelAgentService.stderr",
        "InstallVornelAgentService - main - Pid File = " + logs + "\\VornelAgent.pidfile",
    };
    EXPECT_EQ(traceStartingWith("InstallVornelAgentService - main - "), expected);
    EXPECT_EQ(err().find("s3cret"), std::string::npos) << err();
    EXPECT_EQ(errWithoutTrace(), "");
}

TEST_F(InstallTest, TracesTheUnknownArgumentsWhenHelpIsGiven) {
    EXPECT_EQ(install({"-help", "-debug", "foo", "bar"}), 0);
    EXPECT_EQ(trace(), std::vector<std::string>{
                           "InstallVornelAgentService - main - Processed parameters, unknown params: foo bar "});
}

TEST_F(InstallTest, WritesNoTraceWithoutDebug) {
    ASSERT_EQ(installNode1({"-password", "pw"}), 0);
    EXPECT_EQ(err(), "");
}

}  // namespace
}  // namespace vornel::testing
