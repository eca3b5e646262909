// The host run whole, as the service control manager runs it: the entry, the trace set-up, the
// start cycle with its reports and events, a long start script, supervision, legacy mode.
#include <atomic>
#include <thread>

#include "host_test_support.h"

namespace vornel::testing {
namespace {

const char kUsage[] =
    "\r\n \r\nUsage: VornelAgentService.exe (with no arguments displays this help)\r\n "
    "\r\n       The VornelAgent Windows Service cannot be started using VornelAgentService.exe\r\n "
    "\r\n       To Install the VornelAgent windows service, use InstallVornelAgentService.exe located in the "
    "<agent home>/bin directory.\r\n "
    "\r\n       To Uninstall the VornelAgent windows service, use UninstallVornelAgentService.exe located in the "
    "<agent home>/bin directory.\r\n "
    "\r\n       To Start the VornelAgent windows service, use StartVornelAgentService.exe located in the "
    "<agent home>/bin directory.\r\n "
    "\r\n       To Stopt the VornelAgent windows service, use StopVornelAgentService.exe located in the "
    "<agent home>/bin directory.\r\n "
    "\r\n       Note that you may also start and stop the VornelAgent windows service from the Windows Services "
    "Menu.\r\n "
    "\r\n       Use VornelAgentServiceInfo.exe to obtain information about an VornelAgent windows service.\r\n ";

// The console captured for one platform of a loop, and given back afterwards.
struct LocalConsole {
    CapturedStream out, err;
    LocalConsole() { resetTrace(out.stream(), err.stream()); }
    ~LocalConsole() { resetTrace(stdout, stderr); }
};

// Checkpoint and wait hint only while pending, nothing accepted once stopped: what every report
// of a run must hold.
void expectWindowsFields(const std::vector<ServiceStatus>& reports) {
    for (const ServiceStatus& s : reports) {
        const bool pending = s.dwCurrentState == win::kServiceStartPending || s.dwCurrentState == win::kServiceStopPending;
        if (!pending) {
            EXPECT_EQ(s.dwCheckPoint, 0u) << "state " << s.dwCurrentState;
            EXPECT_EQ(s.dwWaitHint, 0u) << "state " << s.dwCurrentState;
        }
        if (s.dwCurrentState == win::kServiceStopped) {
            EXPECT_EQ(s.dwControlsAccepted, 0u);
        }
    }
}

// --- Entry ---

struct EntryRow {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
    std::vector<std::string> eventSources;
    uint64_t dispatcherCalls;
};

class EntryTest : public ::testing::TestWithParam<EntryRow> {};

TEST_P(EntryTest, ChecksTheCommandLine) {
    const EntryRow& c = GetParam();
    MemoryPlatform platform;
    LocalConsole console;
    std::vector<std::string> args{"VornelAgentService.exe"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Argv argv(args);
    EXPECT_EQ(host::vornelAgentServiceProgramMain(platform, argv.argc(), argv.argv()), c.status);
    EXPECT_EQ(console.out.text(), kUsage);
    EXPECT_EQ(console.err.text(), c.err);
    EXPECT_EQ(platform.eventSources(), c.eventSources);
    EXPECT_EQ(platform.callCount(MemoryPlatform::Op::RunServiceDispatcher), c.dispatcherCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EntryTest,
    ::testing::Values(
        EntryRow{"NoArguments", {}, 0, "", {}, 0}, EntryRow{"AName", {"some service"}, 0, "", {"some service"}, 1},
        EntryRow{"LogFileLast", {"svc", "-logFile"}, -1, "Parameter -logFile needs to be followed by an argument.\n",
                 {}, 0},
        EntryRow{"EncodeParamsLast", {"svc", "-encodeParams"}, 0, "", {"svc"}, 1},
        EntryRow{"HelpAlone", {"-help"}, 0, "", {"-help"}, 1}),
    rowName<EntryRow>);

// --- Starting ---

TEST_F(HostTest, WithoutAPidFileItStopsAtOnce) {
    os.deleteTree(params);
    os.setString(params, kAgentHome, home);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(matches(reports()[0], stopped(1066, 1)));
    EXPECT_TRUE(os.events().empty());
    EXPECT_TRUE(os.launches().empty());
    EXPECT_EQ(out(), "\r\n VornelAgentServiceMain - doRestartServer = true" + std::string(kUsage));
}

TEST_F(HostTest, WithoutAControlHandlerItStartsNothing) {
    os.failNext(MemoryPlatform::Op::RegisterServiceCtrlHandlerEx, win::kErrorAccessDenied);
    startHost();
    ASSERT_TRUE(os.waitUntil([&] { return os.callCount(MemoryPlatform::Op::RunServiceDispatcher) == 1 &&
                                          !os.serviceMainRunning(); }));
    EXPECT_TRUE(os.launches().empty());
    EXPECT_TRUE(os.events().empty());
    EXPECT_EQ(os.callCount(MemoryPlatform::Op::SetServiceStatus), 0u);
    EXPECT_EQ(errWithoutTrace(), "Couldn't register the control handler: " + systemText(win::kErrorAccessDenied) + "\n");
    // A stop cannot reach it: the dispatcher waits until the service manager ends the process.
    os.postControl(win::kServiceControlStop);
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    EXPECT_TRUE(os.launches().empty());
    os.shutdown();
    EXPECT_EQ(finishHost(), 0);
}

TEST_F(HostTest, WithoutTheControlEventItStopsWithTheReason) {
    os.failNext(MemoryPlatform::Op::CreateEvent, win::kErrorAccessDenied);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(os.launches().empty());
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(matches(reports()[0], stopped(win::kErrorAccessDenied, 0)));
    EXPECT_EQ(errWithoutTrace(), "Couldn't create the control event: " + systemText(win::kErrorAccessDenied) + "\n");
}

TEST_F(HostTest, RefusesToStartWhileThePidFileNamesALiveProcess) {
    uint32_t live = os.spawnProcess({});
    os.writeFile(pidFile, std::to_string(live) + "\n");
    startHost();
    EXPECT_EQ(finishHost(), 0);
    auto all = reports();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(matches(all[0], startPending(1)));
    EXPECT_TRUE(matches(all[1], stopped(1066, 134217728u + live)));
    EXPECT_TRUE(os.launches().empty());
    ASSERT_EQ(os.events().size(), 2u);
    EXPECT_EQ(os.events()[0].id, host::kEventStartCycle);
    EXPECT_EQ(os.events()[0].insertion, name);
    // The refusal is an error event with the pid.
    EXPECT_EQ(os.events()[1].id, host::kEventStartRefused);
    EXPECT_EQ(os.events()[1].type, win::kEventlogErrorType);
    EXPECT_EQ(os.events()[1].insertions, (std::vector<std::string>{name, std::to_string(live)}));
}

TEST_F(HostTest, EventsAndReportsOfAStartCycle) {
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    auto events = os.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, host::kEventStartCycle);
    EXPECT_EQ(events[1].id, host::kEventStartScriptReturned);
    for (const auto& e : events) {
        EXPECT_EQ(e.type, win::kEventlogInformationType);
        EXPECT_EQ(e.insertion, name);
    }
    // The 2.5-s start script: checkpoints 3 and 4 a second apart, then running as it ends.
    auto made = os.statusReports();
    ASSERT_EQ(made.size(), 4u);
    const Expected expected[] = {startPending(1), startPending(3), startPending(4), kRunning};
    const uint64_t at[] = {0, 1000, 2000, 2500};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(matches(made[i].status, expected[i])) << i;
        EXPECT_EQ(made[i].atMs - made[0].atMs, at[i]) << i;
        EXPECT_FALSE(made[i].fromHandler);
    }
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    expectWindowsFields(reports());
}

struct RestartCase {
    const char* name;
    std::optional<std::string> value;
    bool restarts;
};

class RestartValueTest : public HostTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartValueTest, RestartsTheAgentUnlessRestartIsExactlyFalse) {
    const RestartCase& c = GetParam();
    // The restart follows at once (no throttle), so that this test is about Restart alone.
    os.deleteTree(params);
    InstalledService("unit").agentHome(home).agentName("agent one").traceFiles(std::nullopt, std::nullopt).restart(c.value).install(os);
    os.setString(params, kRestartThrottle, "0");
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    os.endProcess(agents()[0], 3);
    if (c.restarts) {
        // The whole cycle again: event, start pending, script, a new agent supervised.
        ASSERT_TRUE(waitForAgents(2));
        ASSERT_TRUE(waitForReport(kRunning, 2));
        EXPECT_EQ(eventsWithId(host::kEventStartCycle).size(), 2u);
        EXPECT_EQ(launchesOf("startAgent.bat"), 2u);
        os.postControl(win::kServiceControlStop);
        EXPECT_EQ(finishHost(), 0);
        EXPECT_FALSE(os.processRunning(agents()[1]));
        EXPECT_EQ(out().rfind("\r\n VornelAgentServiceMain - doRestartServer = true", 0), 0u);
    } else {
        EXPECT_EQ(finishHost(), 0);
        // The agent ended with 3 and no restart follows: the service's failure, 1066 / 3.
        EXPECT_TRUE(matches(reports().back(), stopped(1066, 3)));
        EXPECT_EQ(launchesOf("startAgent.bat"), 1u);
        EXPECT_EQ(launchesOf("stopAgent.bat"), 0u);
        EXPECT_EQ(out().rfind("\r\n VornelAgentServiceMain - doRestartServer = false", 0), 0u);
    }
    EXPECT_FALSE(os.hangDetected());
}

INSTANTIATE_TEST_SUITE_P(RestartValues, RestartValueTest,
                         ::testing::Values(RestartCase{"True", "true", true}, RestartCase{"Capitals", "TRUE", true},
                                           RestartCase{"FalseCapitalised", "False", true},
                                           RestartCase{"FalseWithABlank", "false ", true},
                                           RestartCase{"Empty", "", true}, RestartCase{"Missing", std::nullopt, true},
                                           RestartCase{"False", "false", false}),
                         rowName<RestartCase>);

TEST_F(HostTest, AfterAControlTheProcessEndsOnlyOnceItCanHaveBeenAnswered) {
    // Stopped by a control: 200 ms pass after the last report before the entry returns.
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(os.nowMs() - os.statusReports().back().atMs, 200u);
}

TEST_F(HostTest, WithoutAControlTheProcessEndsAtOnce) {
    os.setString(params, kRestart, "false");
    installation.agentRunsForMs = 5000;
    installation.agentExitCode = 0;
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(matches(reports().back(), stopped()));
    EXPECT_EQ(os.nowMs(), os.statusReports().back().atMs);
}

TEST_F(HostTest, TheEntryWaitsForAHandlerThatStillRuns) {
    // As under Wine: the dispatcher has returned while the handler is still answering.
    auto host = directContext();
    host->inbox->handlersRunning = 1;
    host->inbox->controlHandled = true;
    std::atomic<bool> done{false};
    std::thread entry([&] {
        host::waitForControlAnswers(*host);
        done = true;
    });
    ASSERT_TRUE(os.waitUntil([&] { return os.nowMs() >= 5000; }));
    EXPECT_FALSE(done);
    const uint64_t handlerReturned = os.nowMs();
    host->inbox->handlersRunning = 0;
    entry.join();
    EXPECT_GE(os.nowMs(), handlerReturned + 200);
    EXPECT_LE(os.nowMs(), handlerReturned + 210 + 200);
    // A handler that never returns is waited for 30 s, not for ever.
    host->inbox->handlersRunning = 1;
    const uint64_t start = os.nowMs();
    host::waitForControlAnswers(*host);
    EXPECT_EQ(os.nowMs() - start, 30000u + 200u);
}

// --- A long start script ---

// Controls that come while a 65-s start script runs, at the moment given (virtual ms after the
// start), with the reports they must leave.
struct LongStartRow {
    const char* name;
    uint64_t atMs;
    uint32_t control;
    size_t runningReports;  // by the start script's end
};

class LongStartTest : public HostTest, public ::testing::WithParamInterface<LongStartRow> {
protected:
    void SetUp() override {
        installation.startScriptMs = 65000;
        // A process of the test's that ends at the moment and sends the control then.
        installation.onStartLaunch = [this] {
            if (launchesOf("startAgent.bat") > 1) return;
            MemoryPlatform::ProcessSpec timer;
            timer.runsForMs = GetParam().atMs;
            timer.onExit = [this] { os.postControl(GetParam().control); };
            os.spawnProcess(timer);
        };
    }
};

TEST_P(LongStartTest, ItIsRunningFromCheckpointSixtyOnAndAControlMovesNoCheckpoint) {
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning, GetParam().runningReports));
    auto made = os.statusReports();
    const uint64_t start = made.front().atMs;
    // Start pending with the checkpoint rising once a second, whatever control came...
    uint32_t checkPoint = 1;
    size_t i = 0;
    for (; i < made.size() && made[i].status.dwCurrentState == win::kServiceStartPending; ++i) {
        if (i > 0 && made[i].status.dwCheckPoint == made[i - 1].status.dwCheckPoint) continue;  // an interrogate
        EXPECT_TRUE(matches(made[i].status, startPending(checkPoint))) << i;
        EXPECT_EQ(made[i].atMs - start, checkPoint == 1 ? 0 : (checkPoint - 2) * 1000u) << i;
        checkPoint = checkPoint == 1 ? 3 : checkPoint + 1;
    }
    EXPECT_EQ(checkPoint, 60u) << "checkpoints 1, 3 ... 59";
    // ...then running at checkpoint 60, 58 s into the script, and running it stays: an
    // interrogate repeats it.
    ASSERT_LT(i, made.size());
    EXPECT_TRUE(matches(made[i].status, kRunning));
    EXPECT_EQ(made[i].atMs - start, 58000u);
    for (; i < made.size(); ++i) EXPECT_TRUE(matches(made[i].status, kRunning)) << i;
    EXPECT_TRUE(matches(reports().back(), kRunning));
    EXPECT_EQ(eventsWithId(host::kEventStartScriptReturned).size(), 1u);
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    expectWindowsFields(reports());
}

