// The stop, run whole: the handler answers at once and the supervisor goes on with the stop;
// while it is under way nothing else changes the state; stopped comes only when what the host
// launched has ended, or when StopTimeout has ended it; stopped is final.
#include <atomic>

#include "host_test_support.h"

namespace vornel::testing {
namespace {

class StopTest : public HostTest {
protected:
    // Runs the host until it supervises its agent, then stops it with a control.
    void stopWhenRunning(uint32_t control = win::kServiceControlStop) {
        startHost();
        ASSERT_TRUE(waitForReport(kRunning));
        ASSERT_TRUE(waitForAgents(1));
        os.postControl(control);
        EXPECT_EQ(finishHost(), 0);
    }
    uint64_t stopAskedAt() { return reportsFrom(win::kServiceStopPending).at(0).atMs; }
    uint64_t stoppedAt() { return os.statusReports().back().atMs; }
};

// --- The handler answers at once ---

TEST_F(StopTest, TheStopToolHearsBackAtOnceWhileALongStopScriptRuns) {
    installation.stopScriptMs = 15000;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> status{-100};
    os.startClient("stop tool", stopTool(status));
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(status, 0);
    auto answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 0u);
    EXPECT_EQ(answers[0].answeredAtMs, answers[0].sentAtMs) << "the handler waits for no script";
    // Stop pending with a checkpoint each second of the 15-second script, then stopped at its
    // end, when the agent it ended is gone.
    auto made = reportsFrom(win::kServiceStopPending);
    ASSERT_EQ(made.size(), 1u + 14u + 1u);
    EXPECT_EQ(made[0].atMs, answers[0].sentAtMs);
    for (size_t i = 0; i + 1 < made.size(); ++i) {
        EXPECT_TRUE(matches(made[i].status, stopPending(static_cast<uint32_t>(1 + i)))) << i;
        EXPECT_EQ(made[i].atMs - made[0].atMs, 1000u * i);
    }
    EXPECT_EQ(made.back().atMs, answers[0].sentAtMs + 15000);
    expectStoppedWithNothingLeft();
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
}

TEST_F(StopTest, TheStoppedReportWaitsForTheStopScriptAlthoughTheAgentEndedAtOnce) {
    installation.stopEndsAgentAtOnce = true;
    stopWhenRunning();
    EXPECT_EQ(stoppedAt(), stopAskedAt() + 3000);
    expectStoppedWithNothingLeft();
}

TEST_F(StopTest, TheJobsLastProcessEndsTheStopTheMomentItEnds) {
    // The agent's child runs on after the agent; it ends 2.5 s after the stop script.
    installation.agentStartsChild = true;
    installation.onStopLaunch = [this] {
        MemoryPlatform::ProcessSpec timer;
        timer.runsForMs = 5500;
        timer.onExit = [this] { os.endProcess(simulated.children().at(0), 0); };
        os.spawnProcess(timer);
    };
    stopWhenRunning();
    EXPECT_EQ(stoppedAt(), stopAskedAt() + 5500);
    EXPECT_TRUE(eventsWithId(host::kEventStopTimedOut).empty());
    expectStoppedWithNothingLeft();
}

// --- While a stop is under way ---

TEST_F(StopTest, WhileAStopIsUnderWayOtherControlsChangeNothing) {
    installation.stopScriptMs = 5000;
    // While the stop script runs: an interrogation, a second stop, 128 and an unknown control.
    installation.onStopLaunch = [this] {
        for (uint32_t control : {4u, 1u, 128u, 129u, 0xFu}) os.postControl(control);
    };
    os.setString(params, kDebugTrace, "on");
    stopWhenRunning();
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u) << "no second stop script";
    EXPECT_EQ(stateSequence(), (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning,
                                                      win::kServiceStopPending, win::kServiceStopped}));
    auto lines = trace();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("VornelAgentServiceCtrl - entry") != std::string::npos; }),
              6);
    expectStoppedWithNothingLeft();
}

