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

std::vector<std::string> homeOnly(const std::string& home) {
    return {"-servicename", "node1", "-agentname", "agent1", "-agenthome", home};
}

std::string repeated(const std::string& text, size_t times) {
    std::string result;
    for (size_t i = 0; i < times; ++i) result += text;
    return result;
}

const std::string kNotAbsolute =
    "The -agenthome value must be an absolute path: a drive letter, a colon and a backslash, or \\\\server\\share\\.\n";

TEST_P(InstallRefusalTest, PrintsTheUsageAndTouchesNothing) {
    const RefusalCase& c = GetParam();
    os.resetCalls();
    EXPECT_EQ(run(c.args), c.status);
    EXPECT_EQ(errWithoutTrace(), c.err);
    EXPECT_EQ(out(), kInstallUsage);
    EXPECT_EQ(os.callCount(), 0u) << "the platform was called";
    EXPECT_FALSE(os.keyExists(kServiceKey));
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
                    {"-servicename", "node1", "-agentname", "-x", "-agenthome", "C:\\agent"},
                    "Parameter -agentname needs to be followed by an argument.\n",
                    -1},
        // Start and stop arguments take the next argument whatever it is, an option's name too.
        RefusalCase{"StartArgumentsTakeAnOptionsName",
                    complete({"-startargs", "-servicename", "node2"}),
                    "Unrecognized parameters encountered on the command line: 'node2 '\n",
                    -1},
        RefusalCase{"StopArgumentsAtTheEnd",
                    complete({"-stopargs"}),
                    "Parameter -stopargs needs to be followed by an argument.\n",
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
                    -1},
        // Values that would break out of the quoting of the service's or the scripts' command
        // line, or be expanded by the command interpreter, after the required-argument checks.
        RefusalCase{"AnEmptyServiceName",
                    {"-servicename", "", "-agentname", "agent1", "-agenthome", "C:\\agent"},
                    "The -servicename value must not be empty.\n",
                    -1},
        RefusalCase{"AQuoteInTheServiceName",
                    {"-servicename", "node\"1", "-agentname", "agent1", "-agenthome", "C:\\agent"},
                    "The -servicename value must not contain a double quote (\").\n",
                    -1},
        RefusalCase{"TheInjectionThroughTheAgentName",
                    {"-servicename", "node1", "-agentname", "a1\" & echo inj > C:\\pwned_name.txt & rem \"",
                     "-agenthome", "C:\\agent"},
                    "The -agentname value must not contain a double quote (\").\n",
                    -1},
        RefusalCase{"AVariableInTheAgentName",
                    {"-servicename", "node1", "-agentname", "%PATH%", "-agenthome", "C:\\agent"},
                    "The -agentname value must not contain a percent sign (%).\n",
                    -1},
        RefusalCase{"ATabInTheAgentName",
                    {"-servicename", "node1", "-agentname", "agent\tone", "-agenthome", "C:\\agent"},
                    "The -agentname value must not contain a control character (0x09).\n",
                    -1},
        RefusalCase{"ALineFeedInTheAgentHome",
                    {"-servicename", "node1", "-agentname", "agent1", "-agenthome", "C:\\agent\n& calc"},
                    "The -agenthome value must not contain a control character (0x0A).\n",
                    -1},
        RefusalCase{"ADeleteInTheAgentHome",
                    {"-servicename", "node1", "-agentname", "agent1", "-agenthome", "C:\\a\x7F"},
                    "The -agenthome value must not contain a control character (0x7F).\n",
                    -1},
        RefusalCase{"AQuoteInTheAgentHome",
                    {"-servicename", "node1", "-agentname", "agent1", "-agenthome", "C:\\a\" & calc & \""},
                    "The -agenthome value must not contain a double quote (\").\n",
                    -1},
        RefusalCase{"AVariableInTheAgentHome",
                    {"-servicename", "node1", "-agentname", "agent1", "-agenthome", "%TEMP%\\agent"},
                    "The -agenthome value must not contain a percent sign (%).\n",
                    -1},
        RefusalCase{"TheFirstRefusedCharacterIsNamed",
                    {"-servicename", "node1", "-agentname", "a%b\"c", "-agenthome", "C:\\agent"},
                    "The -agentname value must not contain a percent sign (%).\n",
                    -1},
        RefusalCase{"TheServiceNameIsCheckedFirst",
                    {"-servicename", "", "-agentname", "\"", "-agenthome", "%"},
                    "The -servicename value must not be empty.\n",
                    -1},
        RefusalCase{"TheAgentNameBeforeTheHome",
                    {"-servicename", "node1", "-agentname", "\"", "-agenthome", "%"},
                    "The -agentname value must not contain a double quote (\").\n",
                    -1},
        RefusalCase{"AMissingHomeBeforeARefusedName",
                    {"-servicename", "node1", "-agentname", "%x%"},
                    "Required argument [-agentHome] not specified!",
                    -1},
        RefusalCase{"ARefusedNameBeforeABadStartType",
                    {"-servicename", "node1", "-agentname", "%x%", "-agenthome", "C:\\agent", "-starttype", "auto"},
                    "The -agentname value must not contain a percent sign (%).\n",
                    -1},
        // The service manager takes full names of up to 256 characters: the prefix and " - " are 36.
        RefusalCase{"AFullServiceNameOf257Characters",
                    {"-servicename", std::string(221, 's'), "-agentname", "agent1", "-agenthome", "C:\\agent"},
                    "The -servicename value must not make the full service name longer than 256 characters (it would "
                    "have 257).\n",
                    -1},
        RefusalCase{"CharactersOutsideAsciiCountOnceEach",
                    {"-servicename", repeated("\xD1\x8F", 221), "-agentname", "agent1", "-agenthome", "C:\\agent"},
                    "The -servicename value must not make the full service name longer than 256 characters (it would "
                    "have 257).\n",
                    -1},
        // The agent home must be absolute (which paths are: script_command_test.cpp).
        RefusalCase{"ARelativeHome", homeOnly("adv\\h\\rel"), kNotAbsolute, -1},
        RefusalCase{"AnEmptyHome", homeOnly(""), kNotAbsolute, -1},
        RefusalCase{"ASlashAfterTheDrive", homeOnly("C:/agent/"), kNotAbsolute, -1},
        RefusalCase{"ARefusedCharacterBeforeARelativeHome", homeOnly("rel%"),
                    "The -agenthome value must not contain a percent sign (%).\n", -1},
        // The new options' values.
        RefusalCase{"ARecoveryItDoesNotKnow", complete({"-recovery", "maybe"}),
                    "'maybe' is not a valid argument for -recovery.\n", -1},
        RefusalCase{"AShutdownTimeoutOfNone", complete({"-shutdowntimeout", "0"}),
                    "'0' is not a valid argument for -shutdowntimeout.\n", -1},
        RefusalCase{"AShutdownTimeoutWithAUnit", complete({"-shutdowntimeout", "3m"}),
                    "'3m' is not a valid argument for -shutdowntimeout.\n", -1},
        RefusalCase{"AShutdownTimeoutTooLongForMilliseconds", complete({"-shutdowntimeout", "4294968"}),
                    "'4294968' is not a valid argument for -shutdowntimeout.\n", -1},
        RefusalCase{"ANegativeShutdownTimeout", complete({"-shutdowntimeout", "-5"}),
                    "Parameter -shutdowntimeout needs to be followed by an argument.\n", -1},
        RefusalCase{"TheStartTypeBeforeTheRecovery", complete({"-recovery", "x", "-starttype", "later"}),
                    "'later' is not a valid argument for -startType.\n", -1}),
    rowName<RefusalCase>);

