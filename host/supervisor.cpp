// The supervisor's loop and the start cycle: the already-running check, the start script, the
// wait for the agent's new pid, the wait for the agent's end, the restart after it (at once,
// or after a wait that grows while the agent's runs stay short).
#include "host/supervisor.h"

#include <algorithm>
#include <string>

#include "common/registry.h"
#include "common/text.h"
#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

constexpr int kPidWaitSeconds = 30;
constexpr uint32_t kCheckPointMs = 1000;
constexpr uint32_t kPidLookMs = 1000;
constexpr uint32_t kScriptWaitMs = 1000;  // as the start script's trace states its wait
constexpr uint32_t kRunningCheckPoint = 60;
constexpr unsigned kStoppedReportAttempts = 10;

bool isPending(uint32_t state) {
    return state == win::kServiceStartPending || state == win::kServiceStopPending ||
           state == win::kServiceContinuePending || state == win::kServicePausePending;
}

void traceExit() {
    traceMessage("VornelAgentService - VornelAgentServiceMain - exit.");
    traceSeparator('=');
}

// The folder a file lies in, as a change notification watches it.
std::string folderOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1);
}

}  // namespace

uint32_t restartDelaySeconds(unsigned shortRunsInARow) {
    constexpr unsigned kLongestShift = 8;  // 256 s
    return shortRunsInARow == 0 ? 0u : 1u << std::min(shortRunsInARow - 1, kLongestShift);
}

Supervisor::Supervisor(HostContext& host, HostSettings settings)
    : host_(host), os_(host.os), settings_(std::move(settings)) {
    record_.restart = settings_.restartSetting;
    record_.status.dwServiceType = win::kServiceWin32OwnProcess;
    record_.restartAt = os_.tickCount();  // the first start cycle is due at once
    hostPid_ = os_.currentProcessId();
}

// --- The loop ---

void Supervisor::run() {
    while (record_.phase != Phase::Stopped) {
        const Turn turn = waitables();
        const std::optional<uint64_t> due = nextDeadline();
        uint32_t timeout = win::kInfinite;
        if (due) {
            const uint64_t now = os_.tickCount();
            timeout = *due <= now ? 0 : static_cast<uint32_t>(std::min<uint64_t>(*due - now, win::kInfinite - 1));
        }
        size_t signaled = 0;
        switch (os_.waitForAny(turn.handles, timeout, signaled)) {
            case WaitResult::Signaled: onSignaled(turn.sources[signaled], turn.jobIndex[signaled]); break;
            case WaitResult::Timeout: onDeadlines(os_.tickCount()); break;
            case WaitResult::Failed: lookAfterFailedWait(turn, timeout); break;
        }
        if (record_.phase != Phase::Stopped) publishRuntime();
    }
}

void Supervisor::stopWithoutPidFile() {
    reportStopped(win::kErrorServiceSpecificError, kNoPidExitCode, "no AgentPidFile");
}

Supervisor::Turn Supervisor::waitables() const {
    Turn turn;
    auto add = [&turn](const Waitable& handle, Source source, size_t index = 0) {
        turn.handles.push_back(handle);
        turn.sources.push_back(source);
        turn.jobIndex.push_back(index);
    };
    // Controls come first: a control that is there goes before anything else that is.
    add(host_.inbox->event(), Source::Control);
    if (record_.startScript.running()) add(record_.startScript.handle, Source::StartScript);
    if (record_.stopScript.running()) add(record_.stopScript.handle, Source::StopScript);
    if (record_.agent.running()) add(record_.agent.handle, Source::Agent);
    if (record_.pidFolderWatch.valid()) add(record_.pidFolderWatch, Source::PidFolder);
    for (size_t i = 0; i < record_.jobProcesses.size(); ++i) {
        add(record_.jobProcesses[i].handle, Source::JobProcess, i);
    }
    return turn;
}

