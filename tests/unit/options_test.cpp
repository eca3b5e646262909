#include "common/options.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

struct SampleOptions {
    enum Option : size_t { ServiceName, Userid, Password, StartArgs, EncodeParams, Help, Debug, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Userid, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {StartArgs, "startargs", OPTION_VALUE_REQUIRED},
        {EncodeParams, "encodeparams", OPTION_VALUE_OPTIONAL},
        {Help, "help", 0},
        {Debug, "debug", 0},
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

TEST(LooksLikeOption, ADashWordWithoutWhiteSpace) {
    struct Case {
        const char* argument;
        bool expected;
    } cases[] = {{"-servicename", true}, {"-", true},         {"--x", true},     {"servicename", false},
                 {"/servicename", false}, {"-a b", false},   {"-a\tb", false},  {"-a\n", false},
                 {"-a\v", false},         {"-a\f", false},    {"-a\r", false},   {"", false},
                 {nullptr, false}};
    for (const Case& c : cases) EXPECT_EQ(looksLikeOption(c.argument), c.expected) << orNull(c.argument);
}

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

TEST_F(OptionsTest, AMissingRequiredValueFailsNamingTheOptionAsTheTableSpellsIt) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-SERVICENAME"}, "Parameter -servicename needs to be followed by an argument.\n"},
        {{"-startargs", "-Dx"}, "Parameter -startargs needs to be followed by an argument.\n"},
        {{"-servicename", "-debug"}, "Parameter -servicename needs to be followed by an argument.\n"},
        {{"-help", "-userid"}, "Parameter -userid needs to be followed by an argument.\n"},
        // The arguments after the first failing option are not looked at.
        {{"-userid", "-password"}, "Parameter -userid needs to be followed by an argument.\n"},
    };
    for (Case& c : cases) {
        table = sampleTable();
        std::string before = err();
        EXPECT_EQ(parse(c.args), 0);
        EXPECT_EQ(err().substr(before.size()), c.message);
    }
}

TEST_F(OptionsTest, AValueThatBeginsWithADashIsAcceptedOnlyWithWhiteSpaceInIt) {
    ASSERT_EQ(parse({"-startargs", "-Dx -Dy"}), 1);
    EXPECT_EQ(getOptionValue(table, Opt::StartArgs), std::string("-Dx -Dy"));
}

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

TEST_F(OptionsTest, UnrecognisedArgumentsAreEachFollowedByOneBlank) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> expected;
    } cases[] = {
        {{}, std::nullopt},
        {{"a", "b"}, std::string("a b ")},
        {{"/servicename", "x"}, std::string("/servicename x ")},
        {{"-service", "x"}, std::string("-service x ")},
        {{"-servicename x"}, std::string("-servicename x ")},
        {{"foo"}, std::string("foo ")},
        {{""}, std::string(" ")},
        {{"-servicename", "x", "-debug"}, std::nullopt},
    };
    for (Case& c : cases) {
        table = sampleTable();
        ASSERT_EQ(parse(c.args), 1);
        EXPECT_EQ(unknown(), c.expected);
    }
}

TEST_F(OptionsTest, OptionArgumentsFormatWithTheTableName) {
    ASSERT_EQ(parse({"-USERID", "admin"}), 1);
    EXPECT_EQ(formatOptionArgument(table, Opt::Userid), "-userid admin");
    EXPECT_EQ(formatOptionArgument(table, Opt::Password), "");
}

TEST_F(OptionsTest, TheExtraParametersLine) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> line;
        std::optional<std::string> traced;
    } cases[] = {
        {{"-servicename", "s"}, std::nullopt, std::nullopt},
        {{"x", "y", "-userid", "admin"}, std::string("x y  -userid admin "), std::string("x y  -userid admin ")},
        {{"-password", "secret"}, std::string("  -password secret"), std::string("  -password ********")},
        {{"x"}, std::string("x   "), std::string("x   ")},
        {{"-userid", "u", "-password", "p w"}, std::string(" -userid u -password p w"),
         std::string(" -userid u -password ********")},
    };
    for (Case& c : cases) {
        table = sampleTable();
        ASSERT_EQ(parse(c.args), 1);
        EXPECT_EQ(buildExtraParams(table, unknown(), Opt::Userid, Opt::Password), c.line);
        EXPECT_EQ(buildTracedExtraParams(table, unknown(), Opt::Userid, Opt::Password), c.traced);
    }
}

}  // namespace
}  // namespace vornel::testing
