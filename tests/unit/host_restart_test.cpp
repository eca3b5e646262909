// Starts and restarts: the back-off after short runs and RestartThrottle, a stop while a
// restart waits, how an agent's failure shows in the stopped report, the events of the agent's
// end, and a pid file left over from before the system started.
#include <string>
#include <vector>

#include "host_test_support.h"

namespace vornel::testing {
namespace {

constexpr uint64_t kShortAgentRunMs = 500;  // with the 2.5-s start script: a 3-s run
const Expected kRunningReport{win::kServiceRunning, host::kAcceptedControls, 0u, {}, 0u, 60000u};

class RestartBackOffTest : public HostTest {
protected:
    // The seconds each restart waited, from the restart-delayed events.
    std::vector<uint32_t> delaysReported() const {
        std::vector<uint32_t> seconds;
        for (const auto& e : eventsWithId(host::kEventRestartDelayed)) {
            EXPECT_EQ(e.type, win::kEventlogWarningType);
            EXPECT_EQ(e.insertions.size(), 2u);
            EXPECT_EQ(e.insertions[0], name);
            seconds.push_back(static_cast<uint32_t>(std::stoul(e.insertions.at(1))));
        }
        return seconds;
    }

    // The virtual time between each agent's end and the next launch of the start script.
    std::vector<uint64_t> gapsMs() const {
        const auto ends = agentEndTimes();
        const auto launches = startLaunchTimes();
        std::vector<uint64_t> gaps;
        for (size_t i = 0; i < ends.size() && i + 1 < launches.size(); ++i) gaps.push_back(launches[i + 1] - ends[i]);
        return gaps;
    }

    // The reports made from the agent's end (inclusive) to the next launch (exclusive).
    std::vector<Report> reportsBetween(uint64_t fromMs, uint64_t toMs) const {
        std::vector<Report> result;
        for (const Report& r : os.statusReports()) {
            if (r.atMs >= fromMs && r.atMs < toMs) result.push_back(r);
        }
        return result;
    }
};

TEST_F(RestartBackOffTest, ShortRunsDoubleTheWaitToTheLongestAndALongRunResetsIt) {
    // Ten short runs, a long one (0.5 s longer than RestartThrottle's 60 s), two short ones,
    // then an agent that runs on.
    installation.agentRunsMs = std::vector<uint64_t>(10, kShortAgentRunMs);
    installation.agentRunsMs.push_back(58000);
    installation.agentRunsMs.push_back(kShortAgentRunMs);
    installation.agentRunsMs.push_back(kShortAgentRunMs);
    os.setString(params, kDebugTrace, "on");
    startHost();
    ASSERT_TRUE(waitForAgents(14));
    ASSERT_TRUE(waitForReport(kRunningReport, 14));

    const std::vector<uint32_t> expected{1, 2, 4, 8, 16, 32, 64, 128, 256, 256, 1, 2};
    EXPECT_EQ(delaysReported(), expected);
    const std::vector<uint64_t> expectedGaps{1000,  2000,  4000,   8000,   16000,  32000, 64000,
                                             128000, 256000, 256000, 0,      1000,   2000};
    EXPECT_EQ(gapsMs(), expectedGaps);
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - the agent ran 3000 ms, less than "
                       "RestartThrottle (60 s): the restart waits 4 s"));
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - restarting after 4 s"));