std::optional<uint64_t> Supervisor::nextDeadline() const {
    std::optional<uint64_t> next;
    for (const std::optional<uint64_t>& due :
         {record_.nextCheckPointAt, record_.restartAt, record_.nextPidLookAt, record_.stopDeadline}) {
        if (due && (!next || *due < *next)) next = due;
    }
    return next;
}

void Supervisor::onSignaled(Source source, size_t jobIndex) {
    switch (source) {
        case Source::Control:
            for (uint32_t control : host_.inbox->take()) {
                if (record_.phase == Phase::Stopped) return;
                onControl(control);
            }
            return;
        case Source::StartScript: onStartScriptEnded(); return;
        case Source::StopScript: onStopScriptEnded(); return;
        case Source::Agent: onAgentEnded(); return;
        case Source::JobProcess: onJobProcessEnded(jobIndex); return;
        case Source::PidFolder: onPidFolderChanged(); return;
    }
}

void Supervisor::onDeadlines(uint64_t now) {
    auto due = [now](const std::optional<uint64_t>& at) { return at && *at <= now; };
    if (due(record_.stopDeadline)) {
        onStopDeadline();
        return;
    }
    if (due(record_.restartAt)) {
        onRestartDue();
        return;
    }
    if (due(record_.nextCheckPointAt)) onCheckPoint();
    if (due(record_.nextPidLookAt)) onPidLookDue();
}

void Supervisor::lookAfterFailedWait(const Turn& turn, uint32_t timeout) {
    // Nothing says what happened: a second later (or at the next deadline), everything the wait
    // was on is looked at one by one.
    traceMessage("VornelAgentService - VornelAgentServiceMain - the wait failed; looking again");
    os_.sleep(std::min(timeout, kCheckPointMs));
    onSignaled(Source::Control, 0);
    for (size_t i = turn.sources.size(); i-- > 1;) {
        if (record_.phase == Phase::Stopped) return;
        const Source source = turn.sources[i];
        if (source == Source::PidFolder) {
            if (record_.pidFolderWatch.valid()) onPidFolderChanged();
            continue;
        }
        const Watched* process = source == Source::StartScript ? &record_.startScript
                                 : source == Source::StopScript ? &record_.stopScript
                                 : source == Source::Agent      ? &record_.agent
                                 : turn.jobIndex[i] < record_.jobProcesses.size()
                                     ? &record_.jobProcesses[turn.jobIndex[i]]
                                     : nullptr;
        if (process != nullptr && process->running() && os_.waitForProcess(process->handle, 0) == WaitResult::Signaled) {
            onSignaled(source, turn.jobIndex[i]);
        }
    }
    if (record_.phase != Phase::Stopped) onDeadlines(os_.tickCount());
}

// --- Reports ---

ErrorCode Supervisor::report() { return os_.setServiceStatus(host_.statusHandle, record_.status); }

ErrorCode Supervisor::enterState(uint32_t state, uint32_t accepted, uint32_t win32, uint32_t specific) {
    ServiceStatus& s = record_.status;
    s.dwServiceType = win::kServiceWin32OwnProcess;
    s.dwCurrentState = state;
    s.dwControlsAccepted = accepted;
    s.dwWin32ExitCode = win32;
    s.dwServiceSpecificExitCode = specific;
    // The checkpoint and the wait hint mean something only while the service is pending.
    const bool pending = isPending(state);
    s.dwCheckPoint = pending ? 1 : 0;
    s.dwWaitHint = state == win::kServiceStartPending ? kStartWaitHint : state == win::kServiceStopPending ? kStopWaitHint : 0;
    if (pending) {
        record_.nextCheckPointAt = os_.tickCount() + kCheckPointMs;
    } else {
        record_.nextCheckPointAt.reset();
    }
    return report();
}

