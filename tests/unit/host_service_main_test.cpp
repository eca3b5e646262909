// The host run whole, as the service control manager runs it: the entry, the trace set-up,
// the supervision loop and controls arriving on the dispatcher thread.
#include <atomic>
#include <thread>

#include "host_test_support.h"

namespace vornel::testing {
namespace {

const Expected kStartPending{win::kServiceStartPending, {}, 0u, {}, 1u, 180000u};
const Expected kRunning{win::kServiceRunning, host::kAcceptedControls, 0u, {}, 0u, 60000u};
const Expected kStoppedAfterAgent{win::kServiceStopped, {}, 0u, {}, 0u, 60000u};
const Expected kStoppedNoPid{win::kServiceStopped, {}, 1066u, 1u, 1u, 60000u};

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

class ServiceMainTest : public HostTest {
protected:
    size_t countReports(const Expected& expected) {
        size_t n = 0;
        for (const ServiceStatus& s : reports()) n += matches(s, expected) ? 1 : 0;
        return n;
    }
};

// --- Entry ---

struct EntryRow {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string err;
    std::vector<std::string> eventSources;
    uint64_t dispatcherCalls;
};

void PrintTo(const EntryRow& row, std::ostream* os) { *os << row.name; }

class EntryTest : public ServiceMainTest, public ::testing::WithParamInterface<EntryRow> {};

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

TEST_F(ServiceMainTest, WithoutAPidFileItStopsAtOnce) {
    os.deleteTree(params);
    os.setString(params, kAgentHome, home);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(matches(reports()[0], kStoppedNoPid));
    EXPECT_TRUE(os.events().empty());
    EXPECT_TRUE(os.launches().empty());
    EXPECT_EQ(out(), "\r\n VornelAgentServiceMain - doRestartServer = true" + std::string(kUsage));
}

TEST_F(ServiceMainTest, WithoutAControlHandlerItStartsNothing) {
    os.failNext(MemoryPlatform::Op::RegisterServiceCtrlHandler, win::kErrorAccessDenied);
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

TEST_F(ServiceMainTest, RefusesToStartWhileThePidFileNamesALiveProcess) {
    uint32_t live = os.spawnProcess({});
    os.writeFile(pidFile, std::to_string(live) + "\n");
    startHost();
    EXPECT_EQ(finishHost(), 0);
    auto all = reports();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(matches(all[0], kStartPending));
    // The checkpoint and wait hint stay as the start of the cycle left them.
    EXPECT_TRUE(matches(all[1], Expected{win::kServiceStopped, {}, 1066u, 134217728u + live, 2u, 180000u}));
    EXPECT_TRUE(os.launches().empty());
    ASSERT_EQ(os.events().size(), 1u);
    EXPECT_EQ(os.events()[0].id, host::kEventStartCycle);
    EXPECT_EQ(os.events()[0].insertion, name);
}

struct RestartCase {
    const char* name;
    std::optional<std::string> value;
    bool restarts;
};

void PrintTo(const RestartCase& row, std::ostream* os) { *os << row.name; }

class RestartTest : public ServiceMainTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, RestartsTheAgentUnlessRestartIsExactlyFalse) {
    const RestartCase& c = GetParam();
    if (c.value) {
        os.setString(params, kRestart, *c.value);
    } else {
        os.deleteTree(params);
        os.setString(params, kAgentHome, home);
        os.setString(params, kAgentName, "agent one");
        os.setString(params, kAgentPidFile, pidFile);
    }
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    os.endProcess(agents()[0], 3);
    if (c.restarts) {
        // The whole cycle again: event, start pending, script, a new agent supervised.
        ASSERT_TRUE(waitForAgents(2));
        ASSERT_TRUE(waitForReport(kRunning, 2));
        EXPECT_EQ(eventsWithId(host::kEventStartCycle).size(), 2u);
        EXPECT_EQ(countReports(kStartPending), 2u);
        EXPECT_EQ(launchesOf("startAgent.bat"), 2u);
        os.postControl(win::kServiceControlStop);
        EXPECT_EQ(finishHost(), 0);
        EXPECT_FALSE(os.processRunning(agents()[1]));
        EXPECT_EQ(launchesOf("startAgent.bat"), 2u);
        EXPECT_EQ(out().rfind("\r\n VornelAgentServiceMain - doRestartServer = true", 0), 0u);
    } else {
        EXPECT_EQ(finishHost(), 0);
        EXPECT_TRUE(matches(reports().back(), kStoppedAfterAgent));
        EXPECT_EQ(countReports(kStartPending), 1u);
        EXPECT_EQ(launchesOf("startAgent.bat"), 1u);
        EXPECT_EQ(launchesOf("stopAgent.bat"), 0u);
        EXPECT_EQ(out().rfind("\r\n VornelAgentServiceMain - doRestartServer = false", 0), 0u);
    }
    EXPECT_FALSE(os.hangDetected());
}

INSTANTIATE_TEST_SUITE_P(RestartValues, RestartTest,
                         ::testing::Values(RestartCase{"True", "true", true}, RestartCase{"Capitals", "TRUE", true},
                                           RestartCase{"FalseCapitalised", "False", true},
                                           RestartCase{"FalseWithABlank", "false ", true},
                                           RestartCase{"Empty", "", true}, RestartCase{"Missing", std::nullopt, true},
                                           RestartCase{"False", "false", false}),
                         rowName<RestartCase>);

TEST_F(ServiceMainTest, GivesUpWhenNoNewPidAppears) {
    installation.writesPid = false;
    startHost();
    EXPECT_EQ(finishHost(), 0);
    auto all = reports();
    EXPECT_TRUE(matches(all.back(), kStoppedNoPid));
    auto errors = eventsWithId(host::kEventNoNewPid);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].type, win::kEventlogErrorType);
    EXPECT_EQ(errors[0].insertion, name);
    EXPECT_EQ(launchesOf("startAgent.bat"), 1u);
    // 31 one-second attempts after the running report.
    auto timed = os.statusReports();
    EXPECT_GE(timed.back().atMs - timed[timed.size() - 2].atMs, 31000u);
}

