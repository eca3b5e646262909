#include "common/options.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

struct SampleOptions {
    enum Option : size_t { ServiceName, Userid, Password, StartArgs, EncodeParams, Help, Debug, Fragment, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Userid, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {StartArgs, "startargs", OPTION_VALUE_REQUIRED},
        {EncodeParams, "encodeparams", OPTION_VALUE_OPTIONAL},
        {Help, "help", 0},
        {Debug, "debug", 0},
        {Fragment, "fragment", OPTION_VALUE_REQUIRED | OPTION_VALUE_ANY},
    };
};
using Opt = SampleOptions;

OptionTable sampleTable() { return optionTableOf<SampleOptions>(); }

class OptionsTest : public MemoryTest {
protected:
    int parse(std::vector<std::string> args) {
        args.insert(args.begin(), "tool.exe");
        argv_ = std::make_unique<Argv>(std::move(args));
        return parseOptions(table, argv_->argc(), argv_->argv());
    }
    std::optional<std::string> unknown() { return getUnknownParams(table, argv_->argc(), argv_->argv()); }

    OptionTable table = sampleTable();
    std::unique_ptr<Argv> argv_;
};

// Declarations that break the convention, for the compile-time check.
struct RowMissing {
    enum Option : size_t { First, Second, Count };
    static constexpr OptionRow rows[] = {{First, "first", 0}};
};
struct RowsSwapped {
    enum Option : size_t { First, Second, Count };
    static constexpr OptionRow rows[] = {{Second, "second", 0}, {First, "first", 0}};
};
struct RowRepeated {
    enum Option : size_t { First, Second, Count };
    static constexpr OptionRow rows[] = {{First, "first", 0}, {First, "second", 0}, {Second, "third", 0}};
};

TEST(OptionTableOf, TheCheckRefusesATableThatDoesNotFollowItsEnumeration) {
    static_assert(hasOneRowPerOption<SampleOptions>());
    EXPECT_FALSE(hasOneRowPerOption<RowMissing>());
    EXPECT_FALSE(hasOneRowPerOption<RowsSwapped>());
    EXPECT_FALSE(hasOneRowPerOption<RowRepeated>());
}

TEST(OptionTableOf, ANewTableHasTheDeclaredRowsWithNothingParsedYet) {
    OptionTable table = optionTableOf<SampleOptions>();
    ASSERT_EQ(table.entries.size(), static_cast<size_t>(Opt::Count));
    for (const OptionRow& row : SampleOptions::rows) {
        const OptionEntry& entry = table.entries[row.position];
        EXPECT_STREQ(entry.name, row.name);
        EXPECT_EQ(entry.flags, row.flags) << row.name;
        EXPECT_EQ(entry.value, std::nullopt) << row.name;
    }
    EXPECT_TRUE(table.marks.empty());
    EXPECT_EQ(table.count, 0);
}

struct ArgumentRow {
    const char* name;
    const char* argument;
    bool expected;
};

// A failing row shows its argument escaped.
void PrintTo(const ArgumentRow& row, std::ostream* out) {
    *out << row.name << ": " << (row.argument ? ::testing::PrintToString(std::string(row.argument)) : "<null>");
}

class LooksLikeOptionTest : public ::testing::TestWithParam<ArgumentRow> {};

