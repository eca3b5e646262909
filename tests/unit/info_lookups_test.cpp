// The info tool's registry lookups on the in-memory Windows: the three lookups by service
// name and the reverse lookup's search rules.
#include "info/info_lookups.h"

#include "installed_service.h"
#include "letter_case.h"
#include "test_support.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;
using Kind = LookupResult::Kind;

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kPrefix = "OrvikTamberVornel6100AgentService";
const std::string kHome = "C:\\agents\\one\\";

using InfoLookupsTest = MemoryTest;

// A service of the agent agent1 in C:\agents\one\, as installed.
InstalledService agent1(const std::string& shortName) { return InstalledService(shortName).agentHome(kHome); }

TEST_F(InfoLookupsTest, TheThreeKindsOfResultStayApart) {
    InstalledService("node1").agentHome("").logRoot(std::nullopt).install(os);
    EXPECT_EQ(getAgentName(os, std::string("node1")).kind, Kind::Value);
    EXPECT_EQ(getAgentName(os, std::string("node1")).text, "agent1");
    EXPECT_EQ(getAgentHome(os, std::string("node1")).kind, Kind::Value);  // stored empty
    EXPECT_EQ(getServiceLogRoot(os, std::string("node1")).kind, Kind::Unreadable);
    EXPECT_EQ(getAgentName(os, std::string("other")).kind, Kind::Unreadable);
    EXPECT_EQ(getAgentName(os, std::nullopt).kind, Kind::Nothing);
    EXPECT_EQ(getServiceName(os, std::string("agent1"), std::string("x")).kind, Kind::Nothing);
    EXPECT_STREQ(shownText(LookupResult::unreadable()), "<null>");
    EXPECT_STREQ(shownText(LookupResult::nothing()), "");
    EXPECT_STREQ(shownText(LookupResult::value("")), "");
    EXPECT_EQ(os.callCount(Op::RegOpenKey), 6u) << "every lookup but the one without a name checks the services key";
}

TEST_F(InfoLookupsTest, ALookupByServiceNameTracesItsStepsInItsOwnWords) {
    agent1("node1").logRoot(std::nullopt).install(os);
    const std::string full = kPrefix + " - node1";
    enableTrace();
    getAgentName(os, std::string("node1"));
    EXPECT_EQ(trace().back(), "VornelAgentServiceInfo.getAgentName - returning agent name = agent1");
    getAgentHome(os, std::string("node1"));
    EXPECT_EQ(trace().back(), "VornelAgentServiceInfo.getAgentHome - returning agent home = " + kHome);
    size_t before = trace().size();
    getServiceLogRoot(os, std::string("node1"));
    getAgentHome(os, std::nullopt);
    std::vector<std::string> lines = trace();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(lines, (std::vector<std::string>{
                           "VornelAgentServiceInfo.getServiceLogRoot - entry  service name = node1",
                           "VornelAgentServiceInfo.getServiceLogRoot - full service name = " + full,
                           "CommonVornelAgentService - getRegistryValue - regKey = " + kServices + full +
                               "\\Parameters\\",
                           "CommonVornelAgentService - getRegistryValue - attr = AgentLogRoot",
                           "CommonVornelAgentService - getRegistryValue - failure to get value",
                           "VornelAgentServiceInfo.getServiceLogRoot - returning log root = <null>",
                           "VornelAgentServiceInfo.getAgentHome - entry  service name = <null>",
                           "VornelAgentServiceInfo.getAgentHome - exit service name = null",
                       }));
}

struct ReverseRule {
    const char* name;
    std::vector<InstalledService> services;
    std::string agentName, agentHome;
    Kind kind;
    std::string shortName;
};

class ReverseLookupRuleTest : public InfoLookupsTest, public ::testing::WithParamInterface<ReverseRule> {};