void Supervisor::reportStopped(uint32_t win32, uint32_t specific, const std::string& outcome) {
    // The account first: the process may end at the report.
    record_.phase = Phase::Stopped;
    record_.outcome = outcome;
    publishRuntime();
    runtimeKey_.reset();
    // Whatever the host held it lets go first: the process may end at this report. (Closing
    // the job ends none of its processes.)
    record_.pidFolderWatch.reset();
    record_.startScript = Watched{};
    record_.stopScript = Watched{};
    record_.agent = Watched{};
    record_.jobProcesses.clear();
    host_.job.reset();
    flushConsole();
    for (unsigned attempt = 1;; ++attempt) {
        const ErrorCode rc = enterState(win::kServiceStopped, 0, win32, specific);
        if (rc == win::kErrorSuccess || attempt == kStoppedReportAttempts) break;
        // Without it the service manager would show the service as it was for ever.
        traceMessage("VornelAgentService - VornelAgentServiceMain - the stopped report failed (%d), trying again",
                     static_cast<int>(rc));
        os_.sleep(kCheckPointMs);
    }
}

namespace {

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::CycleDue:
        case Phase::Starting: return kPhaseStarting;
        case Phase::WaitingForPid: return kPhaseWaitingForPidFile;
        case Phase::Supervising:
        case Phase::Unsupervised: return kPhaseSupervising;
        case Phase::WaitingToRestart: return kPhaseWaitingToRestart;
        case Phase::Stopping: return kPhaseStopping;
        case Phase::Stopped: return kPhaseStopped;
    }
    return kPhaseStarting;
}

// Phase goes last: a reader that sees a phase sees the values written for it.
const char* const kRuntimeValueNames[] = {kRuntimeHostPid,  kRuntimeAgentPid,  kRuntimeAgentSince, kRuntimeStarts,
                                          kRuntimeLastExit, kRuntimeRestartAt, kRuntimeOutcome,    kRuntimePhase};

}  // namespace

std::map<std::string, std::string> Supervisor::runtimeValues() const {
    std::map<std::string, std::string> values{{kRuntimeHostPid, std::to_string(hostPid_)},
                                              {kRuntimePhase, phaseName(record_.phase)},
                                              {kRuntimeStarts, std::to_string(record_.starts)}};
    if (record_.agent.running() && record_.phase != Phase::Stopped) {
        values[kRuntimeAgentPid] = std::to_string(record_.agent.pid);
        if (record_.agentSince) values[kRuntimeAgentSince] = *record_.agentSince;
    }
    if (record_.lastExit) values[kRuntimeLastExit] = *record_.lastExit;
    if (record_.phase == Phase::WaitingToRestart && record_.restartAtText) values[kRuntimeRestartAt] = *record_.restartAtText;
    if (record_.phase == Phase::Stopped && record_.outcome) values[kRuntimeOutcome] = *record_.outcome;
    return values;
}

void Supervisor::publishRuntime() {
    if (runtimeGivenUp_) return;
    if (!runtimeKey_.valid()) {
        if (ErrorCode rc = os_.regCreateVolatileKey(runtimeKeyPath(settings_.serviceName), runtimeKey_)) {
            traceMessage("VornelAgentService - VornelAgentServiceMain - the Runtime key cannot be written (%d)",
                         static_cast<int>(rc));
            runtimeGivenUp_ = true;
            return;
        }
        // What an earlier run left there goes, unless this run writes it again.
        for (const char* name : kRuntimeValueNames) runtimeWritten_[name] = std::string(1, '\0');
    }
    const std::map<std::string, std::string> values = runtimeValues();
    for (const char* name : kRuntimeValueNames) {
        auto value = values.find(name);
        auto written = runtimeWritten_.find(name);
        if (value != values.end() && (written == runtimeWritten_.end() || written->second != value->second)) {
            if (ErrorCode rc = os_.regSetStringValue(runtimeKey_, name, value->second)) {
                traceMessage("VornelAgentService - VornelAgentServiceMain - the Runtime value %s cannot be written (%d)",
                             name, static_cast<int>(rc));
                continue;
            }
            runtimeWritten_[name] = value->second;
        } else if (value == values.end() && written != runtimeWritten_.end()) {
            // A value that was not there is as good as removed.
            (void)os_.regDeleteValue(runtimeKey_, name);
            runtimeWritten_.erase(written);
        }
    }
}

