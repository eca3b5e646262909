// The host and an agent name holding a double quote (a registry edited by hand): such a name
// would end its quotes early in the scripts' command line, and the command interpreter would
// run the rest of it as commands. The host launches no script for it.
#include "host_test_support.h"

namespace vornel::testing {
namespace {

struct QuotedNameRow {
    const char* name;
    std::string agentName;
    uint32_t major;  // the system's major version: 4 passes the name without quotes
};

class HostQuotedAgentNameTest : public HostTest, public ::testing::WithParamInterface<QuotedNameRow> {
protected:
    void SetUp() override {
        os.setString(params, kAgentName, GetParam().agentName);
        os.setOsMajorVersion(GetParam().major);
        enableTrace();
    }
};

TEST_P(HostQuotedAgentNameTest, TheStartRunsNoScriptAndSaysWhy) {
    auto host = directContext();
    EXPECT_TRUE(host::startServer(*host, name));
    EXPECT_TRUE(os.launches().empty());
    EXPECT_NE(out().find("\r\n startServer - the agent name (AgentName) holds a double quote; startAgent.bat is not run"),
              std::string::npos)
        << out();
    EXPECT_TRUE(traced("VornelAgentService - startServer - agent name = " + GetParam().agentName +
                       " holds a double quote; startAgent.bat is not run"));
    // As after a launch that failed: controls are accepted.
    EXPECT_TRUE(matches(reports().back(), Expected{{}, host::kAcceptedControls, {}, {}, {}, {}}));
}

TEST_P(HostQuotedAgentNameTest, TheStopRunsNoScriptAndGoesOnAsAfterAFailedLaunch) {
    auto host = directContext();
    host->update([](ServiceStatus& s) { s.dwCurrentState = win::kServiceStopPending; });
    const size_t reportsBefore = reports().size();
    EXPECT_EQ(host::stopServer(*host, name, std::nullopt), host::StopScriptOutcome::NotLaunched);
    EXPECT_TRUE(os.launches().empty());
    EXPECT_NE(out().find("\r\n stopServer - the agent name (AgentName) holds a double quote; stopAgent.bat is not run"),
              std::string::npos)
        << out();
    EXPECT_TRUE(traced("VornelAgentService - stopServer - agent name = " + GetParam().agentName +
                       " holds a double quote; stopAgent.bat is not run"));
    EXPECT_TRUE(traced("VornelAgentService - stopServer - creation of executable process failed"));
    EXPECT_EQ(eventsWithId(host::kEventStopScriptFailed).size(), 1u);
    // The stop goes on without its script; no state is reported back.
    EXPECT_EQ(reports().size(), reportsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostQuotedAgentNameTest,
    ::testing::Values(QuotedNameRow{"TheInjection", "a1\" & echo inj > C:\\pwned_name.txt & rem \"", 6},
                      QuotedNameRow{"OneQuoteAtTheEnd", "agent\"", 6},
                      QuotedNameRow{"OnlyAQuote", "\"", 6},
                      QuotedNameRow{"UnquotedOnVersionFour", "a1\" & calc", 4}),
    rowName<QuotedNameRow>);

TEST_F(HostTest, AServiceWithAQuotedAgentNameNeverRunsAScript) {
    os.setString(params, kAgentName, "x\" & calc & \"");
    startHost();
    // No agent can write a pid: after its wait for the pid file the service stops.
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.launches().empty());
    EXPECT_TRUE(matches(reports().back(), Expected{win::kServiceStopped, {}, win::kErrorServiceSpecificError, 1u, {}, {}}));
}

}  // namespace
}  // namespace vornel::testing
