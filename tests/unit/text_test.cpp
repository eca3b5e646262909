#include "common/text.h"

#include <gtest/gtest.h>

namespace vornel {
namespace {

TEST(EqualsIgnoringCase, FoldsAsciiLettersOnly) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"FALSE", "false", true},    {"C:\\Agent\\", "c:\\agent\\", true}, {"", "", true},
        {"abc", "abcd", false},       {"C:\\agent\\", "C:/agent/", false},   {"agent ", "agent", false},
        {"\xC4", "\xE4", false},      {"[", "{", false},                    {"@", "`", false},
    };
    for (const Case& c : cases) EXPECT_EQ(equalsIgnoringCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

}  // namespace
}  // namespace vornel
