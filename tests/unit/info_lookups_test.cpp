// The info tool's registry lookups on the in-memory Windows: the three lookups by service
// name and the reverse lookup's search rules.
#include "info/info_lookups.h"

#include <tuple>

#include "test_support.h"

namespace vornel::testing {
namespace {

using Op = MemoryPlatform::Op;
using Kind = LookupResult::Kind;

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kPrefix = "OrvikTamberVornel6100AgentService";
const std::string kHome = "C:\\agents\\one\\";

using InfoLookupsTest = MemoryTest;

// A child key of the services key as enumerated, with the values given (an absent one is not
// written).
void addKey(MemoryPlatform& os, const std::string& keyName, const std::optional<std::string>& agentName,
            const std::optional<std::string>& agentHome) {
    const std::string parameters = kServices + keyName + "\\Parameters";
    os.createKey(parameters);
    if (agentName) os.setString(parameters, "AgentName", *agentName);
    if (agentHome) os.setString(parameters, "AgentHome", *agentHome);
}

void addService(MemoryPlatform& os, const std::string& shortName, const std::optional<std::string>& agentName,
                const std::optional<std::string>& agentHome) {
    addKey(os, kPrefix + " - " + shortName, agentName, agentHome);
}

TEST_F(InfoLookupsTest, TheThreeKindsOfResultStayApart) {
    addService(os, "node1", "agent1", "");
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
    addService(os, "node1", "agent1", kHome);
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

TEST_F(InfoLookupsTest, TheReverseLookupsRules) {
    struct Case {
        const char* rule;
        std::vector<std::tuple<std::string, std::optional<std::string>, std::optional<std::string>>> keys;
        std::string agentName, agentHome;
        Kind kind;
        std::string shortName;
    } cases[] = {
        {"name and home ignore letter case",
         {{kPrefix + " - node1", "Agent1", "C:\\Agents\\One\\"}}, "aGENT1", "c:\\agents\\ONE\\", Kind::Value, "node1"},
        {"a final separator makes homes differ",
         {{kPrefix + " - node1", "agent1", kHome}}, "agent1", "C:\\agents\\one", Kind::Nothing, ""},
        {"separators are not normalised",
         {{kPrefix + " - node1", "agent1", kHome}}, "agent1", "C:/agents/one/", Kind::Nothing, ""},
        {"nothing is trimmed",
         {{kPrefix + " - node1", "agent1", kHome}}, "agent1 ", kHome, Kind::Nothing, ""},
        {"the first match in enumeration order wins",
         {{kPrefix + " - b", "agent1", kHome}, {kPrefix + " - A", "agent1", kHome}, {kPrefix + " - c", "agent1", kHome}},
         "agent1", kHome, Kind::Value, "A"},
        {"the prefix is compared case-sensitively",
         {{"orviktambervornel6100agentservice - node1", "agent1", kHome}}, "agent1", kHome, Kind::Nothing, ""},
        {"keys without the prefix are not looked at",
         {{"Other - node1", "agent1", kHome}}, "agent1", kHome, Kind::Nothing, ""},
        {"a key of only the prefix and separator gives the empty short name",
         {{kPrefix + " - ", "agent1", kHome}}, "agent1", kHome, Kind::Value, ""},
        {"the separator is skipped without being compared",
         {{kPrefix + "XYZnode 2", "agent1", kHome}}, "agent1", kHome, Kind::Value, "node 2"},
        {"the short name is returned as the key spells it",
         {{kPrefix + " - Node-1 West", "agent1", kHome}}, "agent1", kHome, Kind::Value, "Node-1 West"},
        {"a service without AgentName is passed over",
         {{kPrefix + " - a", std::nullopt, kHome}, {kPrefix + " - b", "agent1", kHome}}, "agent1", kHome, Kind::Value,
         "b"},
        {"a service without AgentHome is passed over",
         {{kPrefix + " - a", "agent1", std::nullopt}, {kPrefix + " - b", "agent1", kHome}}, "agent1", kHome,
         Kind::Value, "b"},
        {"a half-installed service alone finds nothing",
         {{kPrefix + " - a", std::nullopt, std::nullopt}}, "agent1", kHome, Kind::Nothing, ""},
    };
    for (const Case& c : cases) {
        MemoryPlatform fresh;
        for (const auto& [keyName, agentName, agentHome] : c.keys) addKey(fresh, keyName, agentName, agentHome);
        LookupResult result = getServiceName(fresh, c.agentName, c.agentHome);
        EXPECT_EQ(result.kind, c.kind) << c.rule;
        EXPECT_EQ(result.text, c.shortName) << c.rule;
        EXPECT_EQ(fresh.openHandleCount(), 0u) << c.rule;
    }
}

TEST_F(InfoLookupsTest, TheReverseLookupTracesEveryKeyItLooksAt) {
    addKey(os, "Alpha", "agent1", kHome);
    addService(os, "half", std::nullopt, kHome);
    addService(os, "node1", "agent1", kHome);
    addService(os, "node2", "agent1", kHome);
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

TEST_F(InfoLookupsTest, TheReverseLookupEndsEarlyWhenItCannotSearch) {
    addService(os, "node1", "agent1", kHome);
    struct Case {
        std::optional<std::string> agentName, agentHome;
        Op failing;
        std::string lastLine;
    } cases[] = {
        {std::nullopt, kHome, Op::Count, "VornelAgentServiceInfo.getServiceName - exit - agent name = null"},
        {"agent1", std::nullopt, Op::Count, "VornelAgentServiceInfo.getServiceName - exit - agent home = null"},
        {"agent1", kHome, Op::RegOpenKey,
         "VornelAgentServiceInfo.getServiceName - exit - failure to locate registry base key"},
        {"agent1", kHome, Op::RegQueryInfoKey,
         "VornelAgentServiceInfo.getServiceName - exit - failure to locate number of keys"},
    };
    enableTrace();
    for (const Case& c : cases) {
        os.resetCalls();
        if (c.failing != Op::Count) os.failNext(c.failing, win::kErrorAccessDenied);
        LookupResult result = getServiceName(os, c.agentName, c.agentHome);
        EXPECT_EQ(result.kind, Kind::Nothing) << c.lastLine;
        EXPECT_EQ(trace().back(), c.lastLine);
        EXPECT_EQ(os.callCount(Op::RegEnumKey), 0u) << c.lastLine;
    }
    EXPECT_EQ(os.openHandleCount(), 0u);
    EXPECT_EQ(out(), "");
}

TEST_F(InfoLookupsTest, AKeyThatCannotBeEnumeratedIsPassedOverSilently) {
    addService(os, "a", "agent1", kHome);
    addService(os, "b", "agent1", kHome);
    // The key at index 1 (the first service, after EventLog) fails once; the search goes on.
    os.resetCalls();
    os.failCall(4, win::kErrorMoreData);  // open, count, enumerate 0, enumerate 1
    enableTrace();
    EXPECT_EQ(getServiceName(os, std::string("agent1"), kHome).text, "b");
    for (const std::string& line : trace()) EXPECT_EQ(line.find("subkey(1)"), std::string::npos) << line;
}

}  // namespace
}  // namespace vornel::testing