TEST_F(InstallTest, TheValuesItStoresForTheScriptsMayHoldBlanksAndOtherPunctuation) {
    ASSERT_EQ(installNode1({"-agentname", "agent & one (^x) <y> |z! 'q'"}, "C:\\Program Files (x86)\\a&b^c"), 0)
        << err();
    EXPECT_EQ(param("AgentName"), std::string("agent & one (^x) <y> |z! 'q'"));
    EXPECT_EQ(param("AgentHome"), std::string("C:\\Program Files (x86)\\a&b^c\\"));
}

TEST_F(InstallTest, NamesInAnyLanguageAreStoredAsTheyCome) {
    const std::string name = "\xD0\xB0\xD0\xB3\xD0\xB5\xD0\xBD\xD1\x82 \xE4\xB8\xAD";  // "агент 中" in UTF-8
    ASSERT_EQ(installNode1({"-agentname", name}, "C:\\\xE4\xB8\xAD"), 0) << err();
    EXPECT_EQ(param("AgentName"), name);
    EXPECT_EQ(param("AgentHome"), std::string("C:\\\xE4\xB8\xAD\\"));
}

// Where the system ignores the manifest, a command line its code page cannot hold is refused.
TEST_F(InstallTest, ACommandLineTheCodePageCannotHoldIsRefusedBeforeAnythingIsTouched) {
    os.setCommandLineCodePage(1252, false);
    os.resetCalls();
    EXPECT_EQ(installNode1({"-startargs", "-Dx -Dy"}), -1);
    EXPECT_EQ(errWithoutTrace(), "The command line holds characters that the system's code page (1252) cannot represent.\n");
    EXPECT_EQ(out(), kInstallUsage);
    EXPECT_EQ(os.callLog(), std::vector<MemoryPlatform::Op>{MemoryPlatform::Op::CommandLineFitsCodePage});
    EXPECT_FALSE(os.keyExists(kServiceKey));
}

