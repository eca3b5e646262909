#include "common/naming.h"

#include <gtest/gtest.h>

namespace vornel {
namespace {

TEST(Naming, TheFullServiceNameIsPrefixSeparatorAndTheShortNameAsTyped) {
    struct Case {
        std::optional<std::string> shortName;
        std::string expected;
    } cases[] = {
        {std::string("node1"), "OrvikTamberVornel6100AgentService - node1"},
        {std::string("NODE1"), "OrvikTamberVornel6100AgentService - NODE1"},
        {std::string("a b-c"), "OrvikTamberVornel6100AgentService - a b-c"},
        {std::string(""), "OrvikTamberVornel6100AgentService - "},
        {std::nullopt, ""},
        {std::string(2000, 'n'), "OrvikTamberVornel6100AgentService - " + std::string(2000, 'n')},
    };
    for (const Case& c : cases) EXPECT_EQ(getFullServiceName(c.shortName), c.expected);
}

TEST(Naming, TheDisplayNameCarriesTheProductTextUnlessToldNot) {
    EXPECT_EQ(getDisplayName(std::string("node1"), true), "Orvik Halcyra Dravenmoor Version 6.1.0.0 - node1");
    EXPECT_EQ(getDisplayName(std::string("node1"), false), "node1");
    EXPECT_EQ(getDisplayName(std::nullopt, true), "");
    EXPECT_EQ(getDisplayName(std::nullopt, false), "");
}

TEST(Naming, RecognisingAServiceKeyComparesThePrefixCaseSensitively) {
    struct Case {
        std::string keyName;
        bool recognised;
        std::string shortName;
    } cases[] = {
        {"OrvikTamberVornel6100AgentService - node1", true, "node1"},
        {"OrvikTamberVornel6100AgentService - Node 1", true, "Node 1"},
        {"OrvikTamberVornel6100AgentServiceXYZabc", true, "abc"},  // the separator is skipped, not checked
        {"OrvikTamberVornel6100AgentService - ", true, ""},
        {"OrvikTamberVornel6100AgentService", true, ""},
        {"orviktambervornel6100agentservice - node1", false, ""},
        {"OrvikTamberVornel6100Agent", false, ""},
        {"EventLog", false, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isAgentServiceKeyName(c.keyName), c.recognised) << c.keyName;
        if (c.recognised) {
            EXPECT_EQ(shortNameFromKeyName(c.keyName), c.shortName) << c.keyName;
        }
    }
}

}  // namespace
}  // namespace vornel