INSTANTIATE_TEST_SUITE_P(Rows, LongStartTest,
                         ::testing::Values(LongStartRow{"InterrogateAtCheckpointFiftySeven", 55500, 4, 2},
                                           LongStartRow{"UnknownControlAtCheckpointFiftySeven", 55500, 129, 2},
                                           LongStartRow{"InterrogateAfterCheckpointSixty", 59500, 4, 3}),
                         rowName<LongStartRow>);

TEST_F(HostTest, AStopToolIsHeardOnceALongStartScriptHasMadeTheServiceRunning) {
    installation.startScriptMs = 65000;
    std::atomic<int> status{-100};
    // The stop tool at 59 s, once the service is running; the service manager refuses a stop
    // to a starting service.
    std::atomic<int> early{-100};
    installation.onStartLaunch = [&] {
        MemoryPlatform::ProcessSpec at30, at59;
        at30.runsForMs = 30000;
        at30.onExit = [&] { os.startClient("early stop tool", stopTool(early)); };
        at59.runsForMs = 59000;
        at59.onExit = [&] { os.startClient("stop tool", stopTool(status)); };
        os.spawnProcess(at30);
        os.spawnProcess(at59);
    };
    startHost();
    EXPECT_EQ(finishHost(), 0);
    ASSERT_TRUE(os.waitClients());
    EXPECT_EQ(early, -1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(os.controlAnswers().at(0).result, win::kErrorServiceCannotAcceptCtrl);
    // The stop waited for the start script, then ran the stop script, which ended the agent.
    const auto launches = os.launches();
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    EXPECT_EQ(stateSequence(), (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning,
                                                      win::kServiceStopPending, win::kServiceStopped}));
    EXPECT_TRUE(eventsWithId(host::kEventStartScriptReturned).empty());
    expectStoppedWithNothingLeft();
    expectWindowsFields(reports());
}

