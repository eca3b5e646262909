// The fault-injection sweep over the service host: each scenario is run once without faults,
// which must do exactly what the scenario says, and then once per platform call it makes,
// with exactly that call failing. A faulted run is judged by what holds after any fault (no
// crash, no hang, no handle left open, stopped is final, events name what they should, no
// script launched with a wrong path) and by the outcomes its failing call allows (which
// error line, which exit codes); the in-memory platform says what each call was for.
#include <set>

#include "host_sweep.h"

namespace vornel::testing {
namespace {

constexpr uint32_t kCycle = host::kEventStartCycle;
constexpr uint32_t kScriptReturned = host::kEventStartScriptReturned;
constexpr uint32_t kNoNewPid = host::kEventNoNewPid;
constexpr uint32_t kStopScriptFailed = host::kEventStopScriptFailed;
constexpr uint32_t kStopTimedOut = host::kEventStopTimedOut;
constexpr uint32_t kAgentEnded = host::kEventAgentEnded;
constexpr uint32_t kStartRefused = host::kEventStartRefused;
constexpr uint32_t kRestartDelayed = host::kEventRestartDelayed;
constexpr uint32_t kAgentNotStartedHere = host::kEventAgentNotStartedHere;
constexpr uint32_t kStartScriptNotRun = host::kEventStartScriptNotRun;
constexpr uint32_t kTakenBack = host::kEventAgentTakenBack;

bool isLegacy(const HostScenario& s) { return s.osMajorVersion == 4; }
bool isRefused(const HostScenario& s) { return s.liveProcessInPidFile; }

// A script's command line as the host composes it from the scenario's settings.
std::string scriptLine(const HostScenario& s, bool start) {
    const std::string line = "\"" + kHostHome + "bin\\" + (start ? "startAgent.bat" : "stopAgent.bat") + "\" ";
    const std::string arguments = start ? kHostStartArguments : kHostStopArguments;
    if (isLegacy(s)) return line + " agent one " + arguments;
    return line + " \"agent one\" " + arguments + (start ? " > \"" : " >> \"") + kHostLogFile + "\"";
}

// The events of n start cycles whose agents end: each but the last ends by itself after a
// short run, so the restart after it waits (RestartThrottle).
std::vector<uint32_t> cycles(unsigned n) {
    std::vector<uint32_t> ids;
    for (unsigned i = 0; i < n; ++i) {
        ids.insert(ids.end(), {kCycle, kScriptReturned, kAgentEnded});
        if (i + 1 < n) ids.push_back(kRestartDelayed);
    }
    return ids;
}

// The report that ended the run: the dispatcher returns on the first stopped report, and the
// process with it.
const MemoryPlatform::StatusReport* endingReport(const HostRun& run) {
    auto it = std::find_if(run.reports.begin(), run.reports.end(), [](const MemoryPlatform::StatusReport& r) {
        return r.status.dwCurrentState == win::kServiceStopped;
    });
    return it == run.reports.end() ? nullptr : &*it;
}

std::pair<uint32_t, uint32_t> stopCodes(const MemoryPlatform::StatusReport& report) {
    return {report.status.dwWin32ExitCode, report.status.dwServiceSpecificExitCode};
}

// --- The clean run: exactly what the scenario says ---

void checkCleanRun(const HostScenario& s, const HostRun& run) {
    SCOPED_TRACE("host " + s.name + ": clean run");
    EXPECT_FALSE(run.hang);
    EXPECT_FALSE(run.timedOut);
    EXPECT_FALSE(run.stuck);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "") << "no error output";
    EXPECT_EQ(run.handlesLeft, 0u);
    if (!s.launchedByManager) {
        EXPECT_NE(run.out.find("Usage: VornelAgentService.exe"), std::string::npos);
        EXPECT_TRUE(run.reports.empty());
        EXPECT_TRUE(run.trace.empty());
        return;
    }
    EXPECT_FALSE(run.trace.empty());
    EXPECT_EQ(run.stdoutFile && run.stderrFile, s.traceToFiles);
    EXPECT_EQ(run.eventSources, std::vector<std::string>{kHostService});
    const MemoryPlatform::StatusReport* stopped = endingReport(run);
    ASSERT_NE(stopped, nullptr);
    if (!s.pidFileConfigured) {
        EXPECT_EQ(stopCodes(*stopped), std::make_pair(win::kErrorServiceSpecificError, host::kNoPidExitCode));
        EXPECT_TRUE(run.launches.empty());
        EXPECT_TRUE(run.events.empty());
        return;
    }
    if (isRefused(s)) {
        EXPECT_EQ(stopCodes(*stopped),
                  std::make_pair(win::kErrorServiceSpecificError, host::kAlreadyRunningExitCodeBase + run.oldPid));
        EXPECT_TRUE(run.launches.empty());
        EXPECT_EQ(run.eventIds(), (std::vector<uint32_t>{kCycle, kStartRefused}));
        EXPECT_EQ(run.runningAfterStop, std::vector<uint32_t>{run.oldPid}) << "the live agent is left alone";
        return;
    }
    if (s.stopScriptNeverEnds) {
        // StopTimeout ends the stop script and the agent; a warning event says so.
        EXPECT_EQ(stopCodes(*stopped), std::make_pair(0u, 0u));
        EXPECT_EQ(run.commandLines("stopAgent.bat"), std::vector<std::string>{scriptLine(s, false)});
        const std::vector<uint32_t> ids = run.eventIds();
        EXPECT_EQ(std::count(ids.begin(), ids.end(), kStopTimedOut), 1);
        EXPECT_TRUE(run.runningAtEnd.empty() || !s.jobsWork)
            << "left running: " << ::testing::PrintToString(run.runningAtEnd);
        return;
    }
    if (s.stopWhileStartScriptRuns) {
        // The stop waits for the start script, runs the stop script, which ends the agent that
        // the start script started, and reports stopped from its own thread.
        EXPECT_FALSE(stopped->fromHandler);
        EXPECT_EQ(stopCodes(*stopped), std::make_pair(0u, 0u));
        EXPECT_EQ(run.commandLines("startAgent.bat"), std::vector<std::string>{scriptLine(s, true)});
        EXPECT_EQ(run.commandLines("stopAgent.bat"), std::vector<std::string>{scriptLine(s, false)});
        EXPECT_EQ(run.eventIds(), std::vector<uint32_t>{kCycle});
        EXPECT_TRUE(run.runningAfterStop.empty());
        return;
    }
    if (s.earlierRunsAgent) {
        // Taken back without the start script; the stop script does not reach it, StopTimeout does.
        EXPECT_EQ(stopCodes(*stopped), std::make_pair(0u, 0u));
        EXPECT_TRUE(run.commandLines("startAgent.bat").empty());
        EXPECT_EQ(run.commandLines("stopAgent.bat"), std::vector<std::string>{scriptLine(s, false)});
        EXPECT_EQ(run.eventIds(), (std::vector<uint32_t>{kTakenBack, kStopTimedOut}));
        EXPECT_TRUE(run.runningAfterStop.empty());
        return;
    }
    if (s.agentWritesNoPid || s.control128) {
        // No pid within the wait, or control 128 and an agent that stays: the host ends its job.
        const auto codes = s.control128 ? std::make_pair(0u, 0u)
                                        : std::make_pair(win::kErrorServiceSpecificError, host::kNoPidExitCode);
        EXPECT_EQ(stopCodes(*stopped), codes);
        EXPECT_EQ(run.commandLines("startAgent.bat").size(), 1u);
        EXPECT_TRUE(run.commandLines("stopAgent.bat").empty());
        EXPECT_EQ(run.eventIds(), (std::vector<uint32_t>{kCycle, kScriptReturned, s.control128 ? kStopTimedOut : kNoNewPid}));
        EXPECT_TRUE(run.runningAtEnd.empty()) << "left running: " << ::testing::PrintToString(run.runningAtEnd);
        return;
    }
    // The agents end by themselves until the last, which the stop ends.
    const unsigned starts = isLegacy(s) ? 1 : s.agentsEndingByThemselves + 1;
    EXPECT_EQ(run.commandLines("startAgent.bat"), std::vector<std::string>(starts, scriptLine(s, true)));
    EXPECT_EQ(run.commandLines("stopAgent.bat"), std::vector<std::string>{scriptLine(s, false)});
    EXPECT_EQ(stopCodes(*stopped), std::make_pair(0u, 0u));
    // In legacy mode the agent is not supervised: no event tells of its end.
    const std::vector<uint32_t> legacyEvents = {kCycle, kScriptReturned};
    EXPECT_EQ(run.eventIds(), isLegacy(s) ? legacyEvents : cycles(starts));
    EXPECT_EQ(run.driverSteps, 1u) << "one stop ends the service";
    EXPECT_TRUE(run.runningAfterStop.empty());
}

// --- Any faulted run ---

// The error lines a failing call may leave: each names the call that failed.
std::set<std::string> allowedErrorOutput(const Fault& f, const MemoryPlatform::Call& call) {
    std::set<std::string> allowed = {""};
    switch (f.op) {
        case Op::CreateProcess:
        case Op::ResumeProcess:
            // A start script that cannot be created, or not let run, has failed to launch.
            if (call.subject == "startAgent.bat") allowed.insert(systemErrorLine("Couldn't create startServer process", f.code));
            break;
        case Op::SetServiceStatus:
            // Reports of the start script's wait are answered on the error output.
            if (call.thread == "service main" && (call.subject == "start pending" || call.subject == "running")) {
                allowed.insert(systemErrorLine("Couldn't set service status", f.code));
            }
            break;
        case Op::GetExitCodeProcess: allowed.insert(systemErrorLine("run: Error getting rc", f.code)); break;
        case Op::RegisterServiceCtrlHandlerEx:
            allowed = {systemErrorLine("Couldn't register the control handler", f.code)};
            break;
        case Op::CreateEvent: allowed = {systemErrorLine("Couldn't create the control event", f.code)}; break;
        default: break;
    }
    return allowed;
}

// What the call after the failing one was in the clean run: a faulted run is the clean run up
// to its failing call, so this tells what a failed open of the Parameters key was for.
const MemoryPlatform::Call* nextCleanCall(const HostRun& clean, const Fault& f) {
    return f.n < clean.callRecords.size() ? &clean.callRecords[f.n] : nullptr;
}

bool isRead(const Fault& f, const MemoryPlatform::Call& call, const HostRun& clean, const char* value) {
    if (f.op == Op::RegQueryValue) return call.subject == value;
    const MemoryPlatform::Call* next = nextCleanCall(clean, f);
    return f.op == Op::RegOpenKeyEx && next != nullptr && next->op == Op::RegQueryValue && next->subject == value;
}

void checkFaultedRun(const HostScenario& s, const HostRun& clean, const HostRun& run, const Fault& f) {
    const MemoryPlatform::Call& call = run.callRecords[f.n - 1];
    SCOPED_TRACE("host " + s.name + ": " + describe(f) + ": " + call.subject + " on the " + call.thread + " thread");

    // Nothing crashes, hangs or leaks; the host ends with 0 however the run went.
    EXPECT_FALSE(run.hang) << "an unbounded wait gave up";
    EXPECT_FALSE(run.timedOut) << "the run did not finish in time";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.handlesLeft, 0u) << "handles left open";