void Supervisor::endTheJob() {
    // Nothing the host launched runs on once it has reported stopped.
    std::vector<uint32_t> pids;
    if (!host_.job.valid() || os_.jobProcessIds(host_.job, pids) != win::kErrorSuccess || pids.empty()) return;
    if (ErrorCode rc = os_.terminateJob(host_.job, kForcedExitCode)) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - the job's processes could not be ended (%d)",
                     static_cast<int>(rc));
        return;
    }
    traceMessage("VornelAgentService - VornelAgentServiceMain - ended %u %s of the agent's job, which would have run "
                 "on",
                 static_cast<unsigned>(pids.size()), pids.size() == 1 ? "process" : "processes");
}

void Supervisor::onCheckPoint() {
    ServiceStatus& s = record_.status;
    record_.nextCheckPointAt = *record_.nextCheckPointAt + kCheckPointMs;
    const bool starting = record_.phase == Phase::Starting;
    const bool stopScriptRuns = record_.phase == Phase::Stopping && record_.stopStep == StopStep::StopScript;
    if (starting) traceMessage("WaitForSingleObject startServer");
    if (stopScriptRuns) traceMessage("VornelAgentService - stopServer - return from wait for stopAgent script to complete");
    s.dwCheckPoint += 1;
    ErrorCode reported = 0;
    if (starting && s.dwCheckPoint == kRunningCheckPoint && s.dwCurrentState == win::kServiceStartPending) {
        // A long start script: the service is reported running and takes stops, which wait
        // for the script.
        traceMessage("Checkpoint 60, change service state");
        reported = enterState(win::kServiceRunning, kAcceptedControls);
    } else {
        reported = report();
    }
    if (starting) {
        if (reported != win::kErrorSuccess) {
            printSystemError(os_, "Couldn't set service status", reported);
            flushConsole();
        }
        if (record_.nextCheckPointAt) {
            traceMessage("VornelAgentService - startServer - about to wait for %d", static_cast<int>(kScriptWaitMs));
        }
    }
    if (stopScriptRuns) {
        traceMessage("VornelAgentService - stopServer - about to wait for stopAgent script to complete - %d",
                     static_cast<int>(s.dwCheckPoint));
    }
}

// --- The start cycle ---

void Supervisor::beginStartCycle() {
    const bool first = record_.cycles++ == 0;
    record_.restartAt.reset();
    if (!first && isTraceOn()) pointTraceAtFiles(os_, settings_.traceFiles);
    record_.phase = Phase::Starting;
    // A restart keeps taking stops, where the service manager passes them on.
    enterState(win::kServiceStartPending, first ? 0 : kAcceptedControls);
    record_.status.dwCheckPoint += 1;  // the start script's first report is checkpoint 3

    const int32_t running = isServerRunningAlready(host_, settings_.pidFile);
    // A host that ended without its stop (it crashed, or was ended) left its agent: the first
    // cycle of the next one takes it back, and starts nothing.
    if (running != 0 && first && takeBack(static_cast<uint32_t>(running))) return;
    reportHostEvent(host_, win::kEventlogInformationType, kEventStartCycle, {settings_.serviceName});
    if (running != 0) {
        reportHostEvent(host_, win::kEventlogErrorType, kEventStartRefused,
                        {settings_.serviceName, std::to_string(running)});
        // After a restart the job holds only what this host launched (an agent it could not
        // open, say): none of it runs on.
        if (!first) endTheJob();
        reportStopped(win::kErrorServiceSpecificError, kAlreadyRunningExitCodeBase + static_cast<uint32_t>(running),
                      "the agent was already running (pid " + std::to_string(running) + ")");
        return;
    }
    record_.lastPid = readAgentPidFile(host_, settings_.pidFile);
    traceMessage("VornelAgentService - VornelAgentServiceMain - last pid = %d", record_.lastPid);
    // The agent's run is counted from the start script's launch to the agent's end.
    record_.runBeganAt = os_.tickCount();
    launchStartScript();
}

