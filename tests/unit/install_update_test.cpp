// The installer's updates of an existing service: the stored start and stop arguments in the
// form Encoded says, the name they are encoded with, and the accounts it can change to.
#include "common/encoding.h"
#include "install_support.h"
#include "letter_case.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;

// What an argument value holds: the plain text, stored encoded with the name or as it is.
std::string storedForm(const std::string& plain, bool encoded, const std::string& fullName = kFullName) {
    return encoded ? *encodeHex(xorWithKey(fullName, plain)) : plain;
}

// --- Encoded and the stored arguments: before x options now -> after ---

struct UpdateRow {
    const char* name;
    // Before: Encoded as stored ("on", "off", "ON"... or no value), and the plain arguments
    // stored in the form it says (absent: no value).
    std::optional<std::string> encodedBefore;
    std::optional<std::string> startBefore, stopBefore;
    // The options of the update, after -servicename, -agentname and -agenthome.
    std::vector<std::string> options;
    // After: Encoded and the plain arguments, which must be stored in the form Encoded says.
    std::string encodedAfter;
    std::optional<std::string> startAfter, stopAfter;
};

class InstallArgumentsUpdateTest : public InstallTest, public ::testing::WithParamInterface<UpdateRow> {};

TEST_P(InstallArgumentsUpdateTest, LeavesEveryValueInTheFormEncodedSays) {
    const UpdateRow& row = GetParam();
    InstalledService().encoded(row.encodedBefore).startArgs(row.startBefore).stopArgs(row.stopBefore).install(os);

    ASSERT_EQ(installNode1(row.options), 0) << err();
    EXPECT_EQ(out(), "Service already exists, updating parameters...\n");
    EXPECT_EQ(errWithoutTrace(), "");
    ASSERT_EQ(param("Encoded"), row.encodedAfter);
    const bool encoded = argumentsEncoded(row.encodedAfter);
    auto expected = [&](const std::optional<std::string>& plain) -> std::optional<std::string> {
        if (!plain) return std::nullopt;
        return storedForm(*plain, encoded);
    };
    EXPECT_EQ(param("StartupArguments"), expected(row.startAfter));
    EXPECT_EQ(param("StopArguments"), expected(row.stopAfter));
    EXPECT_EQ(os.openHandleCount(), 0u);
}

const std::vector<std::string> kEncode = {"-encodeparams"};

INSTANTIATE_TEST_SUITE_P(
    Install, InstallArgumentsUpdateTest,
    ::testing::Values(
        // Neither -encodeparams nor an argument option: Encoded and both values stay.
        UpdateRow{"PlainAndNoArgumentOption", "off", "-Dold", "-old", {}, "off", "-Dold", "-old"},
        UpdateRow{"EncodedAndNoArgumentOption", "on", "-Dold", "-old", {"-starttype", "manual"}, "on", "-Dold", "-old"},
        UpdateRow{"EncodedInCapitalsAndNoArgumentOption", "ON", "-Dold", std::nullopt, {}, "ON", "-Dold", std::nullopt},
        UpdateRow{"EmptyArgumentsCountAsNone", "on", "-Dold", "-old", {"-startargs", "", "-stopargs", ""}, "on",
                  "-Dold", "-old"},
        // -encodeparams: the values given now and the earlier ones, encoded.
        UpdateRow{"PlainThenEncodeParamsAlone", "off", "-Dold", "-old", kEncode, "on", "-Dold", "-old"},
        UpdateRow{"EncodedThenEncodeParamsAlone", "on", "-Dold", "-old", kEncode, "on", "-Dold", "-old"},
        UpdateRow{"PlainThenEncodedStartArguments", "off", "-Dold", "-old",
                  {"-encodeparams", "-startargs", "-Dnew -Dx"}, "on", "-Dnew -Dx", "-old"},
        UpdateRow{"EncodedThenEncodedStopArguments", "on", "-Dold", "-old", {"-stopargs", "now", "-encodeparams"},
                  "on", "-Dold", "now"},
        UpdateRow{"PlainWithoutStopArgumentsThenEncodeParams", "off", "-Dold", std::nullopt, kEncode, "on", "-Dold",
                  std::nullopt},
        // Argument options without -encodeparams: plain, and the earlier value of the other plain too.
        UpdateRow{"PlainThenPlainStartArguments", "off", "-Dold", "-old", {"-startargs", "-Dnew -Dx"}, "off",
                  "-Dnew -Dx", "-old"},
        UpdateRow{"EncodedThenPlainStartArguments", "on", "-Dold", "-old", {"-startargs", "-Dnew -Dx"}, "off",
                  "-Dnew -Dx", "-old"},
        UpdateRow{"EncodedThenPlainStopArguments", "on", "-Dold", "-old", {"-stopargs", "later"}, "off", "-Dold",
                  "later"},
        UpdateRow{"EncodedInCapitalsThenPlainBoth", "ON", "-Dold", "-old", {"-startargs", "a b", "-stopargs", "c"},
                  "off", "a b", "c"},
        UpdateRow{"EncodedWithoutStopArgumentsThenPlainStartArguments", "on", std::nullopt, std::nullopt,
                  {"-startargs", "-Dnew -Dx"}, "off", "-Dnew -Dx", std::nullopt},
        UpdateRow{"AnEmptyEncodedThenEncodeParams", "", "-Dold", "-old", kEncode, "on", "-Dold", "-old"},
        UpdateRow{"NoEncodedValueThenEncodeParams", std::nullopt, "-Dold", "-old", kEncode, "on", "-Dold", "-old"},
        UpdateRow{"NoEncodedValueThenPlainStopArguments", std::nullopt, "-Dold", "-old", {"-stopargs", "x"}, "off",
                  "-Dold", "x"}),
    rowName<UpdateRow>);

