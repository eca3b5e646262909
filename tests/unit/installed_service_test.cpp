// The service that the other programs' tests install must be the one the installer leaves:
// the installer runs on one in-memory Windows, InstalledService on another, and the two must
// hold the same service entry and the same values under the same keys.
#include "install_support.h"

namespace vornel::testing {
namespace {

struct Twin {
    const char* name;
    std::vector<std::string> more;  // after -servicename, -agentname agent1 and -agenthome
    std::string home;               // as typed on the command line
    InstalledService service;
};

class InstalledServiceTwinTest : public InstallTest, public ::testing::WithParamInterface<Twin> {};

TEST_P(InstalledServiceTwinTest, HoldsWhatTheInstallerLeaves) {
    const Twin& twin = GetParam();
    ASSERT_EQ(installNode1(twin.more, twin.home), 0) << err();
    MemoryPlatform built;
    twin.service.install(built);
    EXPECT_EQ(built.callCount(), 0u) << "setting a service up makes no platform call";

    std::optional<MemoryPlatform::ServiceRecord> installed = os.service(kFullName);
    std::optional<MemoryPlatform::ServiceRecord> twinned = built.service(kFullName);
    ASSERT_TRUE(installed.has_value());
    ASSERT_TRUE(twinned.has_value());
    EXPECT_EQ(twinned->config.displayName, installed->config.displayName);
    EXPECT_EQ(twinned->config.binaryPathName, installed->config.binaryPathName);
    EXPECT_EQ(twinned->config.startType, installed->config.startType);
    EXPECT_EQ(twinned->config.account, installed->config.account);
    EXPECT_EQ(twinned->status.dwCurrentState, installed->status.dwCurrentState);
    EXPECT_EQ(valuesOf(built, kServiceKey), valuesOf(os, kServiceKey));
    EXPECT_EQ(valuesOf(built, kParams), valuesOf(os, kParams));
    EXPECT_EQ(valuesOf(built, kEventLogKey), valuesOf(os, kEventLogKey));
    built.shutdown();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstalledServiceTwinTest,
    ::testing::Values(
        Twin{"TheDefaults", {}, "C:\\agent", InstalledService()},
        Twin{"AnotherHomeAndAgent", {"-agentname", "the agent"}, "D:\\agents\\two\\",
             InstalledService().agentHome("D:\\agents\\two\\").agentName("the agent")},
        Twin{"PlainArguments", {"-startargs", "-Dx -Dy", "-stopargs", "now -force"}, "C:\\agent",
             InstalledService().startArgs("-Dx -Dy").stopArgs("now -force")},
        Twin{"EncodedArguments", {"-encodeparams", "-startargs", "-Dx -Dy", "-stopargs", "now -force"}, "C:\\agent",
             InstalledService().encoded("on").startArgs("-Dx -Dy").stopArgs("now -force")},
        Twin{"NoRestartAndTheServiceTraceOn", {"-restart", "false", "-servicetrace", "on"}, "C:\\agent",
             InstalledService().restart("false").debugTrace("on")}),
    rowName<Twin>);

TEST(InstalledService, WhatIsSetToNothingIsNotWritten) {
    MemoryPlatform os;
    InstalledService()
        .agentName(std::nullopt)
        .pidFile(std::nullopt)
        .description(std::nullopt)
        .eventSource(false)
        .serviceEntry(false)
        .install(os);
    EXPECT_FALSE(os.service(kFullName).has_value());
    EXPECT_FALSE(os.value(kParams, kAgentName).has_value());
    EXPECT_FALSE(os.value(kParams, kAgentPidFile).has_value());
    EXPECT_FALSE(os.value(kServiceKey, kDescription).has_value());
    EXPECT_FALSE(os.keyExists(kEventLogKey));
    EXPECT_EQ(os.stringValue(kParams, kAgentHome), std::string("C:\\agent\\"));

    MemoryPlatform bare;
    InstalledService("other").parametersKey(false).install(bare);
    EXPECT_TRUE(bare.service(getFullServiceName(std::string("other"))).has_value());
    EXPECT_FALSE(bare.keyExists(parametersKeyPath(getFullServiceName(std::string("other")))));
    os.shutdown();
    bare.shutdown();
}

TEST(InstalledService, StoredValuesAreWrittenExactly) {
    MemoryPlatform os;
    InstalledService().encoded("on").startArgs("-Dx").storedValue(kStopArguments, "4g").install(os);
    EXPECT_EQ(os.stringValue(kParams, kStartupArguments), encodeHex(xorWithKey(kFullName, std::string("-Dx"))));
    EXPECT_EQ(os.stringValue(kParams, kStopArguments), std::string("4g"));
    os.shutdown();
}

}  // namespace
}  // namespace vornel::testing