struct CodePageRow {
    const char* name;
    uint32_t codePage;
    bool fits;
    std::optional<MemoryPlatform::Op> failing;
};

class InstallCodePageTest : public InstallTest, public ::testing::WithParamInterface<CodePageRow> {};

TEST_P(InstallCodePageTest, AnyOtherAnswerLetsTheInstallationGoOn) {
    const CodePageRow& row = GetParam();
    os.setCommandLineCodePage(row.codePage, row.fits);
    if (row.failing) os.failNext(*row.failing, win::kErrorAccessDenied);
    EXPECT_EQ(installNode1(), 0);
    EXPECT_EQ(errWithoutTrace(), "");
    EXPECT_TRUE(os.service(kFullName).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallCodePageTest,
    ::testing::Values(CodePageRow{"UTF8", 65001, true, std::nullopt},
                      CodePageRow{"AnotherCodePageThatHoldsIt", 1252, true, std::nullopt},
                      CodePageRow{"TheQuestionFails", 1252, false, MemoryPlatform::Op::CommandLineFitsCodePage}),
    rowName<CodePageRow>);

TEST_F(InstallTest, ABadStartTypeIsRefusedAfterEveryValueHasBeenDerived) {
    EXPECT_EQ(installNode1({"-debug", "-starttype", "automatically"}), -1);
    std::vector<std::string> main = traceStartingWith("InstallVornelAgentService - main - ");
    ASSERT_FALSE(main.empty());
    EXPECT_EQ(main.back(),
              "InstallVornelAgentService - main - Pid File = C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile");
    EXPECT_TRUE(traceStartingWith("InstallVornelAgentService - addService").empty());
    EXPECT_EQ(os.service(kFullName), std::nullopt);
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
    os.makeDirectory("\\\\server\\share");  // a share the machine reaches
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
        DerivedCase{"AHomeOnAShare",
                    "\\\\server\\share",
                    {},
                    {{"AgentHome", "\\\\server\\share\\"},
                     {"AgentLogRoot", "\\\\server\\share\\logs\\middlewareagent"}}},
        DerivedCase{"SlashesAfterTheRootStay",
                    "C:\\agents/one/",
                    {},
                    {{"AgentHome", "C:\\agents/one/"}, {"AgentLogRoot", "C:\\agents/one/logs\\middlewareagent"}}},
        DerivedCase{"StartArgumentsThatBeginWithADash",
                    "C:\\agent",
                    {"-startargs", "-Xmx512m"},
                    {{"StartupArguments", "-Xmx512m"}}},
        DerivedCase{"StopArgumentsThatAreAnOptionsName",
                    "C:\\agent",
                    {"-stopargs", "-noPid", "-restart", "false"},
                    {{"StopArguments", "-noPid"}, {"Restart", "false"}}},
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
    rowName<DerivedCase>);

struct AccountCase {
    const char* name;
    std::vector<std::string> more;
    std::optional<std::string> account;
    uint32_t startType;
};

class InstallAccountTest : public InstallTest, public ::testing::WithParamInterface<AccountCase> {};

TEST_P(InstallAccountTest, TheAccountAndStartTypeFollowTheOptions) {
    const AccountCase& c = GetParam();
    ASSERT_EQ(installNode1(c.more), 0) << err();
    std::optional<MemoryPlatform::ServiceRecord> record = os.service(kFullName);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->config.account, c.account);
    EXPECT_EQ(record->config.startType, c.startType);
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallAccountTest,
    ::testing::Values(
        AccountCase{"NoOptions", {}, std::nullopt, win::kServiceDemandStart},
        AccountCase{"AUserOfThisMachine", {"-userid", "bob"}, ".\\bob", win::kServiceDemandStart},
        AccountCase{"ADomainUserStaysAsGiven",
                    {"-userid", "DOMAIN\\bob", "-password", "pw"},
                    "DOMAIN\\bob",
                    win::kServiceDemandStart},
        AccountCase{"AQualifiedLocalUserStaysAsGiven", {"-userid", ".\\bob"}, ".\\bob", win::kServiceDemandStart},
        AccountCase{"ManualInAnyLetterCase", {"-starttype", "Manual"}, std::nullopt, win::kServiceDemandStart},
        AccountCase{"Automatic", {"-starttype", "automatic"}, std::nullopt, win::kServiceAutoStart},
        AccountCase{"DisabledInCapitals", {"-starttype", "DISABLED"}, std::nullopt, win::kServiceDisabled}),
    rowName<AccountCase>);

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
        // "C:\agent\bin\startAgent.bat"  "agent1" -Dx -Dy, and the stop script's line with q
        "InstallVornelAgentService - main - start script command line = 47 characters",
        "InstallVornelAgentService - main - stop script command line = 40 characters",
    };
    EXPECT_EQ(traceStartingWith("InstallVornelAgentService - main - "), expected);
    EXPECT_EQ(err().find("s3cret"), std::string::npos) << err();
    EXPECT_EQ(errWithoutTrace(), "");
}