void Supervisor::launchStartScript() {
    std::string refusal;
    std::optional<ScriptCommand> command = composeScriptCommand(host_, AgentScript::Start, settings_.serviceName, refusal);
    if (command) {
        traceMessage("VornelAgentService - startServer - about to start executable %s", command->tracedLine.c_str());
        // The script replaces LogFile: the previous run's is kept first.
        uint64_t bytes = 0;
        if (command->logFile && os_.fileSize(*command->logFile, bytes) == win::kErrorSuccess) {
            if (ErrorCode rc = keepEarlierFile(os_, *command->logFile, settings_.traceFiles.keep)) {
                traceMessage("VornelAgentService - startServer - %s cannot be kept (%d): the script replaces it",
                             command->logFile->c_str(), static_cast<int>(rc));
            }
        }
        ProcessInfo script;
        record_.startScriptLaunchedAt = os_.systemTime();
        const ErrorCode rc = launchScript(host_, AgentScript::Start, *command, script, record_.startScriptInJob);
        if (rc == win::kErrorSuccess) {
            traceMessage("VornelAgentService - startServer - createProcess returned TRUE");
            ++record_.starts;
            record_.startScript = Watched{std::move(script.process), script.processId};
            traceMessage("VornelAgentService - startServer - about to wait for %d", static_cast<int>(kScriptWaitMs));
            return;
        }
        printSystemError(os_, "Couldn't create startServer process", rc);
        flushConsole();
        refusal = withoutLineEnd(os_.systemErrorText(rc).value_or(std::to_string(rc)));
    }
    // No agent can come: the service stops at once and says why.
    traceMessage("VornelAgentService - startServer - the start script could not be run: %s", refusal.c_str());
    reportHostEvent(host_, win::kEventlogErrorType, kEventStartScriptNotRun, {settings_.serviceName, refusal});
    if (record_.phase == Phase::Stopping) {
        finishStop();
        return;
    }
    endTheJob();
    reportStopped(win::kErrorServiceSpecificError, kStartScriptNotRunExitCode, "the start script could not be run: " + refusal);
}

void Supervisor::onStartScriptEnded() {
    traceMessage("Breaking out of wait for startServer.bat");
    record_.startScript = Watched{};
    startScriptDone();
}

void Supervisor::startScriptDone() {
    traceMessage("VornelAgentService - VornelAgentServiceMain - startServer returned.");
    if (record_.phase == Phase::Stopping) {
        // A stop came while the start script ran: it goes on now that the script has ended.
        traceExit();
        if (record_.supervisionEnded) {
            waitForLaunched();
        } else {
            runStopScript();
        }
        return;
    }
    reportHostEvent(host_, win::kEventlogInformationType, kEventStartScriptReturned, {settings_.serviceName});
    enterState(win::kServiceRunning, kAcceptedControls);
    if (settings_.legacy) {
        // No pid wait and no supervision: the service stays running; a stop still runs the
        // stop script.
        record_.restart = false;
        record_.phase = Phase::Unsupervised;
        traceExit();
        return;
    }
    beginPidWait();
}

