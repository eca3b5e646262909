#include "common/command_line.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

struct ToolOptions {
    enum Option : size_t { ServiceName, Debug, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Debug, "debug", 0},
    };
};

OptionTable toolTable() { return optionTableOf<ToolOptions>(); }

using CommandLineTest = MemoryTest;

struct SetUpRow {
    const char* name;
    std::vector<std::string> args;
    bool traceOn;
    std::optional<std::string> unknown;
};

class CommandLineSetUpTest : public CommandLineTest, public ::testing::WithParamInterface<SetUpRow> {};

TEST_P(CommandLineSetUpTest, TheDebugOptionSetsTheTraceSwitchEitherWay) {
    const SetUpRow& row = GetParam();
    // Start from the opposite of what is expected.
    if (row.traceOn) {
        disableTrace();
    } else {
        enableTrace();
    }
    OptionTable table = toolTable();
    Argv argv(row.args);
    std::optional<std::string> unknown = "stale";
    ASSERT_TRUE(readCommandLine(table, argv.argc(), argv.argv(), ToolOptions::Debug, unknown));
    EXPECT_EQ(isTraceOn(), row.traceOn);
    EXPECT_EQ(unknown, row.unknown);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CommandLineSetUpTest,
    ::testing::Values(SetUpRow{"DebugInCapitals", {"tool.exe", "-servicename", "n", "-DEBUG"}, true, std::nullopt},
                      SetUpRow{"NoDebugAndAWord", {"tool.exe", "-servicename", "n", "x"}, false, "x "},
                      SetUpRow{"DebugAndTwoWords", {"tool.exe", "-debug", "a", "b"}, true, "a b "},
                      SetUpRow{"NoArguments", {"tool.exe"}, false, std::nullopt}),
    rowName<SetUpRow>);

TEST_F(CommandLineTest, AParseFailureLeavesTheSwitchAlone) {
    OptionTable table = toolTable();
    Argv argv{"tool.exe", "-debug", "-servicename"};
    std::optional<std::string> unknown;
    EXPECT_FALSE(readCommandLine(table, argv.argc(), argv.argv(), ToolOptions::Debug, unknown));
    EXPECT_FALSE(isTraceOn());
    EXPECT_EQ(err(), "Parameter -servicename needs to be followed by an argument.\n");
}

TEST_F(CommandLineTest, TheMissingServiceNameMessageHasNoLineEnd) {
    reportMissingServiceName();
    EXPECT_EQ(err(), "Required argument [-servicename] not specified!");
    EXPECT_EQ(out(), "");
}

TEST_F(CommandLineTest, TheUnrecognisedArgumentsStandInQuotesWithTheirBlanks) {
    reportUnrecognizedParameters("/x -y ");
    EXPECT_EQ(err(), "Unrecognized parameters encountered on the command line: '/x -y '\n");
    EXPECT_EQ(out(), "");
}

TEST_F(CommandLineTest, TheMissingAgentNameMessageGoesToTheStreamAsked) {
    reportMissingAgentName(Console::Err);
    EXPECT_EQ(err(), "Required argument [-agentname] not specified!");
    EXPECT_EQ(out(), "");
    reportMissingAgentName(Console::Out);
    EXPECT_EQ(out(), "Required argument [-agentname] not specified!");
    EXPECT_EQ(err(), "Required argument [-agentname] not specified!");
}

}  // namespace
}  // namespace vornel::testing
