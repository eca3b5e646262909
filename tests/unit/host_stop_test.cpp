// The stop, run whole: the handler answers at once and the stop goes on on a thread of its own;
// while it is under way nothing else changes the state; stopped comes only when what the host
// launched has ended, or when StopTimeout has ended it; stopped is final.
#include <atomic>

#include "host_test_support.h"

namespace vornel::testing {
namespace {

constexpr uint32_t kAccepted = host::kAcceptedControls;
const Expected kRunning{win::kServiceRunning, kAccepted, 0u, {}, 0u, 60000u};
const Expected kStopPending{win::kServiceStopPending, kAccepted, 0u, {}, {}, 40000u};
const Expected kStopped{win::kServiceStopped, kAccepted, 0u, 0u, {}, 40000u};

class StopTest : public HostTest {
protected:
    // The reports from the first stop-pending one on.
    std::vector<Report> reportsFromStopPending() {
        auto all = os.statusReports();
        auto first = std::find_if(all.begin(), all.end(), [](const Report& r) {
            return r.status.dwCurrentState == win::kServiceStopPending;
        });
        return std::vector<Report>(first, all.end());
    }

    const Report* stoppedReport() {
        static thread_local Report found;
        for (const Report& r : os.statusReports()) {
            if (r.status.dwCurrentState == win::kServiceStopped) {
                found = r;
                return &found;
            }
        }
        return nullptr;
    }

    // Nothing follows the first stopped report but more of it, and no script was launched after it.
    void expectStoppedIsFinal() {
        auto all = os.statusReports();
        auto stopped = std::find_if(all.begin(), all.end(), [](const Report& r) {
            return r.status.dwCurrentState == win::kServiceStopped;
        });
        ASSERT_NE(stopped, all.end()) << "no stopped report";
        for (auto it = stopped; it != all.end(); ++it) EXPECT_EQ(it->status.dwCurrentState, win::kServiceStopped);
        EXPECT_EQ(stopped->status.dwWin32ExitCode, 0u);
        EXPECT_EQ(stopped->status.dwServiceSpecificExitCode, 0u);
    }

    // No process the scripts or the agents started still runs.
    void expectNothingLeftRunning() {
        for (uint32_t agent : agents()) EXPECT_FALSE(os.processRunning(agent)) << "agent " << agent;
        for (uint32_t child : agentChildren()) EXPECT_FALSE(os.processRunning(child)) << "child " << child;
        for (const MemoryPlatform::Launch& launch : os.launches()) {
            EXPECT_FALSE(os.processRunning(launch.pid)) << launch.commandLine;
        }
    }

    std::vector<uint32_t> stateSequence() {
        std::vector<uint32_t> states;
        for (const Report& r : os.statusReports()) {
            if (states.empty() || states.back() != r.status.dwCurrentState) states.push_back(r.status.dwCurrentState);
        }
        return states;
    }
};

// --- The handler answers at once ---

TEST_F(StopTest, TheStopToolHearsBackAtOnceWhileALongStopScriptRuns) {
    installation.stopScriptMs = 15000;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> status{-100};
    runStopTool("stop tool", status);
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(status, 0);
    auto answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].result, 0u);
    EXPECT_EQ(answers[0].answeredAtMs, answers[0].sentAtMs) << "the handler waits for no script";
    // Stop pending with a checkpoint each second of the 15-second script, then stopped once
    // the script and the agent it ended are gone.
    auto made = reportsFromStopPending();
    ASSERT_EQ(made.size(), 1u + 14u + 1u);
    EXPECT_TRUE(matches(made[0].status, Expected{win::kServiceStopPending, kAccepted, 0u, {}, 1u, 40000u}));
    for (size_t i = 1; i + 1 < made.size(); ++i) {
        EXPECT_TRUE(matches(made[i].status, Expected{win::kServiceStopPending, kAccepted, 0u, {}, 1u + i, 40000u}));
        EXPECT_EQ(made[i].atMs - made[i - 1].atMs, 1000u);
        EXPECT_FALSE(made[i].fromHandler) << "made by the stop's own thread";
    }
    EXPECT_TRUE(matches(made.back().status, kStopped));
    EXPECT_GE(made.back().atMs, answers[0].sentAtMs + 15000);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
}

TEST_F(StopTest, TheStoppedReportWaitsForTheStopScriptAlthoughTheAgentEndedAtOnce) {
    // The stop script ends the agent at once and runs on for 3 s: the service main sees the
    // agent end, and leaves the stopped report to the stop.
    installation.stopEndsAgentAtOnce = true;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> status{-100};
    runStopTool("stop tool", status);
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(status, 0);
    const Report* stopped = stoppedReport();
    ASSERT_NE(stopped, nullptr);
    EXPECT_GE(stopped->atMs, os.controlAnswers()[0].sentAtMs + 3000);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
}

