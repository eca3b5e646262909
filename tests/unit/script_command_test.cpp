// The scripts' command lines as the host composes them, their length as the command
// interpreter counts it, and the paths the installer accepts as absolute.
#include "common/directories.h"
#include "common/script_command.h"
#include "common/text.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

struct LineRow {
    const char* name;
    AgentScriptKind script;
    ScriptCommandParts parts;
    std::string line;
    size_t length;
};

class ScriptCommandLineTest : public ::testing::TestWithParam<LineRow> {};

TEST_P(ScriptCommandLineTest, IsTheHostsLineAndItsLengthInUtf16Units) {
    const LineRow& row = GetParam();
    EXPECT_EQ(composeScriptCommandLine(row.script, row.parts), row.line);
    EXPECT_EQ(scriptCommandLineLength(row.script, row.parts), row.length);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScriptCommandLineTest,
    ::testing::Values(
        LineRow{"StartWithEverything", AgentScriptKind::Start,
                {"C:\\agent\\", std::string("agent1"), std::string("-Dx -Dy"), std::string("C:\\logs\\a.log")},
                "\"C:\\agent\\bin\\startAgent.bat\"  \"agent1\" -Dx -Dy > \"C:\\logs\\a.log\"", 65},
        LineRow{"StopAppendsToTheLog", AgentScriptKind::Stop,
                {"C:\\agent\\", std::string("agent1"), std::nullopt, std::string("C:\\logs\\a.log")},
                "\"C:\\agent\\bin\\stopAgent.bat\"  \"agent1\" >> \"C:\\logs\\a.log\"", 57},
        LineRow{"NoNameArgumentsOrLog", AgentScriptKind::Start, {"C:\\agent\\", std::nullopt, std::nullopt, std::nullopt},
                "\"C:\\agent\\bin\\startAgent.bat\" ", 30},
        LineRow{"EmptyArgumentsKeepTheirBlank", AgentScriptKind::Start,
                {"C:\\agent\\", std::string("a"), std::string(""), std::nullopt},
                "\"C:\\agent\\bin\\startAgent.bat\"  \"a\" ", 35},
        // Ж is two bytes and one unit; an emoji four bytes and two units.
        LineRow{"UnitsNotBytes", AgentScriptKind::Start,
                {"C:\\\xD0\x96\\", std::string("\xF0\x9F\x98\x80"), std::nullopt, std::nullopt},
                "\"C:\\\xD0\x96\\bin\\startAgent.bat\"  \"\xF0\x9F\x98\x80\"", 31}),
    rowName<LineRow>);

TEST(Utf16Length, AByteThatIsNoUtf8CountsAsOneCharacter) {
    EXPECT_EQ(utf16Length(""), 0u);
    EXPECT_EQ(utf16Length("\xFF\xD0"), 2u);             // a stray byte, a sequence cut short
    EXPECT_EQ(utf16Length("\xE4\xB8\xAD\x41"), 2u);      // 中A
}

struct RootRow {
    const char* name;
    std::string path;
    size_t root;
};

class AbsoluteRootTest : public ::testing::TestWithParam<RootRow> {};

TEST_P(AbsoluteRootTest, ADriveOrAShare) { EXPECT_EQ(absoluteRootLength(GetParam().path), GetParam().root); }

INSTANTIATE_TEST_SUITE_P(
    Rows, AbsoluteRootTest,
    ::testing::Values(RootRow{"ADrive", "C:\\agent\\", 3}, RootRow{"ASmallDriveLetter", "d:\\", 3},
                      RootRow{"AShare", "\\\\server\\share\\agent\\", 15}, RootRow{"AShareAlone", "\\\\srv\\s\\", 8},
                      RootRow{"ARelativePath", "adv\\h\\rel\\", 0}, RootRow{"ADriveRelativePath", "C:agent\\", 0},
                      RootRow{"ASlashAfterTheDrive", "C:/agent/", 0}, RootRow{"TheCurrentDrivesRoot", "\\agent\\", 0},
                      RootRow{"AServerWithoutAShare", "\\\\server\\", 0}, RootRow{"AnEmptyShare", "\\\\server\\\\", 0},
                      RootRow{"ADevicePath", "\\\\?\\C:\\agent\\", 0}, RootRow{"TheLocalDevices", "\\\\.\\pipe\\", 0},
                      RootRow{"NoLetter", "1:\\", 0}, RootRow{"Empty", "", 0}),
    rowName<RootRow>);

}  // namespace
}  // namespace vornel::testing