// --- Supervision ---

struct SupervisionCase {
    const char* name;
    Expected stopped;  // the last report
    std::optional<MemoryPlatform::Op> failing;
    ErrorCode code;
    bool traceHasPid;  // the trace line ends with the agent's pid and the code
    std::string trace;
    bool errorOutput;  // "run: Error getting rc" with the system's text
};

class SupervisionTest : public HostTest, public ::testing::WithParamInterface<SupervisionCase> {};

TEST_P(SupervisionTest, HowTheEndOfTheAgentIsTraced) {
    const SupervisionCase& c = GetParam();
    os.setString(params, kRestart, "false");
    os.setString(params, kDebugTrace, "on");
    installation.agentRunsForMs = 5000;
    if (c.failing) os.failNext(*c.failing, c.code);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_TRUE(traced(c.traceHasPid ? c.trace + std::to_string(agents()[0]) + ": " + std::to_string(c.code) : c.trace));
    const std::string errorLine = "run: Error getting rc: " + systemText(c.code) + "\n";
    EXPECT_EQ(errWithoutTrace().find(c.errorOutput ? errorLine : "run: Error") != std::string::npos, c.errorOutput);
    // Whatever happened, the restart decision follows: none with Restart "false"; an exit code
    // other than 0 shows as the service's failure.
    EXPECT_TRUE(matches(reports().back(), c.stopped));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SupervisionTest,
    ::testing::Values(SupervisionCase{"ExitCode", stopped(1066, 7), std::nullopt, 0, false,
                                      "VornelAgentService - VornelAgentServiceMain - exit code = 7", false},
                      SupervisionCase{"NotOpened", stopped(), MemoryPlatform::Op::OpenProcess, win::kErrorAccessDenied,
                                      true, "VornelAgentService - VornelAgentServiceMain - OpenProcess failed for pid ",
                                      false},
                      SupervisionCase{"NoExitCode", stopped(), MemoryPlatform::Op::GetExitCodeProcess,
                                      win::kErrorInvalidHandle, false,
                                      "VornelAgentService - VornelAgentServiceMain - return from wait.", true}),
    rowName<SupervisionCase>);