void Supervisor::beginPidWait() {
    record_.phase = Phase::WaitingForPid;
    traceMessage("VornelAgentService - waitForPidFile - pidFile = %s", settings_.pidFile.c_str());
    traceMessage("VornelAgentService - waitForPidFile - timeoutSeconds = %d", kPidWaitSeconds);
    traceMessage("VornelAgentService - waitForPidFile - lastPid = %d", record_.lastPid);
    // The agent's write is seen as it happens; without a watch, at the next look a second later.
    if (ErrorCode rc = os_.watchDirectory(folderOf(settings_.pidFile), record_.pidFolderWatch)) {
        traceMessage("VornelAgentService - waitForPidFile - the pid file's folder cannot be watched (%d): it is read "
                     "once a second",
                     static_cast<int>(rc));
    }
    record_.pidAttempt = -1;
    lookAtPidFile(true);
}

void Supervisor::lookAtPidFile(bool attempt) {
    std::string content;
    std::optional<PidPiece> read;
    if (os_.readTextFile(settings_.pidFile, content) == win::kErrorSuccess) read = lastPidPiece(content);
    // The host's own pid is never the agent's.
    const bool own = read && read->pid == static_cast<int32_t>(hostPid_) && read->pid != record_.lastPid;
    if (own && attempt) {
        traceMessage("VornelAgentService - waitForPidFile - pid %d is the service host's own: not the agent", read->pid);
    }
    const bool isNew = read && read->pid != record_.lastPid && !own;
    if (isNew && !attempt) {
        // A change ended the second early.
        traceMessage("VornelAgentService - waitForPidFile - back from sleep - %d", record_.pidAttempt);
    }
    if (read && (attempt || isNew)) {
        traceMessage("VornelAgentService - waitForPidFile - read pid %s - %d - lastPid = %d", read->piece.c_str(),
                     read->pid, record_.lastPid);
    }
    if (isNew) {
        traceMessage("VornelAgentService - waitForPidFile - returning true");
        adoptAgent(read->pid);
        return;
    }
    if (attempt) {
        traceMessage("VornelAgentService - waitForPidFile - about to sleep - %d", record_.pidAttempt);
        record_.nextPidLookAt = os_.tickCount() + kPidLookMs;
    }
}

void Supervisor::onPidLookDue() {
    traceMessage("VornelAgentService - waitForPidFile - back from sleep - %d", record_.pidAttempt);
    record_.nextPidLookAt.reset();
    if (++record_.pidAttempt < kPidWaitSeconds) {
        lookAtPidFile(true);
        return;
    }
    traceMessage("VornelAgentService - waitForPidFile - Timed out waiting for pid.");
    traceMessage("VornelAgentService - waitForPidFile - returning false");
    leavePidWait();
    endTheJob();
    reportHostEvent(host_, win::kEventlogErrorType, kEventNoNewPid, {settings_.serviceName});
    record_.restart = false;
    reportStopped(win::kErrorServiceSpecificError, kNoPidExitCode, "no new pid in the pid file within 31 s");
}

void Supervisor::onPidFolderChanged() {
    // Armed again before the look, so that a write after it is not missed.
    if (ErrorCode rc = os_.rearmDirectoryWatch(record_.pidFolderWatch)) {
        traceMessage("VornelAgentService - waitForPidFile - the pid file's folder cannot be watched (%d): it is read "
                     "once a second",
                     static_cast<int>(rc));
        record_.pidFolderWatch.reset();
    }
    lookAtPidFile(false);
}

void Supervisor::leavePidWait() {
    record_.nextPidLookAt.reset();
    record_.pidFolderWatch.reset();
}

void Supervisor::adoptAgent(int32_t pid) {
    leavePidWait();
    traceMessage("VornelAgentService - VornelAgentServiceMain - about to open process.");
    ProcessHandle agent;
    const ErrorCode rc = os_.openProcess(static_cast<uint32_t>(pid), win::kProcessAllAccess, agent);
    if (rc != win::kErrorSuccess) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - OpenProcess failed for pid %d: %d", pid,
                     static_cast<int>(rc));
        // It counts as ended: the restart decision follows at once.
        reportAgentEnded(static_cast<uint32_t>(pid), std::nullopt);
        afterAgent(std::nullopt);
        return;
    }
    traceMessage("VornelAgentService - VornelAgentServiceMain - process openned successfully, about to wait.");
    record_.agent = Watched{std::move(agent), static_cast<uint32_t>(pid)};
    record_.agentEndable = startedHere(record_.agent);
    record_.agentSince = creationTime(record_.agent.handle);
    record_.phase = Phase::Supervising;
}