    // Only a control handler that cannot be registered leaves a service that cannot end.
    EXPECT_EQ(run.stuck, f.op == Op::RegisterServiceCtrlHandlerEx) << [&] {
        std::string calls;
        for (size_t i = f.n > 3 ? f.n - 3 : 0; i < run.callRecords.size(); ++i) {
            calls += std::string("\n  ") + MemoryPlatform::opName(run.callRecords[i].op) + " " +
                     run.callRecords[i].subject + " (" + run.callRecords[i].thread + ")";
        }
        return "driver steps " + std::to_string(run.driverSteps) + calls;
    }();

    // The error output holds at most the failing call's own line.
    const std::set<std::string> allowed = allowedErrorOutput(f, call);
    EXPECT_TRUE(allowed.count(run.err) != 0) << "unexpected error output: " << ::testing::PrintToString(run.err);

    // The service ends stopped, unless the host never became one.
    const bool neverAService = !s.launchedByManager || f.op == Op::RunServiceDispatcher ||
                               f.op == Op::RegisterServiceCtrlHandlerEx;
    const MemoryPlatform::StatusReport* stopped = endingReport(run);
    EXPECT_TRUE(stopped != nullptr || neverAService) << "no stopped report";
    // Stopped is final: no other state is reported after the first stopped report.
    for (const MemoryPlatform::StatusReport* r = stopped; r != nullptr && r != run.reports.data() + run.reports.size();
         ++r) {
        EXPECT_EQ(r->status.dwCurrentState, win::kServiceStopped) << "a report after the stopped one";
    }
    // Nothing the host launched runs on: stopped is reported only once it has ended,
    // unless the failing call was the stop's own look at the job, the forced end of a process,
    // or the look that tells an agent the host started (one it cannot tell is never ended).
    // Without a job, an agent that cannot be opened cannot be ended; an agent outside the job
    // that never writes its pid cannot be found at all.
    const bool stopCouldNotSeeOrEnd = f.op == Op::TerminateProcess || f.op == Op::TerminateJob ||
                                      f.op == Op::JobProcessIds || (!s.jobsWork && f.op == Op::OpenProcess) ||
                                      f.op == Op::ProcessCreationTime ||
                                      (s.agentWritesNoPid && f.op == Op::AssignProcessToJob);
    if (stopped != nullptr && !stopCouldNotSeeOrEnd) {
        EXPECT_TRUE(run.runningAtEnd.empty()) << "left running: " << ::testing::PrintToString(run.runningAtEnd);
    }