TEST_F(InstallTest, TracesTheUnknownArgumentsWhenHelpIsGiven) {
    EXPECT_EQ(run({"-help", "-debug", "foo", "bar"}), 0);
    EXPECT_EQ(trace(), std::vector<std::string>{
                           "InstallVornelAgentService - main - Processed parameters, unknown params: foo bar "});
}

TEST_F(InstallTest, WritesNoTraceWithoutDebug) {
    ASSERT_EQ(installNode1({"-password", "pw"}), 0);
    EXPECT_EQ(err(), "");
}

}  // namespace
}  // namespace vornel::testing

// --- The command interpreter's line limit ---

namespace vornel::testing {
namespace {

// "C:\agent\bin\startAgent.bat"  "agent1" and a blank before the arguments: 40 characters;
// the stop script's name is one shorter.
struct LineLimitRow {
    const char* name;
    const char* option;
    size_t lineLength;
    std::optional<std::string> logFile;  // as an earlier installation's Parameters key holds it
    std::string unit;                    // one character of the arguments...
    size_t unitLength;                   // ...and its UTF-16 units
};

class InstallLineLimitTest : public InstallTest, public ::testing::WithParamInterface<LineLimitRow> {};

TEST_P(InstallLineLimitTest, ArgumentsWhoseScriptLineTheInterpreterWouldNotRunAreRefused) {
    const LineLimitRow& row = GetParam();
    const bool start = std::string(row.option) == "-startargs";
    size_t fixed = start ? 40 : 39;
    if (row.logFile) {
        InstalledService().storedValue("LogFile", *row.logFile).install(os);
        fixed += (start ? 5 : 6) + row.logFile->size();  // ` > "` or ` >> "`, and the closing quote
    }
    std::string arguments;
    for (size_t i = fixed; i < row.lineLength; i += row.unitLength) arguments += row.unit;
    const Outcome outcome = runCapturing({"-servicename", kShortName, "-agentname", "agent1", "-agenthome", "C:\\agent",
                                          row.option, arguments});
    const bool fits = row.lineLength <= 8191;
    EXPECT_EQ(outcome.status, fits ? 0 : -1);
    const std::string script = start ? "start" : "stop";
    EXPECT_EQ(outcome.err, fits ? "" : "The " + std::string(row.option) + " value must not make the " + script +
                                          " script's command line longer than 8191 characters (it would have " +
                                          std::to_string(row.lineLength) + ").\n");
    EXPECT_EQ(os.keyExists(kParams), fits || row.logFile.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallLineLimitTest,
    ::testing::Values(LineLimitRow{"StartAt8191", "-startargs", 8191, std::nullopt, "x", 1},
                      LineLimitRow{"StartAt8192", "-startargs", 8192, std::nullopt, "x", 1},
                      LineLimitRow{"StopAt8191", "-stopargs", 8191, std::nullopt, "x", 1},
                      LineLimitRow{"StopAt8192", "-stopargs", 8192, std::nullopt, "x", 1},
                      LineLimitRow{"WithTheStoredLogFileAt8191", "-startargs", 8191,
                                   std::string("C:\\logs\\run.log"), "x", 1},
                      LineLimitRow{"WithTheStoredLogFileAt8192", "-stopargs", 8192,
                                   std::string("C:\\logs\\run.log"), "x", 1},
                      // Counted in UTF-16 units, as the command interpreter holds the line.
                      LineLimitRow{"CyrillicAt8191", "-startargs", 8191, std::nullopt, "\xD0\x96", 1},
                      LineLimitRow{"BeyondTheBasicPlaneAt8192", "-startargs", 8192, std::nullopt,
                                   "\xF0\x9F\x98\x80", 2}),
    rowName<LineLimitRow>);

}  // namespace
}  // namespace vornel::testing