TEST_P(ReverseLookupRuleTest, FindsTheServiceOfTheAgent) {
    const ReverseRule& rule = GetParam();
    for (const InstalledService& service : rule.services) service.install(os);
    LookupResult result = getServiceName(os, rule.agentName, rule.agentHome);
    EXPECT_EQ(result.kind, rule.kind);
    EXPECT_EQ(result.text, rule.shortName);
    EXPECT_EQ(os.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReverseLookupRuleTest,
    ::testing::Values(
        ReverseRule{"NameAndHomeIgnoreLetterCase",
                    {InstalledService("node1").agentName("Agent1").agentHome("C:\\Agents\\One\\")},
                    "aGENT1", "c:\\agents\\ONE\\", Kind::Value, "node1"},
        ReverseRule{"AFinalSeparatorMakesHomesDiffer", {agent1("node1")}, "agent1", "C:\\agents\\one",
                    Kind::Nothing, ""},
        ReverseRule{"SeparatorsAreNotNormalised", {agent1("node1")}, "agent1", "C:/agents/one/", Kind::Nothing, ""},
        ReverseRule{"NothingIsTrimmed", {agent1("node1")}, "agent1 ", kHome, Kind::Nothing, ""},
        ReverseRule{"TheFirstMatchInEnumerationOrderWins", {agent1("b"), agent1("A"), agent1("c")}, "agent1", kHome,
                    Kind::Value, "A"},
        ReverseRule{"ThePrefixIsComparedCaseSensitively",
                    {agent1("node1").fullName("orviktambervornel6100agentservice - node1")}, "agent1", kHome,
                    Kind::Nothing, ""},
        ReverseRule{"KeysWithoutThePrefixAreNotLookedAt", {agent1("node1").fullName("Other - node1")}, "agent1",
                    kHome, Kind::Nothing, ""},
        ReverseRule{"AKeyOfOnlyThePrefixAndSeparatorGivesTheEmptyShortName", {agent1("")}, "agent1", kHome,
                    Kind::Value, ""},
        ReverseRule{"TheSeparatorIsSkippedWithoutBeingCompared", {agent1("node 2").fullName(kPrefix + "XYZnode 2")},
                    "agent1", kHome, Kind::Value, "node 2"},
        ReverseRule{"TheShortNameIsReturnedAsTheKeySpellsIt", {agent1("Node-1 West")}, "agent1", kHome, Kind::Value,
                    "Node-1 West"},
        ReverseRule{"AServiceWithoutAgentNameIsPassedOver", {agent1("a").agentName(std::nullopt), agent1("b")},
                    "agent1", kHome, Kind::Value, "b"},
        ReverseRule{"AServiceWithoutAgentHomeIsPassedOver", {agent1("a").agentHome(std::nullopt), agent1("b")},
                    "agent1", kHome, Kind::Value, "b"},
        ReverseRule{"AHalfInstalledServiceAloneFindsNothing",
                    {agent1("a").agentName(std::nullopt).agentHome(std::nullopt)}, "agent1", kHome, Kind::Nothing,
                    ""}),
    rowName<ReverseRule>);

TEST_F(InfoLookupsTest, TheReverseLookupTracesEveryKeyItLooksAt) {
    agent1("alpha").fullName("Alpha").install(os);
    agent1("half").agentName(std::nullopt).install(os);
    agent1("node1").install(os);
    agent1("node2").install(os);
    enableTrace();
    LookupResult result = getServiceName(os, std::string("agent1"), kHome);
    EXPECT_EQ(result.text, "node1");
    std::vector<std::string> lines;
    for (const std::string& line : trace()) {
        if (line.rfind("VornelAgentServiceInfo.", 0) == 0) lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "VornelAgentServiceInfo.getServiceName - entry  agent name = agent1, agent home = " + kHome,
                         "VornelAgentServiceInfo.getServiceName - there are 5 keys",
                         "VornelAgentServiceInfo.getServiceName - subkey(0) = Alpha",
                         "VornelAgentServiceInfo.getServiceName - subkey(1) = EventLog",
                         "VornelAgentServiceInfo.getServiceName - subkey(2) = " + kPrefix + " - half",
                         "VornelAgentServiceInfo.getServiceName - found agent subkey (2) = " + kPrefix + " - half",
                         "VornelAgentServiceInfo.getServiceName - found agent name = <null>",
                         "VornelAgentServiceInfo.getServiceName - subkey(3) = " + kPrefix + " - node1",
                         "VornelAgentServiceInfo.getServiceName - found agent subkey (3) = " + kPrefix + " - node1",
                         "VornelAgentServiceInfo.getServiceName - found agent name = agent1",
                         "VornelAgentServiceInfo.getServiceName - found agent home = " + kHome,
                         "VornelAgentServiceInfo.getServiceName - returning service name = node1",
                     }));
}

