#include "common/naming.h"

#include "test_support.h"

namespace vornel::testing {
namespace {

struct FullNameRow {
    const char* name;
    std::optional<std::string> shortName;
    std::string expected;
};

class FullServiceNameTest : public ::testing::TestWithParam<FullNameRow> {};

TEST_P(FullServiceNameTest, IsPrefixSeparatorAndTheShortNameAsTyped) {
    EXPECT_EQ(getFullServiceName(GetParam().shortName), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FullServiceNameTest,
    ::testing::Values(
        FullNameRow{"LowerCase", std::string("node1"), "OrvikTamberVornel6100AgentService - node1"},
        FullNameRow{"Capitals", std::string("NODE1"), "OrvikTamberVornel6100AgentService - NODE1"},
        FullNameRow{"BlankAndDash", std::string("a b-c"), "OrvikTamberVornel6100AgentService - a b-c"},
        FullNameRow{"Empty", std::string(""), "OrvikTamberVornel6100AgentService - "},
        FullNameRow{"Absent", std::nullopt, ""},
        FullNameRow{"Long", std::string(2000, 'n'), "OrvikTamberVornel6100AgentService - " + std::string(2000, 'n')}),
    rowName<FullNameRow>);

TEST(Naming, TheDisplayNameCarriesTheProductTextUnlessToldNot) {
    EXPECT_EQ(getDisplayName(std::string("node1"), true), "Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1");
    EXPECT_EQ(getDisplayName(std::string("node1"), false), "node1");
    EXPECT_EQ(getDisplayName(std::nullopt, true), "");
    EXPECT_EQ(getDisplayName(std::nullopt, false), "");
}

struct KeyNameRow {
    const char* name;
    std::string keyName;
    bool recognised;
    std::string shortName;
};

class ServiceKeyNameTest : public ::testing::TestWithParam<KeyNameRow> {};

TEST_P(ServiceKeyNameTest, IsRecognisedByThePrefixComparedCaseSensitively) {
    const KeyNameRow& row = GetParam();
    EXPECT_EQ(isAgentServiceKeyName(row.keyName), row.recognised);
    if (row.recognised) {
        EXPECT_EQ(shortNameFromKeyName(row.keyName), row.shortName);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServiceKeyNameTest,
    ::testing::Values(
        KeyNameRow{"PrefixSeparatorName", "OrvikTamberVornel6100AgentService - node1", true, "node1"},
        KeyNameRow{"ANameWithABlank", "OrvikTamberVornel6100AgentService - Node 1", true, "Node 1"},
        // The separator is skipped, not checked.
        KeyNameRow{"AnySeparator", "OrvikTamberVornel6100AgentServiceXYZabc", true, "abc"},
        KeyNameRow{"NoShortName", "OrvikTamberVornel6100AgentService - ", true, ""},
        KeyNameRow{"ThePrefixAlone", "OrvikTamberVornel6100AgentService", true, ""},
        KeyNameRow{"ThePrefixInLowerCase", "orviktambervornel6100agentservice - node1", false, ""},
        KeyNameRow{"PartOfThePrefix", "OrvikTamberVornel6100Agent", false, ""},
        KeyNameRow{"AnotherKey", "EventLog", false, ""}),
    rowName<KeyNameRow>);

}  // namespace
}  // namespace vornel::testing