TEST_P(LooksLikeOptionTest, ADashWordWithoutWhiteSpace) {
    EXPECT_EQ(looksLikeOption(GetParam().argument), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LooksLikeOptionTest,
    ::testing::Values(ArgumentRow{"ADashWord", "-servicename", true}, ArgumentRow{"ALoneDash", "-", true},
                      ArgumentRow{"TwoDashes", "--x", true}, ArgumentRow{"NoDash", "servicename", false},
                      ArgumentRow{"ASlash", "/servicename", false}, ArgumentRow{"ABlank", "-a b", false},
                      ArgumentRow{"ATab", "-a\tb", false}, ArgumentRow{"ALineFeed", "-a\n", false},
                      ArgumentRow{"AVerticalTab", "-a\v", false}, ArgumentRow{"AFormFeed", "-a\f", false},
                      ArgumentRow{"ACarriageReturn", "-a\r", false}, ArgumentRow{"Empty", "", false},
                      ArgumentRow{"Absent", nullptr, false}),
    rowName<ArgumentRow>);

TEST(FindOption, WholeNamesInAnyLetterCaseButNoAbbreviations) {
    OptionTable table = sampleTable();
    EXPECT_EQ(findOption(table, "-servicename"), Opt::ServiceName);
    EXPECT_EQ(findOption(table, "-SERVICENAME"), Opt::ServiceName);
    EXPECT_EQ(findOption(table, "-ServiceName"), Opt::ServiceName);
    EXPECT_EQ(findOption(table, "-service"), -1);
    EXPECT_EQ(findOption(table, "-servicenamex"), -1);
    EXPECT_EQ(findOption(table, "servicename"), -1);
    EXPECT_EQ(findOption(table, "-"), -1);
}

TEST_F(OptionsTest, ValuesArePresentAndTakenFromTheNextArgument) {
    ASSERT_EQ(parse({"-ServiceName", "node1", "-debug"}), 1);
    EXPECT_TRUE(isOptionSet(table, Opt::ServiceName));
    EXPECT_EQ(getOptionValue(table, Opt::ServiceName), std::string("node1"));
    EXPECT_TRUE(isOptionSet(table, Opt::Debug));
    EXPECT_FALSE(isOptionSet(table, Opt::Help));
    EXPECT_EQ(getOptionValue(table, Opt::Help), std::nullopt);
    EXPECT_EQ(unknown(), std::nullopt);
}

struct MissingValueRow {
    const char* name;
    std::vector<std::string> args;
    std::string message;
};

class MissingValueTest : public OptionsTest, public ::testing::WithParamInterface<MissingValueRow> {};

TEST_P(MissingValueTest, FailsNamingTheOptionAsTheTableSpellsIt) {
    EXPECT_EQ(parse(GetParam().args), 0);
    EXPECT_EQ(err(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MissingValueTest,
    ::testing::Values(
        MissingValueRow{"AtTheEndInCapitals", {"-SERVICENAME"},
                        "Parameter -servicename needs to be followed by an argument.\n"},
        MissingValueRow{"BeforeADashWord", {"-startargs", "-Dx"},
                        "Parameter -startargs needs to be followed by an argument.\n"},
        MissingValueRow{"BeforeAnOption", {"-servicename", "-debug"},
                        "Parameter -servicename needs to be followed by an argument.\n"},
        MissingValueRow{"AfterHelp", {"-help", "-userid"}, "Parameter -userid needs to be followed by an argument.\n"},
        // The arguments after the first failing option are not looked at.
        MissingValueRow{"OnlyTheFirstFailure", {"-userid", "-password"},
                        "Parameter -userid needs to be followed by an argument.\n"}),
    rowName<MissingValueRow>);

TEST_F(OptionsTest, AValueThatBeginsWithADashIsAcceptedOnlyWithWhiteSpaceInIt) {
    ASSERT_EQ(parse({"-startargs", "-Dx -Dy"}), 1);
    EXPECT_EQ(getOptionValue(table, Opt::StartArgs), std::string("-Dx -Dy"));
}

// An option whose row says OPTION_VALUE_ANY takes the next argument whatever it begins with;
// the rule of every other option stays (MissingValueTest above).
struct AnyValueRow {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> value;  // absent: the parse fails
    std::optional<std::string> unknown;
};

class AnyValueTest : public OptionsTest, public ::testing::WithParamInterface<AnyValueRow> {};

TEST_P(AnyValueTest, TheNextArgumentIsTheValue) {
    const AnyValueRow& row = GetParam();
    EXPECT_EQ(parse(row.args), row.value ? 1 : 0);
    if (!row.value) {
        EXPECT_EQ(err(), "Parameter -fragment needs to be followed by an argument.\n");
        return;
    }
    EXPECT_EQ(getOptionValue(table, Opt::Fragment), row.value);
    EXPECT_EQ(unknown(), row.unknown);
    EXPECT_FALSE(isOptionSet(table, Opt::Debug));
    EXPECT_EQ(err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AnyValueTest,
    ::testing::Values(AnyValueRow{"ADashWord", {"-fragment", "-Xmx512m"}, std::string("-Xmx512m"), std::nullopt},
                      AnyValueRow{"ALoneDash", {"-fragment", "-"}, std::string("-"), std::nullopt},
                      AnyValueRow{"AKnownOptionsName", {"-fragment", "-debug", "x"}, std::string("-debug"),
                                  std::string("x ")},
                      AnyValueRow{"InCapitals", {"-FRAGMENT", "-noPid"}, std::string("-noPid"), std::nullopt},
                      AnyValueRow{"AnEmptyValue", {"-fragment", ""}, std::string(""), std::nullopt},
                      AnyValueRow{"NothingAfterIt", {"-servicename", "x", "-fragment"}, std::nullopt, std::nullopt}),
    rowName<AnyValueRow>);

TEST_F(OptionsTest, AnOptionalValueIsTakenWhenSuitableAndOtherwiseLeftAbsent) {
    ASSERT_EQ(parse({"-encodeparams", "yes", "-servicename", "x"}), 1);
    EXPECT_EQ(getOptionValue(table, Opt::EncodeParams), std::string("yes"));
    EXPECT_EQ(unknown(), std::nullopt);

    table = sampleTable();
    ASSERT_EQ(parse({"-encodeparams", "-servicename", "x"}), 1);
    EXPECT_TRUE(isOptionSet(table, Opt::EncodeParams));
    EXPECT_EQ(getOptionValue(table, Opt::EncodeParams), std::nullopt);

    table = sampleTable();
    ASSERT_EQ(parse({"-servicename", "x", "-encodeparams"}), 1);
    EXPECT_TRUE(isOptionSet(table, Opt::EncodeParams));
    EXPECT_EQ(err(), "");
}

TEST_F(OptionsTest, TheCandidateIsNotLookedUpInTheTable) {
    ASSERT_EQ(parse({"-servicename", "help"}), 1);
    EXPECT_EQ(getOptionValue(table, Opt::ServiceName), std::string("help"));
    EXPECT_FALSE(isOptionSet(table, Opt::Help));
}

TEST_F(OptionsTest, AnOptionWithoutValueNeverConsumesTheNextArgument) {
    ASSERT_EQ(parse({"-help", "extra"}), 1);
    EXPECT_TRUE(isOptionSet(table, Opt::Help));
    EXPECT_EQ(unknown(), std::string("extra "));
}

TEST_F(OptionsTest, TheLastOccurrenceWins) {
    ASSERT_EQ(parse({"-servicename", "a", "-servicename", "b"}), 1);
    EXPECT_EQ(getOptionValue(table, Opt::ServiceName), std::string("b"));
}

struct UnknownRow {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> expected;
};

class UnknownParamsTest : public OptionsTest, public ::testing::WithParamInterface<UnknownRow> {};

TEST_P(UnknownParamsTest, UnrecognisedArgumentsAreEachFollowedByOneBlank) {
    ASSERT_EQ(parse(GetParam().args), 1);
    EXPECT_EQ(unknown(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UnknownParamsTest,
    ::testing::Values(UnknownRow{"NoArguments", {}, std::nullopt},
                      UnknownRow{"TwoWords", {"a", "b"}, std::string("a b ")},
                      UnknownRow{"ASlashOption", {"/servicename", "x"}, std::string("/servicename x ")},
                      UnknownRow{"AnAbbreviation", {"-service", "x"}, std::string("-service x ")},
                      UnknownRow{"AnOptionWithItsValueInOneArgument", {"-servicename x"},
                                 std::string("-servicename x ")},
                      UnknownRow{"OneWord", {"foo"}, std::string("foo ")},
                      UnknownRow{"AnEmptyArgument", {""}, std::string(" ")},
                      UnknownRow{"OnlyKnownOptions", {"-servicename", "x", "-debug"}, std::nullopt}),
    rowName<UnknownRow>);

TEST_F(OptionsTest, OptionArgumentsFormatWithTheTableName) {
    ASSERT_EQ(parse({"-USERID", "admin"}), 1);
    EXPECT_EQ(formatOptionArgument(table, Opt::Userid), "-userid admin");
    EXPECT_EQ(formatOptionArgument(table, Opt::Password), "");
}

struct ExtraParamsRow {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> line;
    std::optional<std::string> traced;
};

class ExtraParamsTest : public OptionsTest, public ::testing::WithParamInterface<ExtraParamsRow> {};

TEST_P(ExtraParamsTest, TheExtraParametersLine) {
    const ExtraParamsRow& row = GetParam();
    ASSERT_EQ(parse(row.args), 1);
    EXPECT_EQ(buildExtraParams(table, unknown(), Opt::Userid, Opt::Password), row.line);
    EXPECT_EQ(buildTracedExtraParams(table, unknown(), Opt::Userid, Opt::Password), row.traced);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ExtraParamsTest,
    ::testing::Values(
        ExtraParamsRow{"Nothing", {"-servicename", "s"}, std::nullopt, std::nullopt},
        ExtraParamsRow{"WordsAndAUser", {"x", "y", "-userid", "admin"}, std::string("x y  -userid admin "),
                       std::string("x y  -userid admin ")},
        ExtraParamsRow{"APassword", {"-password", "secret"}, std::string("  -password secret"),
                       std::string("  -password ********")},
        ExtraParamsRow{"AWord", {"x"}, std::string("x   "), std::string("x   ")},
        ExtraParamsRow{"AUserAndAPasswordWithABlank", {"-userid", "u", "-password", "p w"},
                       std::string(" -userid u -password p w"), std::string(" -userid u -password ********")}),
    rowName<ExtraParamsRow>);

}  // namespace
}  // namespace vornel::testing
