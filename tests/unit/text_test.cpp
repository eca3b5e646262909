#include "common/text.h"

#include "test_support.h"

namespace vornel::testing {
namespace {

struct CaseRow {
    const char* name;
    const char* a;
    const char* b;
    bool equal;
};

// A failing row shows both texts escaped.
void PrintTo(const CaseRow& row, std::ostream* out) {
    *out << row.name << ": " << ::testing::PrintToString(std::string(row.a)) << " / "
         << ::testing::PrintToString(std::string(row.b));
}

class EqualsIgnoringCaseTest : public ::testing::TestWithParam<CaseRow> {};

TEST_P(EqualsIgnoringCaseTest, FoldsAsciiLettersOnly) {
    EXPECT_EQ(equalsIgnoringCase(GetParam().a, GetParam().b), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EqualsIgnoringCaseTest,
    ::testing::Values(CaseRow{"Word", "FALSE", "false", true}, CaseRow{"Path", "C:\\Agent\\", "c:\\agent\\", true},
                      CaseRow{"Empty", "", "", true}, CaseRow{"Longer", "abc", "abcd", false},
                      CaseRow{"OtherSeparators", "C:\\agent\\", "C:/agent/", false},
                      CaseRow{"ATrailingBlank", "agent ", "agent", false},
                      // Letters outside ASCII, and the characters 32 apart from [ and @, are not folded.
                      CaseRow{"ALetterOutsideAscii", "\xC4", "\xE4", false},
                      CaseRow{"BracketAndBrace", "[", "{", false}, CaseRow{"AtAndBacktick", "@", "`", false}),
    rowName<CaseRow>);

}  // namespace
}  // namespace vornel::testing