    // Every script is launched from the agent home's bin folder.
    for (const MemoryPlatform::Launch& launch : run.launches) {
        EXPECT_EQ(launch.commandLine.rfind("\"" + kHostHome + "bin\\", 0), 0u) << launch.commandLine;
        EXPECT_EQ(launch.workingDir, kHostHome + "bin");
    }
    // A command line differs from the clean run's only when a part of it could not be read.
    // (A LogFile whose folder cannot be made leaves the redirection out.)
    const bool partUnread = f.op == Op::RegOpenKeyEx || f.op == Op::RegQueryValue || f.op == Op::OsMajorVersion ||
                            f.op == Op::FileAttributes || f.op == Op::CreateDirectory;
    if (!partUnread) {
        for (const std::string& line : run.commandLines("startAgent.bat")) EXPECT_EQ(line, scriptLine(s, true));
        for (const std::string& line : run.commandLines("stopAgent.bat")) EXPECT_EQ(line, scriptLine(s, false));
    }

    // Events carry the service name, or the launch error's text for a stop script that failed.
    const std::set<uint32_t> hostEvents = {kCycle,       kScriptReturned, kNoNewPid,     kStopScriptFailed,
                                           kStopTimedOut, kAgentEnded,    kStartRefused, kRestartDelayed,
                                           kAgentNotStartedHere, kStartScriptNotRun, kTakenBack};
    for (const MemoryPlatform::Event& event : run.events) {
        EXPECT_EQ(hostEvents.count(event.id), 1u) << std::hex << event.id;
        if (event.id != kStopScriptFailed && event.id != kStopTimedOut) {
            EXPECT_EQ(event.insertion, kHostService);
        }
    }