TEST_F(ServiceMainTest, EventsAndReportsOfAStartCycle) {
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
    auto all = reports();
    EXPECT_TRUE(matches(all.front(), kStartPending));
    // The start script takes two seconds: checkpoints 3 and 4, then stops accepted, then running.
    ASSERT_EQ(all.size(), 5u);
    EXPECT_TRUE(matches(all[1], Expected{win::kServiceStartPending, 0u, {}, {}, 3u, 180000u}));
    EXPECT_TRUE(matches(all[2], Expected{win::kServiceStartPending, 0u, {}, {}, 4u, 180000u}));
    EXPECT_TRUE(matches(all[3], Expected{win::kServiceStartPending, host::kAcceptedControls, {}, {}, 4u, 180000u}));
    EXPECT_TRUE(matches(all[4], kRunning));
    for (const Report& r : os.statusReports()) EXPECT_FALSE(r.fromHandler);
    os.postControl(win::kServiceControlStop);
    finishHost();
}

// --- Controls during a run ---

TEST_F(ServiceMainTest, AfterAControlTheProcessEndsOnlyOnceItCanHaveBeenAnswered) {
    // Stopped by a control: 200 ms pass after the last report before the entry returns.
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(os.nowMs() - os.statusReports().back().atMs, 200u);
}

TEST_F(ServiceMainTest, WithoutAControlTheProcessEndsAtOnce) {
    os.setString(params, kRestart, "false");
    installation.agentRunsForMs = 5000;
    startHost();
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(matches(reports().back(), kStoppedAfterAgent));
    EXPECT_EQ(os.nowMs(), os.statusReports().back().atMs);
}

TEST_F(ServiceMainTest, TheEntryWaitsForAHandlerThatStillRuns) {
    // As under Wine: the dispatcher has returned while the handler is still answering.
    auto host = directContext();
    host->handlersRunning = 1;
    host->controlHandled = true;
    std::atomic<bool> done{false};
    std::thread entry([&] {
        host::waitForControlAnswers(*host);
        done = true;
    });
    ASSERT_TRUE(os.waitUntil([&] { return os.nowMs() >= 5000; }));
    EXPECT_FALSE(done);
    const uint64_t handlerReturned = os.nowMs();
    host->handlersRunning = 0;
    entry.join();
    EXPECT_GE(os.nowMs(), handlerReturned + 200);
    EXPECT_LE(os.nowMs(), handlerReturned + 210 + 200);

    // A handler that never returns is waited for 30 s, not for ever.
    host->handlersRunning = 1;
    const uint64_t start = os.nowMs();
    host::waitForControlAnswers(*host);
    EXPECT_EQ(os.nowMs() - start, 30000u + 200u);
}

TEST_F(ServiceMainTest, ControlOneTwentyEightLeavesTheAgentRunning) {
    startHost();
    ASSERT_TRUE(waitForAgents(1));
    ASSERT_TRUE(waitForReport(kRunning));
    os.postControl(host::PROCESS_STOP_SERVER);
    ASSERT_TRUE(waitForReport(Expected{win::kServiceStopPending, host::kAcceptedControls, 0u, {}, {}, 40000u}));
    EXPECT_TRUE(os.processRunning(agents()[0]));
    os.endProcess(agents()[0], 0);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_TRUE(matches(reports().back(), kStoppedAfterAgent));
    EXPECT_EQ(launchesOf("startAgent.bat"), 1u);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 0u);
}

