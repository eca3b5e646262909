// Controls: the handler records each control and answers at once; the supervisor acts on it in
// its own turn. An interrogation repeats the last report, an unknown control changes nothing,
// the control 128 ends supervision, the shutdown notifications stop like a stop.
#include "host_test_support.h"

namespace vornel::testing {
namespace {

struct AnswerRow {
    const char* name;
    uint32_t control;
    uint32_t answer;
};

class HandlerAnswerTest : public MemoryTest, public ::testing::WithParamInterface<AnswerRow> {};

TEST_P(HandlerAnswerTest, TheHandlerRecordsTheControlAndAnswersAtOnce) {
    host::ControlInbox inbox;
    ASSERT_EQ(inbox.open(os), 0u);
    EXPECT_EQ(host::VornelAgentServiceCtrl(inbox, GetParam().control), GetParam().answer);
    EXPECT_EQ(inbox.take(), std::vector<uint32_t>{GetParam().control}) << "recorded for the trace too";
    EXPECT_TRUE(inbox.take().empty());
    size_t signaled = 9;
    EXPECT_EQ(os.waitForAny({inbox.event()}, 0, signaled), WaitResult::Signaled) << "the supervisor is woken";
}

INSTANTIATE_TEST_SUITE_P(Rows, HandlerAnswerTest,
                         ::testing::Values(AnswerRow{"Stop", 1, 0}, AnswerRow{"Pause", 2, 0}, AnswerRow{"Continue", 3, 0},
                                           AnswerRow{"Interrogate", 4, 0}, AnswerRow{"Shutdown", 5, 0},
                                           AnswerRow{"Preshutdown", 0xF, 0}, AnswerRow{"EndSupervision", 128, 0},
                                           AnswerRow{"UserDefined", 129, win::kErrorCallNotImplemented},
                                           AnswerRow{"ParamChange", 6, win::kErrorCallNotImplemented}),
                         rowName<AnswerRow>);

TEST_F(HostTest, EachControlIsTracedAndAnInterrogationRepeatsTheLastReport) {
    os.setString(params, kDebugTrace, "on");
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    const size_t before = trace().size();
    const size_t reportsBefore = reports().size();
    os.postControl(129);
    os.postControl(win::kServiceControlInterrogate);
    ASSERT_TRUE(os.waitUntil([&] { return reports().size() == reportsBefore + 1 && os.serviceAwaitsTest(); }));
    EXPECT_EQ(reports().size(), reportsBefore + 1) << "the unknown control reports nothing";
    EXPECT_TRUE(matches(reports().back(), kRunning)) << "the interrogation repeats running";
    const std::string plus(81, '+');
    auto lines = trace();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()),
              (std::vector<std::string>{
                  plus,
                  "VornelAgentService - VornelAgentServiceCtrl - entry - control code = 129 - 0",
                  "VornelAgentService - VornelAgentServiceCtrl - default",
                  "VornelAgentService - VornelAgentServiceCtrl - exit",
                  plus,
                  plus,
                  "VornelAgentService - VornelAgentServiceCtrl - entry - control code = 4 - 0",
                  "VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_INTERROGATE",
                  "VornelAgentService - VornelAgentServiceCtrl - exit",
                  plus,
              }));

    const size_t stopBegins = trace().size();
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    lines = trace();
    std::vector<std::string> stop(lines.begin() + static_cast<long>(stopBegins), lines.end());
    ASSERT_GE(stop.size(), 4u);
    EXPECT_EQ(stop[1], "VornelAgentService - VornelAgentServiceCtrl - entry - control code = 1 - 0");
    EXPECT_EQ(stop[2], "VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP");
    EXPECT_EQ(stop[3], "About to stop service thread.");
    EXPECT_NE(std::find(stop.begin(), stop.end(), "VornelAgentService - stopServer - stopAgent script has completed"),
              stop.end());
    EXPECT_EQ(stop.back(), "VornelAgentService - stopServer - reporting stopped");
    EXPECT_EQ(std::count(stop.begin(), stop.end(), "VornelAgentService - VornelAgentServiceCtrl - exit"), 0);
}

TEST_F(HostTest, ControlOneTwentyEightLeavesTheAgentRunningUntilItEnds) {
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(host::PROCESS_STOP_SERVER);
    ASSERT_TRUE(waitForReport(stopPending(3)));
    EXPECT_TRUE(os.processRunning(agents()[0]));
    os.endProcess(agents()[0], 5);
    EXPECT_EQ(finishHost(), 0);
    // No failure, whatever the agent's end; no stop script, no restart.
    expectStoppedWithNothingLeft();
    EXPECT_EQ(launchesOf("startAgent.bat"), 1u);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 0u);
}

TEST_F(HostTest, AStopBeforeTheStartScriptIsLaunchedStopsAtOnceAndNothingIsLaunched) {
    // The stop reaches the handler as soon as it is registered, before the start cycle.
    os.postControl(win::kServiceControlStop);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.launches().empty());
    EXPECT_TRUE(os.events().empty());
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(matches(reports()[0], stopped()));
}

class ShutdownControlTest : public HostTest, public ::testing::WithParamInterface<uint32_t> {};

std::string shutdownControlName(const ::testing::TestParamInfo<uint32_t>& control) {
    return control.param == win::kServiceControlPreshutdown ? "Preshutdown" : "Shutdown";
}

TEST_P(ShutdownControlTest, IsHandledLikeAStopStopScriptIncluded) {
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(GetParam());
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    EXPECT_EQ(stateSequence(), (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning,
                                                      win::kServiceStopPending, win::kServiceStopped}));
    expectStoppedWithNothingLeft();
    // Every report that takes stops takes the preshutdown notification too.
    for (const ServiceStatus& s : reports()) {
        if (s.dwControlsAccepted & win::kServiceAcceptStop) {
            EXPECT_TRUE(s.dwControlsAccepted & win::kServiceAcceptPreshutdown);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Controls, ShutdownControlTest,
                         ::testing::Values(win::kServiceControlPreshutdown, win::kServiceControlShutdown),
                         shutdownControlName);

}  // namespace
}  // namespace vornel::testing