    // The service ended for one of the host's reasons, and the failing call allows it.
    if (stopped != nullptr) {
        const std::pair<uint32_t, uint32_t> codes = stopCodes(*stopped);
        std::set<uint32_t> namedPids = {run.oldPid};
        namedPids.insert(run.agents.begin(), run.agents.end());
        const bool refused = codes.first == win::kErrorServiceSpecificError &&
                             codes.second >= host::kAlreadyRunningExitCodeBase &&
                             namedPids.count(codes.second - host::kAlreadyRunningExitCodeBase) != 0;
        const bool noPid = codes == std::make_pair(win::kErrorServiceSpecificError, host::kNoPidExitCode);
        // Without ERROR_SERVICE_SPECIFIC_ERROR the service-specific code means nothing; without
        // the control event the service stops with the reason.
        const bool noEvent = f.op == Op::CreateEvent && codes == std::make_pair(f.code, 0u);
        // The start script could not be run: it could not be launched, or a part of its
        // command line could not be read.
        const bool notRun = codes == std::make_pair(win::kErrorServiceSpecificError, host::kStartScriptNotRunExitCode) &&
                            (f.op == Op::CreateProcess || f.op == Op::ResumeProcess || f.op == Op::RegOpenKeyEx ||
                             f.op == Op::RegQueryValue);
        EXPECT_TRUE(codes.first == 0 || refused || noPid || noEvent || notRun) << codes.first << "/" << codes.second;
        if (noPid && !isRefused(s) && !s.agentWritesNoPid) {
            // No pid: the pid file is not configured, could not be read, or no new pid appeared
            // (the start script did not run, or its agent's pid could not be read).
            EXPECT_TRUE(!s.pidFileConfigured || isRead(f, call, clean, kAgentPidFile) || f.op == Op::CreateProcess ||
                        f.op == Op::ResumeProcess || f.op == Op::ReadTextFile || f.op == Op::RegOpenKeyEx ||
                        f.op == Op::RegQueryValue)
                << "no pid for another reason";
        }
    }
    if (isRead(f, call, clean, kAgentPidFile) && call.thread == "service main") {
        ASSERT_NE(stopped, nullptr);
        EXPECT_EQ(stopCodes(*stopped), std::make_pair(win::kErrorServiceSpecificError, host::kNoPidExitCode));
        EXPECT_TRUE(run.launches.empty());
    }
    if (f.op == Op::CreateProcess && call.subject == "stopAgent.bat") {
        // A stop script that cannot be launched is reported with the launch error's text.
        const std::vector<uint32_t> ids = run.eventIds();
        EXPECT_NE(std::find(ids.begin(), ids.end(), kStopScriptFailed), ids.end());
        const std::string text = platformText(f.code).empty() ? std::to_string(f.code) : platformText(f.code);
        for (const MemoryPlatform::Event& event : run.events) {
            if (event.id == kStopScriptFailed) {
                EXPECT_EQ(event.insertion, text);
            }
        }
    }
    if (f.op == Op::RunServiceDispatcher) {
        EXPECT_TRUE(run.reports.empty());
        EXPECT_TRUE(run.launches.empty());
        EXPECT_NE(run.out.find("Usage: VornelAgentService.exe"), std::string::npos);
    }