std::optional<std::string> Supervisor::creationTime(const ProcessHandle& process) {
    uint64_t created = 0;
    if (os_.processCreationTime(process, created) != win::kErrorSuccess) return std::nullopt;
    return formatSystemTime(created);
}

bool Supervisor::startedByAnEarlierRun(uint32_t pid, const std::optional<std::string>& since) {
    std::vector<uint32_t> pids;
    if (settings_.jobOfAnEarlierRun && os_.jobProcessIds(host_.job, pids) == win::kErrorSuccess &&
        std::find(pids.begin(), pids.end(), pid) != pids.end()) {
        return true;
    }
    // The Runtime key still holds what the earlier run wrote: this run has written nothing yet.
    const std::string runtime = runtimeKeyPath(settings_.serviceName);
    const std::optional<std::string> recordedPid = getRegistryValue(os_, runtime, kRuntimeAgentPid);
    const std::optional<std::string> recordedSince = getRegistryValue(os_, runtime, kRuntimeAgentSince);
    return recordedPid && recordedSince && since && *recordedPid == std::to_string(pid) && *recordedSince == *since;
}

bool Supervisor::takeBack(uint32_t pid) {
    ProcessHandle agent;
    if (os_.openProcess(pid, win::kProcessAllAccess, agent) != win::kErrorSuccess) return false;
    const std::optional<std::string> since = creationTime(agent);
    if (!startedByAnEarlierRun(pid, since)) return false;
    traceMessage("VornelAgentService - VornelAgentServiceMain - the agent (pid %u) that an earlier run of the service "
                 "started still runs: it is supervised again, the start script is not run",
                 pid);
    reportHostEvent(host_, win::kEventlogInformationType, kEventAgentTakenBack, {settings_.serviceName, std::to_string(pid)});
    record_.agent = Watched{std::move(agent), pid};
    record_.agentEndable = true;
    record_.startScriptInJob = settings_.jobOfAnEarlierRun;
    record_.agentSince = since;
    // Its run counts from now, as if it had just started.
    record_.runBeganAt = os_.tickCount();
    record_.phase = Phase::Supervising;
    enterState(win::kServiceRunning, kAcceptedControls);
    return true;
}

bool Supervisor::startedHere(const Watched& agent) {
    // With the start script in the job, the agent is what the job holds; without, the old
    // fallback: a process created after the start script's launch.
    std::vector<uint32_t> pids;
    const bool listed = host_.job.valid() && record_.startScriptInJob &&
                        os_.jobProcessIds(host_.job, pids) == win::kErrorSuccess;
    bool started = false;
    if (listed) {
        started = std::find(pids.begin(), pids.end(), agent.pid) != pids.end();
    } else {
        uint64_t created = 0;
        started = os_.processCreationTime(agent.handle, created) == win::kErrorSuccess &&
                  created >= record_.startScriptLaunchedAt;
    }
    if (!started) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - pid %u is not a process the service started (%s): "
                     "it is waited for and never ended",
                     agent.pid, listed ? "not in the agent's job" : "created before the start script");
        reportHostEvent(host_, win::kEventlogWarningType, kEventAgentNotStartedHere,
                        {settings_.serviceName, std::to_string(agent.pid)});
    }
    return started;
}

