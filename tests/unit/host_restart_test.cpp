// Starts and restarts: the back-off after short runs and RestartThrottle, a stop or a continue
// while a restart waits (paused), how an agent's failure shows in the stopped report, the events
// of the agent's end, and a pid file left over from before the system started.
#include <atomic>
#include <string>
#include <vector>

#include "host_test_support.h"

namespace vornel::testing {
namespace {

constexpr uint64_t kShortAgentRunMs = 500;  // with the 2.5-s start script: a 3-s run

class RestartTest : public HostTest {
protected:
    // The seconds each restart waited, from the restart-delayed events.
    std::vector<uint32_t> delaysReported() const {
        std::vector<uint32_t> seconds;
        for (const auto& e : eventsWithId(host::kEventRestartDelayed)) {
            EXPECT_EQ(e.type, win::kEventlogWarningType);
            EXPECT_EQ(e.insertions.at(0), name);
            seconds.push_back(static_cast<uint32_t>(std::stoul(e.insertions.at(1))));
        }
        return seconds;
    }
    // The virtual time between each agent's end and the next launch of the start script.
    std::vector<uint64_t> gapsMs() const {
        const auto ends = simulated.agentEndTimes();
        const auto launches = simulated.startLaunchTimes();
        std::vector<uint64_t> gaps;
        for (size_t i = 0; i < ends.size() && i + 1 < launches.size(); ++i) gaps.push_back(launches[i + 1] - ends[i]);
        return gaps;
    }
    // A client that sends the control through the service manager, as `sc continue` would.
    std::function<void()> controlClient(uint32_t control, std::atomic<ErrorCode>& result) {
        return [this, control, &result] {
            ScHandle manager, service;
            ServiceStatus status;
            result = os.openSCManager(win::kScManagerAllAccess, manager);
            if (result == 0) result = os.openService(manager, name, win::kServiceAllAccess, service);
            if (result == 0) result = os.controlService(service, control, status);
        };
    }
    // Sends the control (through a client of the service manager) as the restart after the
    // given number of seconds begins to wait.
    std::atomic<uint64_t> controlSentAt{0};
    std::atomic<ErrorCode> controlResult{999};
    void controlWhenWaiting(const std::string& seconds, uint32_t control) {
        os.setEventHook([this, seconds, control](const MemoryPlatform::Event& e) {
            if (e.id != host::kEventRestartDelayed || e.insertions.at(1) != seconds || controlSentAt != 0) return;
            controlSentAt = os.nowMs();
            os.startClient("client", controlClient(control, controlResult));
        });
    }
};

TEST_F(RestartTest, ShortRunsDoubleTheWaitToTheLongestAndALongRunResetsIt) {
    // Ten short runs, a long one (0.5 s longer than RestartThrottle's 60 s), two short ones,
    // then an agent that runs on.
    installation.agentRunsMs = std::vector<uint64_t>(10, kShortAgentRunMs);
    installation.agentRunsMs.push_back(58000);
    installation.agentRunsMs.push_back(kShortAgentRunMs);
    installation.agentRunsMs.push_back(kShortAgentRunMs);
    os.setString(params, kDebugTrace, "on");
    startHost();
    ASSERT_TRUE(waitForAgents(14));
    ASSERT_TRUE(waitForReport(kRunning, 14));

    EXPECT_EQ(delaysReported(), (std::vector<uint32_t>{1, 2, 4, 8, 16, 32, 64, 128, 256, 256, 1, 2}));
    EXPECT_EQ(gapsMs(), (std::vector<uint64_t>{1000, 2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000, 256000, 0,
                                                1000, 2000}));
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - the agent ran 3000 ms, less than "
                       "RestartThrottle (60 s): the restart waits 4 s"));
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - restarting after 4 s"));
    // While it waits, the service is paused: one report as the agent ends, taking stop,
    // pause and continue; the restart's start pending comes when the wait is over.
    const auto ends = simulated.agentEndTimes();
    const auto launches = simulated.startLaunchTimes();
    std::vector<Report> waiting;
    for (const Report& r : os.statusReports()) {
        if (r.atMs >= ends[2] && r.atMs < launches[3]) waiting.push_back(r);
    }
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_TRUE(matches(waiting[0].status, kPaused));
    EXPECT_EQ(waiting[0].atMs, ends[2]);
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

struct ThrottleRow {
    const char* name;
    std::optional<std::string> value;  // RestartThrottle; absent: not set
    uint64_t gapMs;                    // after a 3-s run
};

class RestartThrottleTest : public RestartTest, public ::testing::WithParamInterface<ThrottleRow> {};

TEST_P(RestartThrottleTest, AShortRunIsOneShorterThanRestartThrottle) {
    const ThrottleRow& c = GetParam();
    if (c.value) os.setString(params, kRestartThrottle, *c.value);
    installation.agentRunsMs = {kShortAgentRunMs};
    startHost();
    ASSERT_TRUE(waitForAgents(2));
    ASSERT_TRUE(waitForReport(kRunning, 2));
    EXPECT_EQ(gapsMs(), std::vector<uint64_t>{c.gapMs});
    EXPECT_EQ(delaysReported().size(), c.gapMs == 0 ? 0u : 1u);
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, RestartThrottleTest,
                         ::testing::Values(ThrottleRow{"Absent", std::nullopt, 1000}, ThrottleRow{"Zero", "0", 0},
                                           ThrottleRow{"NotANumber", "soon", 1000},
                                           ThrottleRow{"Negative", "-5", 1000},
                                           ThrottleRow{"LongerThanTheRun", "4", 1000},
                                           ThrottleRow{"AsLongAsTheRun", "3", 0},
                                           ThrottleRow{"ShorterThanTheRun", "2", 0}),
                         rowName<ThrottleRow>);

TEST_F(RestartTest, TheAgentsEndStartsTheRestartTheMomentItEnds) {
    os.setString(params, kRestartThrottle, "0");
    installation.agentRunsMs = {4321};
    startHost();
    ASSERT_TRUE(waitForAgents(2));
    EXPECT_EQ(gapsMs(), std::vector<uint64_t>{0});
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

// A stop while a restart waits: the service manager passes it on to the paused service; the
// wait ends, and the service stops by the stop path's rules.
struct WaitStopRow {
    const char* name;
    bool agentLeavesAChild;  // a process of the job still runs, so the stop path runs
};

class StopDuringWaitTest : public RestartTest, public ::testing::WithParamInterface<WaitStopRow> {};

TEST_P(StopDuringWaitTest, AStopEndsTheWait) {
    const WaitStopRow& c = GetParam();
    installation.agentRunsMs = std::vector<uint64_t>(5, kShortAgentRunMs);
    installation.agentStartsChild = c.agentLeavesAChild;
    installation.stopScriptMs = 1000;
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    controlWhenWaiting("4", win::kServiceControlStop);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    ASSERT_NE(controlSentAt, 0u);
    EXPECT_EQ(controlResult, 0u) << "the service manager passes the stop on";
    EXPECT_EQ(agents().size(), 3u) << "no start after the stop";
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - a stop ended the wait before the restart"));
    const Report last = os.statusReports().back();
    EXPECT_TRUE(matches(last.status, stopped()));
    if (c.agentLeavesAChild) {
        // The stop script runs; the agents' children are ended when StopTimeout runs out.
        EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
        for (uint32_t child : simulated.children()) EXPECT_FALSE(os.processRunning(child));
        EXPECT_EQ(last.atMs - controlSentAt, 5000u);
    } else {
        // Nothing runs: stopped at once, without the stop script.
        EXPECT_EQ(launchesOf("stopAgent.bat"), 0u);
        EXPECT_EQ(last.atMs, controlSentAt.load());
    }
    EXPECT_FALSE(os.hangDetected());
}

INSTANTIATE_TEST_SUITE_P(Rows, StopDuringWaitTest,
                         ::testing::Values(WaitStopRow{"NothingRuns", false}, WaitStopRow{"AChildRunsOn", true}),
                         rowName<WaitStopRow>);

TEST_F(RestartTest, AContinueEndsTheWaitAndStartsAtOnce) {
    installation.agentRunsMs = std::vector<uint64_t>(3, kShortAgentRunMs);
    os.setString(params, kDebugTrace, "on");
    controlWhenWaiting("4", win::kServiceControlContinue);
    startHost();
    ASSERT_TRUE(waitForAgents(4));
    ASSERT_TRUE(waitForReport(kRunning, 4));
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(controlResult, 0u);
    EXPECT_EQ(simulated.startLaunchTimes().back(), controlSentAt.load()) << "the 4-s wait ended at the continue";
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - a continue ended the wait before the restart"));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

// --- How the agent's end shows: the stopped report and the agent-ended event. ---

enum class Then { Nothing, Control128, Stop };

struct EndRow {
    const char* name;
    bool restartFalse;
    uint32_t exitCode;
    Then then;                                     // what comes while the agent runs
    std::optional<MemoryPlatform::Op> unreadable;  // the exit code cannot be read
    uint32_t win32, specific;                      // the stopped report
    uint16_t eventType;                            // of the agent-ended event
    std::string exitText;                          // its third insertion
};

class AgentEndTest : public HostTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(AgentEndTest, TheStoppedReportAndTheEventTellHowTheAgentEnded) {
    const EndRow& c = GetParam();
    if (c.restartFalse) os.setString(params, kRestart, "false");
    installation.agentExitCode = c.exitCode;
    installation.stopEndsAgentAtOnce = true;
    if (c.then == Then::Nothing) installation.agentRunsForMs = 5000;
    if (c.unreadable) os.failNext(*c.unreadable, win::kErrorInvalidHandle);
    startHost();
    if (c.then != Then::Nothing) {
        ASSERT_TRUE(waitForAgents(1));
        ASSERT_TRUE(waitForReport(kRunning));
        os.postControl(c.then == Then::Stop ? win::kServiceControlStop : host::PROCESS_STOP_SERVER);
        if (c.then == Then::Control128) {
            ASSERT_TRUE(waitForReport(stopPending(1)));
            os.endProcess(agents()[0], c.exitCode);
        }
    }
    EXPECT_EQ(finishHost(), 0);
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_TRUE(matches(reports().back(), stopped(c.win32, c.specific)));
    const auto ended = eventsWithId(host::kEventAgentEnded);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].type, c.eventType);
    EXPECT_EQ(ended[0].insertions, (std::vector<std::string>{name, std::to_string(agents()[0]), c.exitText}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AgentEndTest,
    ::testing::Values(
        // An agent that fails with no restart to follow is the service's failure.
        EndRow{"FailsWithRestartFalse", true, 5, Then::Nothing, std::nullopt, 1066, 5, win::kEventlogWarningType, "5"},
        EndRow{"EndsCleanlyWithRestartFalse", true, 0, Then::Nothing, std::nullopt, 0, 0,
               win::kEventlogInformationType, "0"},
        EndRow{"ExitCodeUnreadable", true, 5, Then::Nothing, MemoryPlatform::Op::GetExitCodeProcess, 0, 0,
               win::kEventlogInformationType, "unknown"},
        // The control 128 ends supervision: whatever the agent's end, no failure.
        EndRow{"EndsAfterControl128", true, 5, Then::Control128, std::nullopt, 0, 0, win::kEventlogWarningType, "5"},
        // A stop asked for the agent's end.
        EndRow{"Stopped", false, 0, Then::Stop, std::nullopt, 0, 0, win::kEventlogInformationType, "0"}),
    rowName<EndRow>);

// --- A pid file left over from before the system started ---

TEST_F(HostTest, APidFileFromBeforeTheSystemStartedDoesNotBlockTheStart) {
    // The pid the file names now belongs to some other program.
    const uint32_t other = os.spawnProcess({});
    os.writeFile(pidFile, std::to_string(other) + "\r\n");
    os.setFileWriteTime(pidFile, os.systemTimeNow() - 2 * 3600000);  // the system started an hour ago
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    EXPECT_TRUE(eventsWithId(host::kEventStartRefused).empty());
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.processRunning(other)) << "the stop ends only what the host launched";
}

}  // namespace
}  // namespace vornel::testing