TEST_F(HostTest, LegacyModeLeavesTheAgentUnsupervised) {
    os.setOsMajorVersion(4);
    os.setString(params, kLogFile, "C:\\agent.log");
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    ASSERT_TRUE(os.waitUntil([&] { return os.serviceAwaitsTest(); }));
    EXPECT_TRUE(matches(reports().back(), kRunning));
    EXPECT_EQ(os.callCount(MemoryPlatform::Op::OpenProcess), 0u);
    EXPECT_EQ(os.launches()[0].commandLine, "\"C:\\agent\\bin\\startAgent.bat\"  agent one");
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    expectStoppedWithNothingLeft();
}

// --- Trace ---

TEST_F(HostTest, TraceGoesToTheTraceFiles) {
    const std::string outFile = "C:\\agent\\logs\\VornelAgentService.stdout";
    const std::string errFile = "C:\\agent\\logs\\VornelAgentService.stderr";
    os.setString(params, kDebugTrace, "on");
    os.setString(params, kStdOutTraceFile, outFile);
    os.setString(params, kStdErrTraceFile, errFile);
    os.setString(params, kRestart, "false");
    os.writeFile(outFile, "earlier\n");
    installation.agentRunsForMs = 1000;
    startHost({"a", "b"});
    EXPECT_EQ(finishHost(), 0);
    // Only the reads of the two file names are traced before the redirection.
    EXPECT_EQ(out(), "");
    auto before = trace();
    ASSERT_EQ(before.size(), 6u);
    EXPECT_EQ(before.back(), "CommonVornelAgentService - getRegistryValue - value = " + errFile);
    EXPECT_EQ(errWithoutTrace(), "");

    auto lines = splitLines(os.fileContent(errFile).value_or(""));
    ASSERT_GE(lines.size(), 8u);
    EXPECT_TRUE(hasTraceTime(lines[0]));
    auto messages = traceMessages(os.fileContent(errFile).value_or(""));
    const std::string equals(81, '=');
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 7),
              (std::vector<std::string>{
                  equals,
                  equals,
                  "VornelAgentService - VornelAgentServiceMain - entry - service = " + name + " ",
                  "VornelAgentService - VornelAgentServiceMain - argc = 3",
                  "VornelAgentService - VornelAgentServiceMain - arg(0) = " + name,
                  "VornelAgentService - VornelAgentServiceMain - arg(1) = a",
                  "VornelAgentService - VornelAgentServiceMain - arg(2) = b",
              }));
    EXPECT_EQ(messages.back(), equals);
    EXPECT_EQ(messages[messages.size() - 2], "VornelAgentService - VornelAgentServiceMain - exit.");

    const std::string stdoutText = os.fileContent(outFile).value_or("");
    EXPECT_EQ(stdoutText.rfind("earlier\n\r\n VornelAgentServiceMain - doRestartServer = false\r\n startServer - ", 0),
              0u);
    EXPECT_EQ(stdoutText.substr(stdoutText.size() - std::string(kUsage).size()), kUsage);
}