struct EarlyEnd {
    const char* name;
    std::optional<std::string> agentName, agentHome;
    Op failing;
    std::string lastLine;
};

class ReverseLookupEarlyEndTest : public InfoLookupsTest, public ::testing::WithParamInterface<EarlyEnd> {};

TEST_P(ReverseLookupEarlyEndTest, EndsEarlyWhenItCannotSearch) {
    const EarlyEnd& c = GetParam();
    agent1("node1").install(os);
    enableTrace();
    if (c.failing != Op::Count) os.failNext(c.failing, win::kErrorAccessDenied);
    LookupResult result = getServiceName(os, c.agentName, c.agentHome);
    EXPECT_EQ(result.kind, Kind::Nothing);
    EXPECT_EQ(trace().back(), c.lastLine);
    EXPECT_EQ(os.callCount(Op::RegEnumKey), 0u);
    EXPECT_EQ(os.openHandleCount(), 0u);
    EXPECT_EQ(out(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReverseLookupEarlyEndTest,
    ::testing::Values(
        EarlyEnd{"NoAgentName", std::nullopt, kHome, Op::Count,
                 "VornelAgentServiceInfo.getServiceName - exit - agent name = null"},
        EarlyEnd{"NoAgentHome", "agent1", std::nullopt, Op::Count,
                 "VornelAgentServiceInfo.getServiceName - exit - agent home = null"},
        EarlyEnd{"NoServicesKey", "agent1", kHome, Op::RegOpenKey,
                 "VornelAgentServiceInfo.getServiceName - exit - failure to locate registry base key"},
        EarlyEnd{"NoKeyCount", "agent1", kHome, Op::RegQueryInfoKey,
                 "VornelAgentServiceInfo.getServiceName - exit - failure to locate number of keys"}),
    rowName<EarlyEnd>);

TEST_F(InfoLookupsTest, AKeyThatCannotBeEnumeratedIsPassedOverSilently) {
    agent1("a").install(os);
    agent1("b").install(os);
    // The key at index 1 (the first service, after EventLog) fails once; the search goes on.
    os.resetCalls();
    os.failCall(4, win::kErrorMoreData);  // open, count, enumerate 0, enumerate 1
    enableTrace();
    EXPECT_EQ(getServiceName(os, std::string("agent1"), kHome).text, "b");
    for (const std::string& line : trace()) EXPECT_EQ(line.find("subkey(1)"), std::string::npos) << line;
}

}  // namespace
}  // namespace vornel::testing

namespace vornel::testing {
namespace {

// The reproduction: АГЕНТ and a home in other case answered an empty name.
class ReverseLookupLetterCaseTest : public MemoryTest, public ::testing::WithParamInterface<LetterCaseRow> {};

TEST_P(ReverseLookupLetterCaseTest, NamesAndHomesCompareWithoutCaseInAnyLanguage) {
    const LetterCaseRow& row = GetParam();
    InstalledService("node1").agentName(row.stored).agentHome("C:\\" + row.stored + "\\").install(os);
    LookupResult result = getServiceName(os, row.given, "C:\\" + row.stored + "\\");
    EXPECT_EQ(result.text, row.same ? "node1" : "");
    result = getServiceName(os, row.stored, "C:\\" + row.given + "\\");
    EXPECT_EQ(result.text, row.same ? "node1" : "");
}

INSTANTIATE_TEST_SUITE_P(Rows, ReverseLookupLetterCaseTest, kLetterCaseRows, rowName<LetterCaseRow>);

}  // namespace
}  // namespace vornel::testing