    // While it waits, the service is start pending, accepts stops, and raises the checkpoint
    // once a second.
    const auto ends = agentEndTimes();
    const auto launches = startLaunchTimes();
    const auto waiting = reportsBetween(ends[2], launches[3]);
    ASSERT_EQ(waiting.size(), 4u);
    for (size_t i = 0; i < waiting.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(matches(waiting[i].status, Expected{win::kServiceStartPending, host::kAcceptedControls, 0u, {},
                                                        static_cast<uint32_t>(i + 1), host::kStartWaitHint}));
        EXPECT_EQ(waiting[i].atMs, ends[2] + 1000 * i);
    }
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

struct ThrottleRow {
    const char* name;
    std::optional<std::string> value;  // RestartThrottle; absent: not set
    uint64_t gapMs;                    // after a 3-s run
};

void PrintTo(const ThrottleRow& row, std::ostream* os) { *os << row.name; }

class RestartThrottleTest : public RestartBackOffTest, public ::testing::WithParamInterface<ThrottleRow> {};

TEST_P(RestartThrottleTest, AShortRunIsOneShorterThanRestartThrottle) {
    const ThrottleRow& c = GetParam();
    if (c.value) os.setString(params, kRestartThrottle, *c.value);
    installation.agentRunsMs = {kShortAgentRunMs};
    startHost();
    ASSERT_TRUE(waitForAgents(2));
    ASSERT_TRUE(waitForReport(kRunningReport, 2));
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

// A stop while a restart waits: the wait ends, and the service stops by the stop path's rules.
struct WaitStopRow {
    const char* name;
    bool agentLeavesAChild;  // a process of the job still runs, so the stop path runs
};

void PrintTo(const WaitStopRow& row, std::ostream* os) { *os << row.name; }

class StopDuringWaitTest : public RestartBackOffTest, public ::testing::WithParamInterface<WaitStopRow> {};

TEST_P(StopDuringWaitTest, AStopEndsTheWait) {
    const WaitStopRow& c = GetParam();
    installation.agentRunsMs = std::vector<uint64_t>(5, kShortAgentRunMs);
    installation.agentStartsChild = c.agentLeavesAChild;
    installation.stopScriptMs = 1000;
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    // The stop comes as the third restart (4 s) begins to wait.
    std::atomic<uint64_t> stopSentAt{0};
    os.setEventHook([this, &stopSentAt](const MemoryPlatform::Event& e) {
        if (e.id == host::kEventRestartDelayed && e.insertions.at(1) == "4") {
            stopSentAt = os.nowMs();
            os.postControl(win::kServiceControlStop);
        }
    });
    startHost();
    EXPECT_EQ(finishHost(), 0);
    ASSERT_NE(stopSentAt, 0u);
    EXPECT_EQ(agents().size(), 3u) << "no start after the stop";
    const Report last = os.statusReports().back();
    EXPECT_TRUE(matches(last.status, Expected{win::kServiceStopped, {}, 0u, 0u, {}, {}}));
    if (c.agentLeavesAChild) {
        // The stop script runs; the agent's children are ended when StopTimeout runs out, and
        // meanwhile the waiting service main has seen the stop.
        EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
        for (uint32_t child : agentChildren()) EXPECT_FALSE(os.processRunning(child));
        EXPECT_EQ(last.atMs - stopSentAt, 5000u);
        EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - a stop ended the wait before the restart"));
    } else {
        // Nothing runs: stopped at once, without the stop script; the process ends with it.
        EXPECT_EQ(launchesOf("stopAgent.bat"), 0u);
        EXPECT_EQ(last.atMs, stopSentAt.load());
    }
    EXPECT_FALSE(os.hangDetected());
}

INSTANTIATE_TEST_SUITE_P(Rows, StopDuringWaitTest,
                         ::testing::Values(WaitStopRow{"NothingRuns", false}, WaitStopRow{"AChildRunsOn", true}),
                         rowName<WaitStopRow>);

// --- How the agent's end shows: the stopped report and the agent-ended event. ---

enum class Then { Nothing, Control128, Stop };

struct EndRow {
    const char* name;
    bool restartFalse;
    uint32_t exitCode;
    Then then;                       // what comes while the agent runs
    std::optional<MemoryPlatform::Op> unreadable;  // the exit code cannot be read
    uint32_t win32, specific;        // the stopped report
    uint16_t eventType;              // of the agent-ended event
    std::string exitText;            // its third insertion
};

void PrintTo(const EndRow& row, std::ostream* os) { *os << row.name; }

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
        ASSERT_TRUE(waitForReport(kRunningReport));
        os.postControl(c.then == Then::Stop ? win::kServiceControlStop : host::PROCESS_STOP_SERVER);
        if (c.then == Then::Control128) {
            ASSERT_TRUE(waitForReport(Expected{win::kServiceStopPending, {}, {}, {}, {}, {}}));
            os.endProcess(agents()[0], c.exitCode);
        }
    }
    EXPECT_EQ(finishHost(), 0);
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_TRUE(matches(reports().back(), Expected{win::kServiceStopped, {}, c.win32, c.specific, {}, {}}));
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
    ASSERT_TRUE(waitForReport(kRunningReport));
    EXPECT_TRUE(eventsWithId(host::kEventStartRefused).empty());
    EXPECT_TRUE(os.processRunning(other));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.processRunning(other)) << "the stop ends only what the host launched";
}

}  // namespace
}  // namespace vornel::testing