struct TraceSwitchRow {
    const char* name;
    std::optional<std::string> debugTrace;
    bool stdoutFile, stderrFile;
    bool tracing;
};

class TraceSwitchTest : public HostTest, public ::testing::WithParamInterface<TraceSwitchRow> {};

TEST_P(TraceSwitchTest, TraceIsOnOnlyForOnAndRedirectedOnlyWithBothFiles) {
    const TraceSwitchRow& c = GetParam();
    MemoryPlatform platform;
    LocalConsole console;
    host::HostContext host(platform);
    if (c.debugTrace) platform.setString(params, kDebugTrace, *c.debugTrace);
    if (c.stdoutFile) platform.setString(params, kStdOutTraceFile, "C:\\o.txt");
    if (c.stderrFile) platform.setString(params, kStdErrTraceFile, "C:\\e.txt");
    host::setUpTrace(host, params);
    traceMessage("probe");
    EXPECT_EQ(isTraceOn(), c.tracing);
    auto messages = traceMessages(console.err.text());
    EXPECT_EQ(messages.empty(), !c.tracing);
    if (c.tracing) { EXPECT_EQ(messages.back(), "probe"); }
    EXPECT_FALSE(platform.fileContent("C:\\o.txt").has_value());
    EXPECT_FALSE(platform.fileContent("C:\\e.txt").has_value());
}

INSTANTIATE_TEST_SUITE_P(Rows, TraceSwitchTest,
                         ::testing::Values(TraceSwitchRow{"OnWithOneFileNoRedirection", "on", true, false, true},
                                           TraceSwitchRow{"Capitals", "ON", true, true, false},
                                           TraceSwitchRow{"TrailingBlank", "on ", true, true, false},
                                           TraceSwitchRow{"Off", "off", true, true, false}),
                         rowName<TraceSwitchRow>);

}  // namespace
}  // namespace vornel::testing