    // After a stop script that ran to its end, no agent started before it is left running.
    if (run.stopScriptEnded && !isRefused(s)) {
        for (uint32_t pid : run.runningAfterStop) EXPECT_EQ(pid, run.oldPid) << "agent " << pid << " left running";
    }
}

SweepTally sweepHost(const HostScenario& s) {
    SweepTally tally;
    HostRun clean;
    {
        MemoryPlatform os;
        HostRig rig(s, os);
        clean = rig.run(0, 0);
        checkCleanRun(s, clean);
        tally.cleanCalls = clean.calls;
    }
    for (ErrorCode code : kSweepCodes) {
        tally.injected += sweepCalls(code, [&](uint64_t n, ErrorCode c) -> RunRecord {
            MemoryPlatform os;
            HostRig rig(s, os);
            HostRun run = rig.run(n, c);
            if (run.calls < n) return std::move(run);
            checkFaultedRun(s, clean, run, faultOf(run, n, c));
            return std::move(run);
        });
    }
    // The same scenario makes the same calls every run: every call of the clean run has been
    // failed once with each code.
    EXPECT_EQ(tally.injected, tally.cleanCalls * kSweepCodes.size()) << s.name;
    printTally("host", s.name, tally);
    return tally;
}

TEST(FaultSweep, HostSupervisesRestartsAndStops) {
    HostScenario s;
    s.name = "supervised restart stop";
    s.traceToFiles = true;
    s.deadProcessInPidFile = true;
    s.argumentsEncoded = true;
    s.agentsEndingByThemselves = 1;
    s.traceFileMaxKB = "1";  // the restart keeps the first cycle's trace as .1
    sweepHost(s);
}

TEST(FaultSweep, HostEndsWhatItStartedWhenNoPidIsWritten) {
    HostScenario s;
    s.name = "no new pid";
    s.agentWritesNoPid = true;
    sweepHost(s);
}

TEST(FaultSweep, HostEndsItsJobAtStopTimeoutAfterControl128) {
    HostScenario s;
    s.name = "control 128";
    s.control128 = true;
    s.stopTimeout = "5";
    sweepHost(s);
}

TEST(FaultSweep, HostTakesBackTheAgentOfAnEarlierRun) {
    HostScenario s;
    s.name = "taken back";
    s.earlierRunsAgent = true;
    s.stopTimeout = "5";
    sweepHost(s);
}

TEST(FaultSweep, HostStopWhileStartPending) {
    HostScenario s;
    s.name = "stop while start pending";
    s.stopWhileStartScriptRuns = true;
    s.startScriptMs = 30000;  // long enough for the stop to arrive first, short of checkpoint 60
    sweepHost(s);
}

TEST(FaultSweep, HostEndsAStopThatRunsOverItsTimeout) {
    HostScenario s;
    s.name = "stop timeout";
    s.stopScriptNeverEnds = true;
    s.stopTimeout = "5";
    sweepHost(s);
}

TEST(FaultSweep, HostEndsTheAgentsPidWhenNothingJoinsTheJob) {
    HostScenario s;
    s.name = "no job";
    s.stopScriptNeverEnds = true;
    s.stopTimeout = "5";
    s.jobsWork = false;
    sweepHost(s);
}

TEST(FaultSweep, HostRefusesAStartWhileTheAgentRuns) {
    HostScenario s;
    s.name = "refused start";
    s.liveProcessInPidFile = true;
    sweepHost(s);
}

TEST(FaultSweep, HostWithoutAPidFile) {
    HostScenario s;
    s.name = "no pid file";
    s.pidFileConfigured = false;
    sweepHost(s);
}

TEST(FaultSweep, HostInLegacyMode) {
    HostScenario s;
    s.name = "legacy mode";
    s.osMajorVersion = 4;
    sweepHost(s);
}

TEST(FaultSweep, HostRunByHand) {
    HostScenario s;
    s.name = "run by hand";
    s.launchedByManager = false;
    sweepHost(s);
}

}  // namespace
}  // namespace vornel::testing
