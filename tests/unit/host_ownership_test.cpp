// What the host ends and what it leaves alone: only what it started (the processes of its job,
// or without a job an agent created after its start script), never itself, nothing left
// running once it has reported stopped; the control 128 within StopTimeout; and the decoded
// arguments that never reach the trace.
#include "common/encoding.h"
#include "host_test_support.h"

namespace vornel::testing {
namespace {

// The pid file names, once the start script has run, a process that the host did not start.
struct ForeignPidRow {
    const char* name;
    bool hostsOwnPid;  // the host's own pid; otherwise some other live process
};

class ForeignPidTest : public HostTest, public ::testing::WithParamInterface<ForeignPidRow> {};

TEST_P(ForeignPidTest, IsNeverEnded) {
    os.setString(params, kStopTimeout, "5");
    os.setString(params, kDebugTrace, "on");
    installation.writesPid = false;
    const uint32_t foreign = GetParam().hostsOwnPid ? 4u : os.spawnProcess({});
    os.setCurrentProcessId(4);
    installation.onStartLaunch = [&] { os.writeFile(pidFile, std::to_string(foreign) + "\r\n"); };
    startHost();
    if (GetParam().hostsOwnPid) {
        // Never taken: the wait runs out, and the agent the script started is ended.
        EXPECT_EQ(finishHost(), 0);
        EXPECT_TRUE(matches(reports().back(), stopped(1066, 1)));
        EXPECT_TRUE(traced("VornelAgentService - waitForPidFile - pid 4 is the service host's own: not the agent"));
        EXPECT_FALSE(os.processRunning(agents().at(0))) << "nothing it launched runs on after stopped";
        return;
    }
    ASSERT_TRUE(os.waitUntil([&] { return !eventsWithId(host::kEventAgentNotStartedHere).empty(); }));
    EXPECT_EQ(eventsWithId(host::kEventAgentNotStartedHere)[0].insertions,
              (std::vector<std::string>{name, std::to_string(foreign)}));
    EXPECT_EQ(eventsWithId(host::kEventAgentNotStartedHere)[0].type, win::kEventlogWarningType);
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    // The stop waited for it to StopTimeout and ended what the host did start.
    EXPECT_TRUE(matches(reports().back(), stopped()));
    EXPECT_TRUE(os.processRunning(foreign));
    EXPECT_FALSE(os.processRunning(agents().at(0)));
    EXPECT_TRUE(traced("VornelAgentService - VornelAgentServiceMain - pid " + std::to_string(foreign) +
                       " is not a process the service started (not in the agent's job): it is waited for and never "
                       "ended"));
}

INSTANTIATE_TEST_SUITE_P(Rows, ForeignPidTest,
                         ::testing::Values(ForeignPidRow{"SomeOtherProcess", false}, ForeignPidRow{"TheHostItself", true}),
                         rowName<ForeignPidRow>);

TEST_F(HostTest, APidFileNamingTheHostItselfDoesNotRefuseTheStart) {
    os.setCurrentProcessId(4);
    os.writeFile(pidFile, "4\r\n");
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    EXPECT_TRUE(eventsWithId(host::kEventStartRefused).empty());
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
}

// Without a job the host knows its agent only by its creation time.
TEST_F(HostTest, WithoutAJobAnAgentOlderThanTheStartScriptIsNeverEnded) {
    os.setJobsWork(false);
    os.setString(params, kStopTimeout, "5");
    installation.writesPid = false;
    const uint32_t older = os.spawnProcess({});
    os.setProcessCreationTime(older, os.systemTimeNow() - 1000);
    installation.onStartLaunch = [&] { os.writeFile(pidFile, std::to_string(older) + "\r\n"); };
    startHost();
    ASSERT_TRUE(os.waitUntil([&] { return !eventsWithId(host::kEventAgentNotStartedHere).empty(); }));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.processRunning(older));
    EXPECT_TRUE(eventsWithId(host::kEventStopTimedOut).at(0).insertion == "nothing that still ran");
}

TEST_F(HostTest, NoNewPidEndsWhatTheStartScriptStartedBeforeItStops) {
    installation.writesPid = false;
    installation.agentStartsChild = true;
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(matches(reports().back(), stopped(1066, 1)));
    expectStoppedWithNothingLeft(stopped(1066, 1));
}

TEST_F(HostTest, AfterControlOneTwentyEightStopTimeoutEndsAnAgentThatStays) {
    os.setString(params, kStopTimeout, "5");
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(host::PROCESS_STOP_SERVER);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(os.statusReports().back().atMs - reportsFrom(win::kServiceStopPending).at(0).atMs, 5000u);
    expectStoppedWithNothingLeft();
    EXPECT_EQ(launchesOf("stopAgent.bat"), 0u);
    EXPECT_EQ(eventsWithId(host::kEventStopTimedOut).size(), 1u);
}

TEST_F(HostTest, DecodedArgumentsNeverReachTheTrace) {
    const std::string secret = "-Dpassword=hunter2 -Dmode=x";
    InstalledService("unit").agentHome(home).agentName("agent one").traceFiles(std::nullopt, std::nullopt)
        .encoded("on").startArgs(secret).stopArgs("-token hunter2").debugTrace("on").install(os);
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    // The scripts receive them whole; the trace shows their length only.
    EXPECT_NE(os.launches().at(0).commandLine.find(secret), std::string::npos);
    EXPECT_NE(os.launches().at(1).commandLine.find("-token hunter2"), std::string::npos);
    EXPECT_EQ(err().find("hunter2"), std::string::npos);
    EXPECT_TRUE(traced("VornelAgentService - startServer - about to start executable \"C:\\agent\\bin\\startAgent.bat\""
                       "  \"agent one\" <encoded arguments, 27 characters>"));
    EXPECT_TRUE(traced("VornelAgentService - stopServer - create process for executable - \"C:\\agent\\bin\\stopAgent.bat\""
                       "  \"agent one\" <encoded arguments, 14 characters>"));
}

// A host that ended without its stop left its agent running; the next one takes it back when
// it can tell it is the agent an earlier run started.
struct TakeBackRow {
    const char* name;
    bool inTheEarlierJob;                // the job of the service's name still holds it
    std::optional<std::string> pidSince;  // what the Runtime key recorded: "pid" and "since"
    bool takenBack;
};

class TakeBackTest : public HostTest, public ::testing::WithParamInterface<TakeBackRow> {};

TEST_P(TakeBackTest, TheAgentOfAnEarlierRunIsSupervisedAgainWithoutTheStartScript) {
    const TakeBackRow& c = GetParam();
    const uint32_t agent = os.spawnProcess({});
    os.setProcessCreationTime(agent, os.systemTimeNow() - 60000);
    os.writeFile(pidFile, std::to_string(agent) + "\r\n");
    if (c.inTheEarlierJob) os.putIntoNamedJob(host::agentJobName(name), agent);
    if (c.pidSince) {
        RegKey runtime;
        ASSERT_EQ(os.regCreateVolatileKey(runtimeKeyPath(name), runtime), 0u);
        ASSERT_EQ(os.regSetStringValue(runtime, kRuntimeAgentPid, std::to_string(agent)), 0u);
        ASSERT_EQ(os.regSetStringValue(runtime, kRuntimeAgentSince, *c.pidSince), 0u);
    }
    startHost();
    if (!c.takenBack) {
        // Any other live process refuses the start, as it always did.
        EXPECT_EQ(finishHost(), 0);
        EXPECT_TRUE(matches(reports().back(), stopped(1066, 134217728u + agent)));
        EXPECT_TRUE(os.processRunning(agent));
        return;
    }
    ASSERT_TRUE(waitForReport(kRunning));
    ASSERT_TRUE(os.waitUntil([&] { return os.stringValue(runtimeKeyPath(name), kRuntimePhase) == std::string(kPhaseSupervising); }));
    EXPECT_EQ(os.stringValue(runtimeKeyPath(name), kRuntimeAgentPid), std::to_string(agent));
    EXPECT_EQ(os.stringValue(runtimeKeyPath(name), kRuntimeStarts), "0");
    EXPECT_EQ(launchesOf("startAgent.bat"), 0u);
    auto events = eventsWithId(host::kEventAgentTakenBack);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].insertions, (std::vector<std::string>{name, std::to_string(agent)}));
    // The stop script stops it; the host ends it at StopTimeout otherwise.
    os.setString(params, kStopTimeout, "5");
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    EXPECT_FALSE(os.processRunning(agent));
    EXPECT_TRUE(matches(reports().back(), stopped()));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TakeBackTest,
    ::testing::Values(TakeBackRow{"InTheEarlierRunsJob", true, std::nullopt, true},
                      TakeBackRow{"AsTheRuntimeKeyRecordedIt", false, "2026-12-07 23:59:00 UTC", true},
                      TakeBackRow{"ACreationTimeOtherThanRecorded", false, "2026-12-07 23:58:00 UTC", false},
                      TakeBackRow{"NothingTellsItIsTheAgent", false, std::nullopt, false}),
    rowName<TakeBackRow>);

}  // namespace
}  // namespace vornel::testing
