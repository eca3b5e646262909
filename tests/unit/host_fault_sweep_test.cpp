// The fault-injection sweep over the service host: each scenario is run once per platform
// call it makes, with exactly that call failing.
#include "host_sweep.h"

namespace vornel::testing {
namespace {

// --- Service host ---

// A script's command line as the host composes it, and the parts a failed read leaves out.
struct ScriptLine {
    bool start = true;
    bool name = true;
    enum class Arguments { Decoded, Stored, None } arguments = Arguments::Decoded;
    bool logFile = true;
    bool legacy = false;

    std::string text(bool encoded) const {
        std::string plain = start ? kHostStartArguments : kHostStopArguments;
        std::string line = "\"" + kHostHome + "bin\\" + (start ? "startAgent.bat" : "stopAgent.bat") + "\" ";
        if (name) line += legacy ? " agent one" : " \"agent one\"";
        if (arguments != Arguments::None) {
            line += " " + (arguments == Arguments::Stored && encoded ? encodedArguments(plain) : plain);
        }
        if (logFile && !legacy) line += std::string(" ") + (start ? ">" : ">>") + " \"" + kHostLogFile + "\"";
        return line;
    }
};

constexpr uint32_t kCycle = host::kEventStartCycle;
constexpr uint32_t kScriptReturned = host::kEventStartScriptReturned;
constexpr uint32_t kNoNewPid = host::kEventNoNewPid;
constexpr uint32_t kStopScriptFailed = host::kEventStopScriptFailed;
constexpr ErrorCode kPathNotFound = 3;  // what the stop reports when no script path can be formed

// What a run of the host must leave behind.
struct HostExpect {
    std::vector<ScriptLine> starts, stops;           // the scripts launched, in order
    std::optional<std::pair<uint32_t, uint32_t>> stopped;  // the codes of the stopped report that ends the run
    std::vector<uint32_t> events;
    std::optional<std::string> stopFailureText;      // the insertion of the stop-script-failed event
    std::string errors;                              // the error output
    std::string consoleLine;                         // a line the console output must hold
    unsigned driverSteps = 0;
    size_t leftRunning = 0;
    bool stuck = false;
    bool traced = true;
    bool redirected = false;
    bool streamsChecked = true;  // false when a trace file could not be opened
    bool eventSource = true;
};

std::vector<uint32_t> cycles(unsigned n) {
    std::vector<uint32_t> ids;
    for (unsigned i = 0; i < n; ++i) ids.insert(ids.end(), {kCycle, kScriptReturned});
    return ids;
}

bool isLegacy(const HostScenario& s) { return s.osMajorVersion == 4; }
bool isRefused(const HostScenario& s) { return s.liveProcessInPidFile; }

// What a clean run of the scenario leaves: the agents end by themselves until the last,
// which the stop ends.
HostExpect cleanExpectation(const HostScenario& s) {
    HostExpect e;
    e.redirected = s.traceToFiles;
    if (!s.launchedByManager) {
        e.traced = false;
        e.consoleLine = "Usage: VornelAgentService.exe";
        return e;
    }
    if (!s.pidFileConfigured) {
        e.stopped = {win::kErrorServiceSpecificError, host::kNoPidExitCode};
        return e;
    }
    if (isRefused(s)) {
        e.stopped = {win::kErrorServiceSpecificError, 0};  // plus the pid, filled in per run
        e.events = {kCycle};
        e.leftRunning = 1;
        return e;
    }
    unsigned n = isLegacy(s) ? 1 : s.agentsEndingByThemselves + 1;
    for (unsigned i = 0; i < n; ++i) e.starts.push_back(ScriptLine{true, true, {}, true, isLegacy(s)});
    e.stops.push_back(ScriptLine{false, true, {}, true, isLegacy(s)});
    e.stopped = {0, 0};
    e.events = cycles(n);
    e.driverSteps = 1;
    return e;
}

// The cycle's start script did not run: the pid wait gives up (supervising), or the service
// runs on unsupervised until it is stopped (legacy).
void startScriptNotRun(const HostScenario& s, HostExpect& e, unsigned cycle) {
    e.starts.resize(cycle - 1);
    if (isLegacy(s)) return;
    e.events = cycles(cycle - 1);
    e.events.insert(e.events.end(), {kCycle, kScriptReturned, kNoNewPid});
    e.stops.clear();
    e.stopped = {win::kErrorServiceSpecificError, host::kNoPidExitCode};
    e.driverSteps = 0;
}

// The stop script did not run: the service returns to running, and ends when the agent ends
// (supervising) or at the next stop (legacy).
void stopScriptNotRun(const HostScenario& s, HostExpect& e, std::string text) {
    e.events.push_back(kStopScriptFailed);
    e.stopFailureText = std::move(text);
    if (isLegacy(s)) {
        e.driverSteps = 3;
    } else {
        e.stops.clear();
        e.driverSteps = 2;
    }
}

// The cycle's agent could not be waited for: the next cycle finds it alive and refuses.
void agentLost(const HostScenario& s, const HostRun& run, HostExpect& e, unsigned cycle) {
    e.starts.resize(cycle);
    e.stops.clear();
    e.events = cycles(cycle);
    e.events.push_back(kCycle);
    uint32_t agent = cycle <= run.agents.size() ? run.agents[cycle - 1] : 0;
    e.stopped = {win::kErrorServiceSpecificError, host::kAlreadyRunningExitCodeBase + agent};
    e.driverSteps = 0;
    e.leftRunning = cycle <= s.agentsEndingByThemselves ? 0 : 1;
}

// The process named by the pid file could not be shown to have ended: the start is refused.
void checkRefuses(const HostRun& run, HostExpect& e, unsigned cycle) {
    uint32_t named = cycle == 1 ? run.oldPid : (cycle - 1 <= run.agents.size() ? run.agents[cycle - 2] : 0);
    e.starts.resize(cycle - 1);
    e.stops.clear();
    e.events = cycles(cycle - 1);
    e.events.push_back(kCycle);
    e.stopped = {win::kErrorServiceSpecificError, host::kAlreadyRunningExitCodeBase + named};
    e.driverSteps = 0;
}

// The live agent was taken for dead: a cycle runs beside it, and the stop ends its agent.
void checkPassesAsDead(HostExpect& e) {
    e.starts = {ScriptLine{}};
    e.stops = {ScriptLine{false}};
    e.events = cycles(1);
    e.stopped = {0, 0};
    e.driverSteps = 1;
}

// The line of the script a failed read in its composition changes, or the consequence of
// a value the service main could not read.
void registryReadFailed(const HostScenario& s, HostExpect& e, const std::string& tag) {
    const std::string context = tag.substr(0, tag.find(':'));
    const std::string value = tag.substr(tag.find(':') + 1);
    if (context == "main") {
        if (value == kDebugTrace) {
            e.traced = false;
            e.redirected = false;
        } else if (value == kStdOutTraceFile || value == kStdErrTraceFile) {
            e.redirected = false;
        } else if (value == kAgentPidFile) {
            e.starts.clear();
            e.stops.clear();
            e.events.clear();
            e.stopped = {win::kErrorServiceSpecificError, host::kNoPidExitCode};
            e.driverSteps = 0;
        }
        return;
    }
    const bool start = context.rfind("start", 0) == 0;
    const unsigned index = static_cast<unsigned>(std::stoul(context.substr(start ? 5 : 4)));
    if (value.rfind(kAgentHome, 0) == 0) {
        e.consoleLine = start ? "\r\n startServer - the agent home (AgentHome) is not configured; startAgent.bat is not run"
                              : "\r\n stopServer - the agent home (AgentHome) is not configured; stopAgent.bat is not run";
        if (start) {
            startScriptNotRun(s, e, index);
        } else {
            stopScriptNotRun(s, e, platformText(kPathNotFound));
        }
        return;
    }
    std::vector<ScriptLine>& lines = start ? e.starts : e.stops;
    if (index > lines.size()) return;
    ScriptLine& line = lines[index - 1];
    if (value == kAgentName) line.name = false;
    if (value == kLogFile) line.logFile = false;
    const std::string arguments = start ? kStartupArguments : kStopArguments;
    if (value == arguments || value == arguments + "#2") line.arguments = ScriptLine::Arguments::None;
    if (value == kEncoded) line.arguments = ScriptLine::Arguments::Stored;
}

HostExpect hostExpectation(const HostScenario& s, const HostCallTags& tags, const HostRun& clean,
                           const HostRun& run, const Fault* fault) {
    HostExpect e = cleanExpectation(s);
    if (isRefused(s)) e.stopped->second = host::kAlreadyRunningExitCodeBase + run.oldPid;
    if (fault == nullptr) return e;
    const Fault& f = *fault;
    const auto cleanCount = [&](Op op) { return static_cast<unsigned>(std::count(clean.log.begin(), clean.log.end(), op)); };
    const auto indexOf = [](const std::string& tag, const char* head) {
        return static_cast<unsigned>(std::stoul(tag.substr(std::string(head).size())));
    };
    switch (f.op) {
        case Op::RegisterEventSource:
            e.events.clear();
            e.eventSource = false;
            break;
        case Op::RunServiceDispatcher:
        case Op::RegisterServiceCtrlHandler:
            e.starts.clear();
            e.stops.clear();
            e.events.clear();
            e.stopped.reset();
            e.driverSteps = 0;
            e.leftRunning = isRefused(s) ? 1 : 0;
            if (f.op == Op::RunServiceDispatcher) {
                e.traced = false;
                e.redirected = false;
                break;
            }
            // Nothing can be reported or stopped: the service manager ends it (the driver has
            // ended every agent on its way).
            e.errors = systemErrorLine("Couldn't register the control handler", f.code);
            e.driverSteps = 3;
            e.stuck = true;
            e.leftRunning = 0;
            break;
        case Op::OsMajorVersion: {
            std::string tag = HostCallTags::tagOf(tags.osVersions, f);
            if (tag == "main" || !isLegacy(s)) break;  // the scripts ask again; only their lines change
            bool start = tag.rfind("start", 0) == 0;
            std::vector<ScriptLine>& lines = start ? e.starts : e.stops;
            unsigned index = indexOf(tag, start ? "start" : "stop");
            if (index <= lines.size()) lines[index - 1].legacy = false;
            break;
        }
        case Op::RegOpenKeyEx:
        case Op::RegQueryValue:
            registryReadFailed(s, e, HostCallTags::tagOf(tags.registryReads, f));
            break;
        case Op::OpenAppendStream:
            e.streamsChecked = false;
            break;
        case Op::ReportEvent:
            if (f.occurrence <= e.events.size()) e.events.erase(e.events.begin() + (f.occurrence - 1));
            break;
        case Op::SetServiceStatus:
            // A report of the start script's wait is answered on the error output; the
            // others are not examined. A failed stopped report that no other report
            // follows leaves the service to the next stop.
            if (HostCallTags::tagOf(tags.statusReports, f) == "scriptwait") {
                e.errors = systemErrorLine("Couldn't set service status", f.code);
            }
            if (f.occurrence == cleanCount(Op::SetServiceStatus) && (isRefused(s) || !s.pidFileConfigured)) {
                e.stopped->first = 0;
                e.driverSteps = 1;
            } else if (f.occurrence == cleanCount(Op::SetServiceStatus)) {
                // Legacy mode, or the stopped report at the end of the stop script: the
                // service stays stop pending until another stop.
                e.driverSteps = 3;
            }
            break;
        case Op::ReadTextFile:
            if (isRefused(s) && f.occurrence == 1) checkPassesAsDead(e);
            break;
        case Op::OpenProcess: {
            std::string tag = HostCallTags::tagOf(tags.openProcesses, f);
            if (tag == "check") {
                if (isRefused(s)) checkPassesAsDead(e);
            } else {
                agentLost(s, run, e, indexOf(tag, "supervise"));
            }
            break;
        }
        case Op::WaitForProcess: {
            std::string tag = HostCallTags::tagOf(tags.processWaits, f);
            if (tag == "check") {
                unsigned cycle = static_cast<unsigned>(
                    std::count(tags.processWaits.begin(), tags.processWaits.begin() + f.occurrence, std::string("check")));
                checkRefuses(run, e, cycle);
            } else if (tag.rfind("supervise", 0) == 0) {
                agentLost(s, run, e, indexOf(tag, "supervise"));
            }
            break;  // a failed wait for a script ends that wait early; the script still does its work
        }
        case Op::GetExitCodeProcess:
            e.errors = systemErrorLine("run: Error getting rc", f.code);
            break;
        case Op::CreateProcess: {
            std::string tag = HostCallTags::tagOf(tags.launches, f);
            if (tag.rfind("start", 0) == 0) {
                e.errors = systemErrorLine("Couldn't create startServer process", f.code);
                startScriptNotRun(s, e, indexOf(tag, "start"));
            } else {
                std::string text = platformText(f.code);
                stopScriptNotRun(s, e, text.empty() ? std::to_string(f.code) : text);
            }
            break;
        }
        case Op::SystemErrorText:
            ADD_FAILURE() << "a clean run asks for no error text";
            break;
        default:  // closes and sleeps: nothing the host sees
            break;
    }
    return e;
}

// The report that ended the run: the dispatcher returns on the first stopped report, and the
// process with it; what the other thread reports in the moment before is no state of the
// service any more.
const MemoryPlatform::StatusReport* endingReport(const HostRun& run) {
    auto it = std::find_if(run.reports.begin(), run.reports.end(), [](const MemoryPlatform::StatusReport& r) {
        return r.status.dwCurrentState == win::kServiceStopped;
    });
    return it == run.reports.end() ? nullptr : &*it;
}

void checkHostRun(const HostScenario& s, const HostRun& run, const HostExpect& e) {
    EXPECT_FALSE(run.hang) << "an unbounded wait gave up";
    EXPECT_FALSE(run.timedOut) << "the run did not finish in time";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.stuck, e.stuck) << "the service waited for someone after every driver step";
    EXPECT_EQ(run.driverSteps, e.driverSteps);
    std::vector<std::string> starts, stops;
    for (const ScriptLine& l : e.starts) starts.push_back(l.text(s.argumentsEncoded));
    for (const ScriptLine& l : e.stops) stops.push_back(l.text(s.argumentsEncoded));
    EXPECT_EQ(run.commandLines("startAgent.bat"), starts);
    EXPECT_EQ(run.commandLines("stopAgent.bat"), stops);
    if (e.stopped) {
        const MemoryPlatform::StatusReport* stopped = endingReport(run);
        ASSERT_NE(stopped, nullptr) << "no stopped report";
        EXPECT_EQ(stopped->status.dwWin32ExitCode, e.stopped->first);
        EXPECT_EQ(stopped->status.dwServiceSpecificExitCode, e.stopped->second);
    } else {
        EXPECT_TRUE(run.reports.empty());
    }
    EXPECT_EQ(run.eventIds(), e.events);
    for (const MemoryPlatform::Event& event : run.events) {
        EXPECT_EQ(event.insertion, event.id == kStopScriptFailed ? e.stopFailureText.value_or("?") : kHostService);
    }
    EXPECT_EQ(run.eventSources, e.eventSource ? std::vector<std::string>{kHostService} : std::vector<std::string>{});
    EXPECT_EQ(run.runningAfterStop.size(), e.leftRunning) << "processes left running";
    if (e.streamsChecked) {
        EXPECT_EQ(run.err, e.errors);
        EXPECT_EQ(!run.trace.empty(), e.traced);
        EXPECT_EQ(run.stdoutFile && run.stderrFile, e.redirected);
    }
    if (!e.consoleLine.empty()) {
        EXPECT_NE(run.out.find(e.consoleLine), std::string::npos) << run.out;
    } else {
        EXPECT_EQ(run.out.find("is not configured"), std::string::npos) << run.out;
    }
}

SweepTally sweepHost(const HostScenario& s, const std::vector<ErrorCode>& codes) {
    SweepTally tally;
    HostRun clean;
    {
        MemoryPlatform os;
        HostRig rig(s, os);
        clean = rig.run(0, 0);
        SCOPED_TRACE("host " + s.name + ": clean run");
        checkHostRun(s, clean, hostExpectation(s, HostCallTags{}, clean, clean, nullptr));
        tally.cleanCalls = clean.calls;
    }
    const HostCallTags tags = HostCallTags::of(clean);
    for (ErrorCode code : codes) {
        tally.injected += sweepCalls(code, [&](uint64_t n, ErrorCode c) -> RunRecord {
            MemoryPlatform os;
            HostRig rig(s, os);
            HostRun run = rig.run(n, c);
            if (run.calls < n) return std::move(run);
            Fault fault = faultOf(run, n, c);
            SCOPED_TRACE("host " + s.name + ": " + describe(fault));
            checkHostRun(s, run, hostExpectation(s, tags, clean, run, &fault));
            return std::move(run);
        });
    }
    printTally("host", s.name, tally);
    return tally;
}

// A stop that arrives while the start script runs races the service main, as it does under
// the service manager: the handler reports stopped at once, or, when the service has already
// turned running, runs the stop script. Either way the run ends stopped, with no error line
// but the failed call's own, and the agent that the start script goes on to start is the only
// process that may be left running.
void checkPendingStopRun(const HostRun& run, const Fault* fault) {
    EXPECT_FALSE(run.hang) << "an unbounded wait gave up";
    EXPECT_FALSE(run.timedOut) << "the run did not finish in time";
    EXPECT_EQ(run.status, 0);
    const bool noService = fault != nullptr && (fault->op == Op::RunServiceDispatcher ||
                                                fault->op == Op::RegisterServiceCtrlHandler);
    EXPECT_EQ(run.stuck, fault != nullptr && fault->op == Op::RegisterServiceCtrlHandler);
    if (noService) {
        EXPECT_TRUE(run.reports.empty());
        EXPECT_TRUE(run.launches.empty());
        return;
    }
    const MemoryPlatform::StatusReport* stopped = endingReport(run);
    ASSERT_NE(stopped, nullptr) << "no stopped report";
    if (run.commandLines("startAgent.bat").empty()) {
        // No start script, so no stop either: the pid wait gives up.
        EXPECT_EQ(stopped->status.dwWin32ExitCode, win::kErrorServiceSpecificError);
        EXPECT_EQ(stopped->status.dwServiceSpecificExitCode, host::kNoPidExitCode);
    } else {
        // Stopped by the handler, or by the service main's next report of the state the
        // handler left when the handler's own report failed, or by the stop script.
        EXPECT_EQ(stopped->status.dwWin32ExitCode, 0u);
        EXPECT_EQ(stopped->status.dwServiceSpecificExitCode, 0u);
    }
    EXPECT_LE(run.commandLines("startAgent.bat").size(), 1u);
    EXPECT_LE(run.runningAfterStop.size(), 1u);
    for (uint32_t id : run.eventIds()) {
        EXPECT_TRUE(id == kCycle || id == kScriptReturned || id == kNoNewPid || id == kStopScriptFailed)
            << std::hex << id;
    }
    std::string allowed;
    if (fault != nullptr) {
        for (const char* label : {"Couldn't set service status", "Couldn't create startServer process",
                                  "run: Error getting rc"}) {
            std::string line = systemErrorLine(label, fault->code);
            if (run.err == line) allowed = line;
        }
    }
    EXPECT_EQ(run.err, allowed) << "only an error line of the failed call";
}

TEST(FaultSweep, HostStopWhileStartPending) {
    HostScenario s;
    s.name = "stop while start pending";
    s.stopWhileStartScriptRuns = true;
    s.startScriptMs = 30000;  // long enough for the stop to arrive first, short of checkpoint 60
    SweepTally tally;
    {
        MemoryPlatform os;
        HostRig rig(s, os);
        HostRun clean = rig.run(0, 0);
        SCOPED_TRACE("host " + s.name + ": clean run");
        checkPendingStopRun(clean, nullptr);
        tally.cleanCalls = clean.calls;
    }
    for (ErrorCode code : kSweepCodes) {
        tally.injected += sweepCalls(code, [&](uint64_t n, ErrorCode c) -> RunRecord {
            MemoryPlatform os;
            HostRig rig(s, os);
            HostRun run = rig.run(n, c);
            if (run.calls < n) return std::move(run);
            Fault fault = faultOf(run, n, c);
            SCOPED_TRACE("host " + s.name + ": " + describe(fault));
            checkPendingStopRun(run, &fault);
            return std::move(run);
        });
    }
    printTally("host", s.name, tally);
}

HostScenario supervisedScenario() {
    HostScenario s;
    s.name = "supervised restart stop";
    s.traceToFiles = true;
    s.deadProcessInPidFile = true;
    s.argumentsEncoded = true;
    s.agentsEndingByThemselves = 1;
    return s;
}

TEST(FaultSweep, HostSupervisesRestartsAndStops) { sweepHost(supervisedScenario(), kSweepCodes); }

TEST(FaultSweep, HostRefusesAStartWhileTheAgentRuns) {
    HostScenario s;
    s.name = "refused start";
    s.liveProcessInPidFile = true;
    sweepHost(s, kSweepCodes);
}

TEST(FaultSweep, HostWithoutAPidFile) {
    HostScenario s;
    s.name = "no pid file";
    s.pidFileConfigured = false;
    sweepHost(s, kSweepCodes);
}

TEST(FaultSweep, HostInLegacyMode) {
    HostScenario s;
    s.name = "legacy mode";
    s.osMajorVersion = 4;
    sweepHost(s, kSweepCodes);
}

TEST(FaultSweep, HostRunByHand) {
    HostScenario s;
    s.name = "run by hand";
    s.launchedByManager = false;
    sweepHost(s, kSweepCodes);
}

}  // namespace
}  // namespace vornel::testing