// --- While a stop is under way ---

TEST_F(StopTest, WhileAStopIsUnderWayOtherControlsChangeNothing) {
    installation.stopScriptMs = 5000;
    // While the stop script runs: an interrogation, a second stop, 128 and an unknown control.
    installation.onStopLaunch = [this] {
        for (uint32_t control : {4u, 1u, 128u, 129u, 0xFu}) os.postControl(control);
    };
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u) << "no second stop script";
    auto made = reportsFromStopPending();
    ASSERT_FALSE(made.empty());
    for (size_t i = 0; i + 1 < made.size(); ++i) {
        EXPECT_EQ(made[i].status.dwCurrentState, win::kServiceStopPending) << "report " << i;
    }
    EXPECT_TRUE(matches(made.back().status, kStopped));
    // Every control was acknowledged.
    EXPECT_GE(std::count_if(made.begin(), made.end(), [](const Report& r) { return r.fromHandler; }), 5);
    EXPECT_EQ(stateSequence(), (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning,
                                                      win::kServiceStopPending, win::kServiceStopped}));
    expectNothingLeftRunning();
}

TEST_F(StopTest, TwoStopToolsAtOnceMakeOneStop) {
    installation.stopScriptMs = 4000;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> first{-100}, second{-100};
    runStopTools("first stop tool", first, "second stop tool", second);
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
    EXPECT_EQ(answers[1].sentAtMs, answers[0].answeredAtMs);
    for (const auto& answer : answers) EXPECT_EQ(answer.answeredAtMs, answer.sentAtMs);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
}

TEST_F(StopTest, AStopToolThatComesWhileTheServiceIsStoppingIsRefusedByTheServiceManager) {
    installation.stopScriptMs = 4000;
    std::atomic<int> second{-100};
    installation.onStopLaunch = [this, &second] { runStopTool("second stop tool", second); };
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> first{-100};
    runStopTool("first stop tool", first);
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, -1);
    auto answers = os.controlAnswers();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1].result, win::kErrorServiceCannotAcceptCtrl);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
}

// --- Stopped is final, against a start cycle in either order ---

TEST_F(StopTest, AStopBeforeTheStartScriptIsLaunchedStopsAtOnceAndNothingIsLaunched) {
    // The stop reaches the handler as soon as it is registered, before the start cycle.
    os.postControl(win::kServiceControlStop);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.launches().empty());
    expectStoppedIsFinal();
    const Report* stopped = stoppedReport();
    ASSERT_NE(stopped, nullptr);
    EXPECT_TRUE(stopped->fromHandler);
}

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
    const Report* stopped = stoppedReport();
    ASSERT_NE(stopped, nullptr);
    EXPECT_GE(stopped->atMs, installation.startScriptMs + *installation.stopScriptMs);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
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
    expectStoppedIsFinal();
    expectNothingLeftRunning();
    // After stop pending nothing but the stop's reports.
    auto made = reportsFromStopPending();
    for (size_t i = 0; i + 1 < made.size(); ++i) EXPECT_EQ(made[i].status.dwCurrentState, win::kServiceStopPending);
}

// --- StopTimeout ---

TEST_F(StopTest, AStopScriptThatNeverEndsIsEndedAtTheStopTimeout) {
    os.setString(params, kStopTimeout, "5");
    installation.stopScriptMs = std::nullopt;
    installation.agentStartsChild = true;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    auto made = reportsFromStopPending();
    ASSERT_FALSE(made.empty());
    const uint64_t asked = made.front().atMs;
    EXPECT_GE(made.back().atMs, asked + 5000);
    EXPECT_LT(made.back().atMs, asked + 6000);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
    auto warnings = eventsWithId(host::kEventStopTimedOut);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].type, win::kEventlogWarningType);
    // The stop script, the agent and its child.
    EXPECT_EQ(warnings[0].insertion, "3 processes of the agent's job (the scripts, the agent and what they started)");
}

TEST_F(StopTest, AnAgentThatOutlivesItsStopScriptIsEndedAtTheStopTimeout) {
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    installation.agentHeedsStop = false;
    installation.agentStartsChild = true;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    auto made = reportsFromStopPending();
    const uint64_t asked = made.front().atMs;
    EXPECT_GE(made.back().atMs, asked + 5000);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
    ASSERT_EQ(eventsWithId(host::kEventStopTimedOut).size(), 1u);
    EXPECT_TRUE(traced("VornelAgentService - stopServer - waiting for the agent and its processes to end"));
    EXPECT_TRUE(traced("VornelAgentService - stopServer - stop timeout of 5 s reached, ended: 2 processes of the "
                       "agent's job (the scripts, the agent and what they started)"));
}