TEST_F(StopTest, TwoStopToolsAtOnceMakeOneStop) {
    installation.stopScriptMs = 4000;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> first{-100}, second{-100};
    os.startClients({{"first stop tool", stopTool(first)}, {"second stop tool", stopTool(second)}});
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    // The stop tools send one at a time: the second one's stop reaches a service already
    // stopping, which the service manager refuses. Both hear back at once.
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, -1);
    auto answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].client, "first stop tool");
    EXPECT_EQ(answers[1].result, win::kErrorServiceCannotAcceptCtrl);
    for (const auto& answer : answers) EXPECT_EQ(answer.answeredAtMs, answer.sentAtMs);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    expectStoppedWithNothingLeft();
}

// --- Stopped is final, against a start cycle in either order ---

TEST_F(StopTest, AStopWhileTheStartScriptRunsWaitsForItThenStopsWhatItStarted) {
    installation.onStartLaunch = [this] { os.postControl(win::kServiceControlStop); };
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(launchesOf("startAgent.bat"), 1u);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_EQ(stateSequence(),
              (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceStopPending, win::kServiceStopped}));
    EXPECT_TRUE(eventsWithId(host::kEventStartScriptReturned).empty()) << "the service never ran";
    EXPECT_EQ(stoppedAt(), installation.startScriptMs + *installation.stopScriptMs);
    expectStoppedWithNothingLeft();
}

TEST_F(StopTest, AStopDuringARestartsStartScriptLeavesNoAgentUnsupervised) {
    // A crash loop: each agent ends a second after it started; the second start script is slow.
    installation.agentRunsForMs = 1000;
    installation.laterStartScriptsMs = 6000;
    unsigned launches = 0;
    installation.onStartLaunch = [this, &launches] {
        if (++launches == 2) os.postControl(win::kServiceControlStop);
    };
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(launchesOf("startAgent.bat"), 2u) << "no start after the stop";
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    ASSERT_EQ(agents().size(), 2u);
    expectStoppedWithNothingLeft();
}

// --- StopTimeout ---

struct TimeoutEndRow {
    const char* name;
    bool stopScriptEnds;
    bool agentHeedsStop;
    std::string ended;  // what the warning event names
};

class StopTimeoutTest : public StopTest, public ::testing::WithParamInterface<TimeoutEndRow> {};

TEST_P(StopTimeoutTest, WhatStillRunsAtTheStopTimeoutIsEnded) {
    const TimeoutEndRow& c = GetParam();
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    if (!c.stopScriptEnds) installation.stopScriptMs = std::nullopt;
    installation.agentHeedsStop = c.agentHeedsStop;
    installation.agentStartsChild = true;
    stopWhenRunning();
    EXPECT_EQ(stoppedAt(), stopAskedAt() + 5000);
    expectStoppedWithNothingLeft();
    auto warnings = eventsWithId(host::kEventStopTimedOut);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].type, win::kEventlogWarningType);
    EXPECT_EQ(warnings[0].insertion, c.ended);
    EXPECT_TRUE(traced("VornelAgentService - stopServer - stop timeout of 5 s reached, ended: " + c.ended));
    EXPECT_EQ(traced("VornelAgentService - stopServer - stopAgent script still runs at the stop timeout"),
              !c.stopScriptEnds);
    EXPECT_EQ(traced("VornelAgentService - stopServer - waiting for the agent and its processes to end"),
              c.stopScriptEnds);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StopTimeoutTest,
    ::testing::Values(
        // The stop script, the agent and its child.
        TimeoutEndRow{"StopScriptNeverEnds", false, true,
                      "3 processes of the agent's job (the scripts, the agent and what they started)"},
        TimeoutEndRow{"AgentOutlivesItsStopScript", true, false,
                      "2 processes of the agent's job (the scripts, the agent and what they started)"},
        TimeoutEndRow{"ChildOutlivesTheAgent", true, true,
                      "1 process of the agent's job (the scripts, the agent and what they started)"}),
    rowName<TimeoutEndRow>);

TEST_F(StopTest, AnAgentStillShuttingDownIsWaitedForWithoutAForcedEnd) {
    installation.agentShutdownMs = 4500;
    stopWhenRunning();
    // The 3-s stop script, then 4.5 s of the agent shutting down.
    EXPECT_EQ(stoppedAt(), stopAskedAt() + 7500);
    EXPECT_TRUE(eventsWithId(host::kEventStopTimedOut).empty());
    expectStoppedWithNothingLeft();
    EXPECT_EQ(os.exitCodeOf(agents()[0]), 0u);
}