TEST_F(InstallTest, AnEarlierValueThatDoesNotDecodeIsLeftAsItIs) {
    InstalledService().encoded("on").storedValue(kStopArguments, "XYZ").install(os);
    ASSERT_EQ(installNode1({"-startargs", "-Dnew -Dx"}), 0);
    EXPECT_EQ(param("Encoded"), std::string("off"));
    EXPECT_EQ(param("StartupArguments"), std::string("-Dnew -Dx"));
    EXPECT_EQ(param("StopArguments"), std::string("XYZ"));
    // Nothing was decoded, so nothing was reported about it.
    EXPECT_EQ(out(), "Service already exists, updating parameters...\n");
}

TEST_F(InstallTest, AnUpdateWithoutArgumentOptionsWritesNeitherEncodedNorTheArguments) {
    InstalledService().encoded("on").startArgs("-Dold").install(os);
    ASSERT_EQ(installNode1({"-debug", "-restart", "false"}), 0);
    const std::string attr = "CommonVornelAgentService - setRegistryValue - attr = ";
    std::vector<std::string> names;
    for (const std::string& line : traceStartingWith(attr)) names.push_back(line.substr(attr.size()));
    const std::vector<std::string> written = {"Description", "AgentHome", "AgentName", "AgentPidFile", "AgentLogRoot",
                                              "DebugTrace", "StdOutTraceFile", "StdErrTraceFile", "Restart"};
    EXPECT_EQ(names, written);
}

// --- The name the arguments are encoded with ---

// cs as the installer created it; the update names it CS.
class InstallLetterCaseTest : public InstallTest {
protected:
    const std::string registered = getFullServiceName(std::string("cs"));
    const std::string typed = getFullServiceName(std::string("CS"));
    const std::string params = parametersKeyPath(registered);
    // Longer than the full name, so that every character of the name takes part.
    const std::string arguments = "-Dagent.argument=one -Dagent.argument=two -Dagent.argument=three";

    void SetUp() override { InstalledService("cs").encoded("on").startArgs("-Dold").stopArgs("-old").install(os); }

    int update(std::vector<std::string> more) {
        std::vector<std::string> args = {"-servicename", "CS", "-agentname", "agent1", "-agenthome", "C:\\agent"};
        args.insert(args.end(), more.begin(), more.end());
        return run(args);
    }
    std::optional<std::string> stored(const char* value) { return os.stringValue(params, value); }
};

TEST_F(InstallLetterCaseTest, EncodesWithTheNameTheServiceIsRegisteredUnder) {
    ASSERT_EQ(update({"-encodeparams", "-startargs", arguments, "-debug"}), 0);
    EXPECT_EQ(out(), "Service already exists, updating parameters...\n");
    EXPECT_TRUE(traced("InstallVornelAgentService - addService - registered name = " + registered));
    // What the host decodes with the name it receives: the arguments as given.
    EXPECT_EQ(decodeArguments(*stored(kStartupArguments), registered), arguments);
    EXPECT_EQ(stored(kStartupArguments), storedForm(arguments, true, registered));
    EXPECT_NE(stored(kStartupArguments), storedForm(arguments, true, typed));
    // The earlier stop arguments stay as the registered name encoded them.
    EXPECT_EQ(decodeArguments(*stored(kStopArguments), registered), "-old");
}

TEST_F(InstallLetterCaseTest, DecodesTheEarlierValueWithTheRegisteredName) {
    ASSERT_EQ(update({"-startargs", arguments}), 0);
    EXPECT_EQ(stored(kEncoded), std::string("off"));
    EXPECT_EQ(stored(kStartupArguments), arguments);
    EXPECT_EQ(stored(kStopArguments), std::string("-old"));
}

TEST_F(InstallLetterCaseTest, WithoutTheRegisteredNameTheNameAsTypedIsTheKey) {
    os.failNext(Op::RegEnumKey, win::kErrorAccessDenied, 1000);
    ASSERT_EQ(update({"-encodeparams", "-startargs", arguments, "-debug"}), 0);
    EXPECT_TRUE(traced("InstallVornelAgentService - addService - registered name = <null>"));
    EXPECT_EQ(stored(kStartupArguments), storedForm(arguments, true, typed));
}