TEST_F(StopTest, AnAgentStillShuttingDownIsWaitedForWithoutAForcedEnd) {
    installation.agentShutdownMs = 4500;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    auto made = reportsFromStopPending();
    const uint64_t asked = made.front().atMs;
    // The 3-s stop script, then 4.5 s of the agent shutting down.
    EXPECT_GE(made.back().atMs, asked + 7500);
    EXPECT_LT(made.back().atMs, asked + 8500);
    for (size_t i = 1; i + 1 < made.size(); ++i) EXPECT_EQ(made[i].atMs - made[i - 1].atMs, 1000u);
    EXPECT_TRUE(eventsWithId(host::kEventStopTimedOut).empty());
    expectStoppedIsFinal();
    expectNothingLeftRunning();
    // An immediate start finds no agent alive.
    EXPECT_EQ(os.exitCodeOf(agents()[0]), 0u);
}

TEST_F(StopTest, WithStopTimeoutZeroTheStopWaitsAsLongAsItTakes) {
    os.setString(params, kStopTimeout, "0");
    installation.stopScriptMs = 200000;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    auto made = reportsFromStopPending();
    EXPECT_GE(made.back().atMs, made.front().atMs + 200000);
    EXPECT_TRUE(eventsWithId(host::kEventStopTimedOut).empty());
    expectNothingLeftRunning();
}

struct TimeoutRow {
    const char* name;
    std::optional<std::string> stored;
    std::optional<uint32_t> seconds;
};

void PrintTo(const TimeoutRow& row, std::ostream* os) { *os << row.name; }

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

TEST_F(StopTest, WithoutAJobTheForcedEndEndsTheAgentsPidAlone) {
    os.setJobsWork(false);
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    installation.agentHeedsStop = false;
    installation.agentStartsChild = true;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    expectStoppedIsFinal();
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_FALSE(os.processRunning(agents()[0]));
    EXPECT_TRUE(os.processRunning(agentChildren()[0])) << "only the agent's pid is known";
    EXPECT_TRUE(traced("VornelAgentService - startServer - startAgent.bat is not in the agent's job (5): a forced "
                       "end can end only the agent's pid"));
    auto warnings = eventsWithId(host::kEventStopTimedOut);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].insertion, "the agent (pid " + std::to_string(agents()[0]) + ")");
}

TEST_F(StopTest, WithoutAJobObjectTheStopStillWaitsForAndEndsTheAgent) {
    os.failNext(MemoryPlatform::Op::CreateJob, win::kErrorAccessDenied);
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    installation.agentHeedsStop = false;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - no job for the agent (5): a forced end can end "
                       "only the agent's pid"));
    ASSERT_EQ(eventsWithId(host::kEventStopTimedOut).size(), 1u);
}

// --- A stop script that cannot be launched ---

TEST_F(StopTest, AStopScriptThatCannotBeLaunchedStillEndsInStopped) {
    os.setString(params, kStopTimeout, "5");
    installation.stopError = win::kErrorFileNotFound;
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    std::atomic<int> status{-100};
    runStopTool("stop tool", status);
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(status, 0);
    auto failed = eventsWithId(host::kEventStopScriptFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].insertion, systemText(win::kErrorFileNotFound));
    // No return to running: the agent is waited for, then ended at the stop timeout.
    EXPECT_EQ(stateSequence(), (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning,
                                                      win::kServiceStopPending, win::kServiceStopped}));
    ASSERT_EQ(eventsWithId(host::kEventStopTimedOut).size(), 1u);
    expectStoppedIsFinal();
    expectNothingLeftRunning();
}

// --- System shutdown ---

class ShutdownControlTest : public StopTest, public ::testing::WithParamInterface<uint32_t> {};

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
    expectStoppedIsFinal();
    expectNothingLeftRunning();
}

INSTANTIATE_TEST_SUITE_P(Controls, ShutdownControlTest,
                         ::testing::Values(win::kServiceControlPreshutdown, win::kServiceControlShutdown),
                         shutdownControlName);

TEST_F(StopTest, EveryReportThatAcceptsStopsAcceptsThePreshutdownNotificationToo) {
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    for (const Report& r : os.statusReports()) {
        EXPECT_TRUE(r.status.dwControlsAccepted == 0 || r.status.dwControlsAccepted == kAccepted)
            << r.status.dwControlsAccepted;
    }
}

}  // namespace
}  // namespace vornel::testing