TEST_F(StopTest, WithStopTimeoutZeroTheStopWaitsAsLongAsItTakes) {
    os.setString(params, kStopTimeout, "0");
    installation.stopScriptMs = 200000;
    stopWhenRunning();
    EXPECT_EQ(stoppedAt(), stopAskedAt() + 200000);
    EXPECT_TRUE(eventsWithId(host::kEventStopTimedOut).empty());
    expectStoppedWithNothingLeft();
}

struct TimeoutRow {
    const char* name;
    std::optional<std::string> stored;
    std::optional<uint32_t> seconds;
};

class StopTimeoutValueTest : public ::testing::TestWithParam<TimeoutRow> {};

TEST_P(StopTimeoutValueTest, IsReadAsDecimalSeconds) {
    EXPECT_EQ(host::stopTimeoutSeconds(GetParam().stored), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Rows, StopTimeoutValueTest,
                         ::testing::Values(TimeoutRow{"Absent", std::nullopt, 60u}, TimeoutRow{"Empty", "", 60u},
                                           TimeoutRow{"Seconds", "5", 5u}, TimeoutRow{"Zero", "0", std::nullopt},
                                           TimeoutRow{"Zeros", "000", std::nullopt},
                                           TimeoutRow{"LeadingZero", "07", 7u}, TimeoutRow{"Word", "abc", 60u},
                                           TimeoutRow{"Negative", "-5", 60u}, TimeoutRow{"Blank", " 5", 60u},
                                           TimeoutRow{"Fraction", "1.5", 60u},
                                           TimeoutRow{"Large", "999999999", 999999999u},
                                           TimeoutRow{"TooLarge", "9999999999", 60u}),
                         rowName<TimeoutRow>);

// --- Without a job ---

struct NoJobRow {
    const char* name;
    bool noJobObject;  // the job cannot be created; otherwise scripts cannot be put into it
    std::string trace;
};

class NoJobTest : public StopTest, public ::testing::WithParamInterface<NoJobRow> {};

TEST_P(NoJobTest, TheForcedEndEndsTheAgentsPidAlone) {
    if (GetParam().noJobObject) {
        os.failNext(MemoryPlatform::Op::CreateNamedJob, win::kErrorAccessDenied);
        os.failNext(MemoryPlatform::Op::CreateJob, win::kErrorAccessDenied);
    } else {
        os.setJobsWork(false);
    }
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    installation.agentHeedsStop = false;
    installation.agentStartsChild = true;
    stopWhenRunning();
    EXPECT_TRUE(matches(reports().back(), stopped()));
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_FALSE(os.processRunning(agents()[0]));
    EXPECT_TRUE(os.processRunning(simulated.children()[0])) << "only the agent's pid is known";
    EXPECT_TRUE(traced(GetParam().trace));
    auto warnings = eventsWithId(host::kEventStopTimedOut);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].insertion, "the agent (pid " + std::to_string(agents()[0]) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NoJobTest,
    ::testing::Values(NoJobRow{"ScriptsOutsideTheJob", false,
                               "VornelAgentService - startServer - startAgent.bat is not in the agent's job (5): a "
                               "forced end can end only the agent's pid"},
                      NoJobRow{"NoJobObject", true,
                               "VornelAgentService - VornelAgentServiceMain - no job for the agent (5): a forced end "
                               "can end only the agent's pid"}),
    rowName<NoJobRow>);

// --- A stop script that cannot be launched ---

TEST_F(StopTest, AStopScriptThatCannotBeLaunchedStillEndsInStopped) {
    os.setString(params, kStopTimeout, "5");
    installation.stopError = win::kErrorFileNotFound;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> status{-100};
    os.startClient("stop tool", stopTool(status));
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(status, 0);
    auto failed = eventsWithId(host::kEventStopScriptFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].type, win::kEventlogInformationType);
    EXPECT_EQ(failed[0].insertion, systemText(win::kErrorFileNotFound));
    // No return to running: the agent is waited for, then ended at the stop timeout.
    EXPECT_EQ(stateSequence(), (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning,
                                                      win::kServiceStopPending, win::kServiceStopped}));
    ASSERT_EQ(eventsWithId(host::kEventStopTimedOut).size(), 1u);
    expectStoppedWithNothingLeft();
}

}  // namespace
}  // namespace vornel::testing