// --- The system's own accounts ---

struct BuiltInAccountRow {
    const char* name;
    std::vector<std::string> options;
    std::string account;
};

class InstallBuiltInAccountTest : public InstallTest, public ::testing::WithParamInterface<BuiltInAccountRow> {};

TEST_P(InstallBuiltInAccountTest, NamesTheSystemsOwnAccountWithoutAPassword) {
    const BuiltInAccountRow& row = GetParam();
    ASSERT_EQ(installNode1(row.options), 0) << err();
    ServiceConfig created = os.service(kFullName).value().config;
    EXPECT_EQ(created.account, row.account);
    EXPECT_EQ(created.password, std::string());

    // An update from another account changes to it as any -userid does.
    InstalledService("node2").install(os);
    const std::string node2 = getFullServiceName(std::string("node2"));
    std::vector<std::string> toUser = {"-servicename", "node2", "-agentname", "a", "-agenthome", "C:\\agent",
                                       "-userid",      "bob",   "-password",  "pw"};
    ASSERT_EQ(run(toUser), 0) << err();
    ASSERT_EQ(os.service(node2)->config.account, std::string(".\\bob"));
    std::vector<std::string> back = {"-servicename", "node2", "-agentname", "a", "-agenthome", "C:\\agent"};
    back.insert(back.end(), row.options.begin(), row.options.end());
    ASSERT_EQ(run(back), 0) << err();
    ServiceConfig updated = os.service(node2).value().config;
    EXPECT_EQ(updated.account, row.account);
    EXPECT_EQ(updated.password, std::string());
}

INSTANTIATE_TEST_SUITE_P(
    Install, InstallBuiltInAccountTest,
    ::testing::Values(BuiltInAccountRow{"LocalSystem", {"-userid", "LocalSystem"}, "LocalSystem"},
                      BuiltInAccountRow{"LocalSystemInLowerCase", {"-userid", "localsystem"}, "LocalSystem"},
                      BuiltInAccountRow{"LocalService", {"-userid", "LocalService"}, "NT AUTHORITY\\LocalService"},
                      BuiltInAccountRow{"LocalServiceInCapitals", {"-userid", "LOCALSERVICE"},
                                        "NT AUTHORITY\\LocalService"},
                      BuiltInAccountRow{"NetworkService", {"-userid", "NetworkService"},
                                        "NT AUTHORITY\\NetworkService"},
                      // A password given with them is not passed on.
                      BuiltInAccountRow{"NetworkServiceWithAPassword", {"-userid", "networkservice", "-password", "x"},
                                        "NT AUTHORITY\\NetworkService"}),
    rowName<BuiltInAccountRow>);

TEST_F(InstallTest, OtherUserIdsKeepTheirForm) {
    EXPECT_EQ(accountNameOf("LocalSystemUser"), ".\\LocalSystemUser");
    EXPECT_EQ(accountNameOf("NT AUTHORITY\\LocalService"), "NT AUTHORITY\\LocalService");
    EXPECT_EQ(accountNameOf(".\\LocalSystem"), ".\\LocalSystem");
    EXPECT_EQ(builtInAccountOf("Local System"), std::nullopt);
}

}  // namespace
}  // namespace vornel::testing

// --- Letter case in any language ---

namespace vornel::testing {
namespace {

class InstallLetterCaseRowTest : public InstallTest, public ::testing::WithParamInterface<LetterCaseRow> {
protected:
    int install(const std::string& name) {
        const std::string home = "C:\\" + name + "\\";
        layOutAgentHome(os, home);
        return run({"-servicename", name, "-agentname", "agent1", "-agenthome", home});
    }
};

// The reproduction: сервис updated as СЕРВИС made a second service sharing the first's key.
TEST_P(InstallLetterCaseRowTest, AnUpdateInOtherCaseFindsTheRegisteredService) {
    const LetterCaseRow& row = GetParam();
    ASSERT_EQ(install(row.stored), 0) << err();
    const size_t before = out().size();
    EXPECT_EQ(install(row.given), 0) << err();
    const std::string registered = getFullServiceName(row.stored);
    if (row.same) {
        EXPECT_EQ(out().substr(before), "Service already exists, updating parameters...\n");
        EXPECT_EQ(os.stringValue(parametersKeyPath(registered), "AgentHome"), "C:\\" + row.given + "\\");
        EXPECT_EQ(os.service(registered)->config.name, registered) << "the registered name stays";
    } else {
        EXPECT_EQ(out().substr(before), std::string(kDisplayNameProductText) + " - " + row.given +
                                            " service successfully added.");
        EXPECT_TRUE(os.service(getFullServiceName(row.given)).has_value());
    }
    EXPECT_EQ(errWithoutTrace(), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, InstallLetterCaseRowTest, kLetterCaseRows, rowName<LetterCaseRow>);

}  // namespace
}  // namespace vornel::testing