void Supervisor::onAgentEnded() {
    traceMessage("VornelAgentService - VornelAgentServiceMain - return from wait.");
    uint32_t code = 0;
    std::optional<uint32_t> exitCode;
    const ErrorCode rc = os_.getExitCodeProcess(record_.agent.handle, code);
    if (rc == win::kErrorSuccess) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - exit code = %u", code);
        exitCode = code;
    } else {
        printSystemError(os_, "run: Error getting rc", rc);
        flushConsole();
    }
    const uint32_t pid = record_.agent.pid;
    record_.agent = Watched{};
    record_.lastExit = (exitCode ? std::to_string(*exitCode) : std::string("unknown")) + " at " +
                       formatSystemTime(os_.systemTime());
    reportAgentEnded(pid, exitCode);
    if (record_.phase == Phase::Stopping) {
        if (record_.stopStep == StopStep::WaitingForLaunched) waitForLaunched();
        return;
    }
    afterAgent(exitCode);
}

void Supervisor::reportAgentEnded(uint32_t pid, const std::optional<uint32_t>& exitCode) {
    // A warning when it failed on its own.
    const bool failed = exitCode.value_or(0) != 0 && !record_.stopRequested;
    reportHostEvent(host_, failed ? win::kEventlogWarningType : win::kEventlogInformationType, kEventAgentEnded,
                    {settings_.serviceName, std::to_string(pid), exitCode ? std::to_string(*exitCode) : "unknown"});
}

void Supervisor::afterAgent(const std::optional<uint32_t>& exitCode) {
    const uint64_t ranMs = os_.tickCount() - record_.runBeganAt;
    if (record_.restart && !record_.stopRequested) {
        // Short runs in a row make the restarts wait longer and longer; a long run resets them.
        const bool shortRun = settings_.throttleSeconds != 0 && ranMs < uint64_t{settings_.throttleSeconds} * 1000;
        record_.shortRunsInARow = shortRun ? record_.shortRunsInARow + 1 : 0;
        const uint32_t delay = restartDelaySeconds(record_.shortRunsInARow);
        if (delay == 0) {
            beginStartCycle();
        } else {
            waitToRestart(ranMs, delay);
        }
        return;
    }
    // An agent that failed on its own, with no restart to follow, shows as the service's
    // failure: 1066 and the agent's exit code. A stop or the control 128 is no failure.
    const bool failed = !settings_.restartSetting && !record_.stopRequested && !record_.supervisionEnded &&
                        exitCode.value_or(0) != 0;
    endTheJob();
    // Traced before the stopped report: the process may end as soon as it is made.
    traceExit();
    reportStopped(failed ? win::kErrorServiceSpecificError : 0, failed ? *exitCode : 0,
                  record_.supervisionEnded ? std::string("stopped after control 128")
                                           : "the agent ended with exit code " +
                                                 (exitCode ? std::to_string(*exitCode) : std::string("unknown")));
}

void Supervisor::waitToRestart(uint64_t ranMs, uint32_t seconds) {
    traceMessage("VornelAgentService - VornelAgentServiceMain - the agent ran %llu ms, less than RestartThrottle "
                 "(%u s): the restart waits %u s",
                 static_cast<unsigned long long>(ranMs), settings_.throttleSeconds, seconds);
    reportHostEvent(host_, win::kEventlogWarningType, kEventRestartDelayed, {settings_.serviceName, std::to_string(seconds)});
    record_.phase = Phase::WaitingToRestart;
    record_.restartDelaySeconds = seconds;
    record_.restartAt = os_.tickCount() + uint64_t{seconds} * 1000;
    record_.restartAtText = formatSystemTime(os_.systemTime() + uint64_t{seconds} * 1000);
    // Paused: the service manager passes a stop or a continue on, which a pending state would not get.
    enterState(win::kServicePaused, kAcceptedWhilePaused);
}

void Supervisor::onRestartDue() {
    if (record_.phase == Phase::WaitingToRestart) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - restarting after %u s", record_.restartDelaySeconds);
    }
    beginStartCycle();
}

}  // namespace vornel::host