TEST_F(ServiceMainTest, LegacyModeLeavesTheAgentUnsupervised) {
    os.setOsMajorVersion(4);
    os.setString(params, kLogFile, "C:\\agent.log");
    startHost();
    ASSERT_TRUE(waitForReport(kRunning));
    // The service main returns while the service stays running.
    os.joinServiceThread();
    EXPECT_TRUE(matches(reports().back(), kRunning));
    EXPECT_EQ(os.callCount(MemoryPlatform::Op::OpenProcess), 0u);
    EXPECT_EQ(os.launches()[0].commandLine, "\"C:\\agent\\bin\\startAgent.bat\"  agent one");
    os.postControl(win::kServiceControlStop);
    EXPECT_EQ(finishHost(), 0);
    EXPECT_EQ(launchesOf("stopAgent.bat"), 1u);
    EXPECT_TRUE(matches(reports().back(), Expected{win::kServiceStopped, host::kAcceptedControls, 0u, 0u, {}, 40000u}));
    EXPECT_FALSE(os.processRunning(agents()[0])) << "the stop script ended the agent it did not supervise";
}

// --- Failures while supervising ---

struct SupervisionCase {
    const char* name;
    std::optional<MemoryPlatform::Op> failing;
    ErrorCode code;
    bool traceHasPid;        // the trace line ends with the agent's pid and the code
    std::string trace;
    bool errorOutput;        // "run: Error getting rc" with the system's text
};

class SupervisionTest : public ServiceMainTest, public ::testing::WithParamInterface<SupervisionCase> {};

TEST_P(SupervisionTest, HowTheEndOfTheAgentIsTraced) {
    const SupervisionCase& c = GetParam();
    os.setString(params, kRestart, "false");
    os.setString(params, kDebugTrace, "on");
    installation.agentRunsForMs = 5000;
    if (c.failing) os.failNext(*c.failing, c.code);
    startHost();
    EXPECT_EQ(finishHost(), 0);
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_TRUE(traced(c.traceHasPid ? c.trace + std::to_string(agents()[0]) + ": " + std::to_string(c.code)
                                     : c.trace));
    // (The error stream also holds the rest of the trace lines that show a pid piece.)
    const std::string errorLine = "run: Error getting rc: " + systemText(c.code) + "\n";
    EXPECT_EQ(errWithoutTrace().find(c.errorOutput ? errorLine : "run: Error") != std::string::npos, c.errorOutput);
    // Whatever happened, the restart decision follows: none with Restart "false".
    EXPECT_TRUE(matches(reports().back(), kStoppedAfterAgent));
}

void PrintTo(const SupervisionCase& row, std::ostream* os) { *os << row.name; }

INSTANTIATE_TEST_SUITE_P(
    Cases, SupervisionTest,
    ::testing::Values(
        SupervisionCase{"ExitCode", std::nullopt, 0, false,
                        "VornelAgentService - VornelAgentServiceMain - exit code = 7", false},
        SupervisionCase{"NotOpened", MemoryPlatform::Op::OpenProcess, win::kErrorAccessDenied, true,
                        "VornelAgentService - VornelAgentServiceMain - OpenProcess failed for pid ", false},
        SupervisionCase{"NoExitCode", MemoryPlatform::Op::GetExitCodeProcess, win::kErrorInvalidHandle, false,
                        "VornelAgentService - VornelAgentServiceMain - return from wait.", true}),
    rowName<SupervisionCase>);

// --- Trace ---

TEST_F(ServiceMainTest, TraceGoesToTheTraceFiles) {
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

void PrintTo(const TraceSwitchRow& row, std::ostream* os) { *os << row.name; }

class TraceSwitchTest : public ServiceMainTest, public ::testing::WithParamInterface<TraceSwitchRow> {};

TEST_P(TraceSwitchTest, TraceIsOnOnlyForOnAndRedirectedOnlyWithBothFiles) {
    const TraceSwitchRow& c = GetParam();
    MemoryPlatform platform;
    LocalConsole console;
    auto host = host::HostContext::create(platform);
    if (c.debugTrace) platform.setString(params, kDebugTrace, *c.debugTrace);
    if (c.stdoutFile) platform.setString(params, kStdOutTraceFile, "C:\\o.txt");
    if (c.stderrFile) platform.setString(params, kStdErrTraceFile, "C:\\e.txt");
    host::setUpTrace(*host, params);
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
