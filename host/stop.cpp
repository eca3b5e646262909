// The stop: once stop pending has been reported, it lets a start script that still runs
// finish, runs the stop script, lets what the host launched end, ends it all when StopTimeout
// runs out, and only then reports stopped.
#include <string>

#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"
#include "host/supervisor.h"

namespace vornel::host {
namespace {

constexpr uint32_t kDefaultStopTimeoutSeconds = 60;
// A wait is on at most 64 handles: a few are the host's own.
constexpr size_t kMostJobProcessesWatched = 56;

}  // namespace

std::optional<uint32_t> stopTimeoutSeconds(const std::optional<std::string>& stored) {
    const uint32_t seconds = parseDecimal(stored).value_or(kDefaultStopTimeoutSeconds);
    if (seconds == 0) return std::nullopt;
    return seconds;
}

bool Supervisor::launchedProcessesRun() {
    if (record_.startScript.running() || record_.stopScript.running() || record_.agent.running()) return true;
    refreshJobProcesses();
    return !record_.jobProcesses.empty();
}

void Supervisor::beginStop() {
    record_.restart = false;
    record_.stopRequested = true;
    leavePidWait();
    record_.restartAt.reset();
    const bool startScriptRuns = record_.startScript.running();
    record_.phase = Phase::Stopping;
    enterState(win::kServiceStopPending, kAcceptedControls);
    traceMessage("About to stop service thread.");
    startStopClock();
    if (startScriptRuns) {
        // The agent the start script starts is then stopped like any other.
        traceMessage("VornelAgentService - stopServer - waiting for the start script to end");
        record_.stopStep = StopStep::WaitingForStartScript;
        return;
    }
    runStopScript();
}

void Supervisor::startStopClock() {
    record_.stopTimeoutSeconds =
        stopTimeoutSeconds(getRegistryValue(os_, parametersKeyPath(settings_.serviceName), kStopTimeout));
    if (record_.stopTimeoutSeconds) record_.stopDeadline = os_.tickCount() + uint64_t{*record_.stopTimeoutSeconds} * 1000;
    traceMessage("VornelAgentService - stopServer - stop timeout = %s",
                 record_.stopTimeoutSeconds ? (std::to_string(*record_.stopTimeoutSeconds) + " s").c_str() : "none");
}

void Supervisor::runStopScript() {
    record_.stopStep = StopStep::StopScript;
    ErrorCode rc = win::kErrorPathNotFound;  // no script path could be formed
    std::string refusal;
    if (std::optional<ScriptCommand> command =
            composeScriptCommand(host_, AgentScript::Stop, settings_.serviceName, refusal)) {
        traceMessage("VornelAgentService - stopServer - create process for executable - %s",
                     command->tracedLine.c_str());
        ProcessInfo script;
        bool inJob = false;
        rc = launchScript(host_, AgentScript::Stop, *command, script, inJob);
        if (rc == win::kErrorSuccess) {
            traceMessage("VornelAgentService - stopServer - executable process successfully created");
            record_.stopScript = Watched{std::move(script.process), script.processId};
            traceMessage("VornelAgentService - stopServer - about to wait for stopAgent script to complete - %d",
                         static_cast<int>(record_.status.dwCheckPoint));
            return;
        }
    }
    traceMessage("VornelAgentService - stopServer - creation of executable process failed");
    const std::string text = os_.systemErrorText(rc).value_or(std::to_string(rc));
    reportHostEvent(host_, win::kEventlogInformationType, kEventStopScriptFailed, {text});
    // The stop goes on without its script: the wait for the agent, within the stop timeout.
    waitForLaunched();
}

void Supervisor::onStopScriptEnded() {
    traceMessage("VornelAgentService - stopServer - return from wait for stopAgent script to complete");
    traceMessage("VornelAgentService - stopServer - stopAgent script has completed");
    record_.stopScript = Watched{};
    waitForLaunched();
}

void Supervisor::waitForLaunched() {
    const bool first = record_.stopStep != StopStep::WaitingForLaunched;
    record_.stopStep = StopStep::WaitingForLaunched;
    if (!launchedProcessesRun()) {
        finishStop();
        return;
    }
    if (first) traceMessage("VornelAgentService - stopServer - waiting for the agent and its processes to end");
}

void Supervisor::refreshJobProcesses() {
    if (!host_.job.valid()) return;
    std::vector<uint32_t> pids;
    if (os_.jobProcessIds(host_.job, pids) != win::kErrorSuccess) return;
    for (uint32_t pid : pids) {
        if (record_.jobProcesses.size() >= kMostJobProcessesWatched) break;
        // The scripts and the agent are waited for already.
        bool known = pid == record_.startScript.pid || pid == record_.stopScript.pid || pid == record_.agent.pid;
        for (const Watched& watched : record_.jobProcesses) known = known || watched.pid == pid;
        if (known) continue;
        ProcessHandle process;
        // One that cannot be opened has ended, or will not be seen to end: it is not waited for.
        if (os_.openProcess(pid, win::kProcessAllAccess, process) == win::kErrorSuccess) {
            record_.jobProcesses.push_back(Watched{std::move(process), pid});
        }
    }
}

void Supervisor::onJobProcessEnded(size_t index) {
    if (index < record_.jobProcesses.size()) record_.jobProcesses.erase(record_.jobProcesses.begin() + static_cast<long>(index));
    if (record_.stopStep == StopStep::WaitingForLaunched) waitForLaunched();
}

void Supervisor::onStopDeadline() {
    if (record_.stopStep == StopStep::StopScript && record_.stopScript.running()) {
        traceMessage("VornelAgentService - stopServer - return from wait for stopAgent script to complete");
        traceMessage("VornelAgentService - stopServer - stopAgent script still runs at the stop timeout");
    }
    const std::string ended = endWhatRuns();
    traceMessage("VornelAgentService - stopServer - stop timeout of %u s reached, ended: %s",
                 static_cast<unsigned>(record_.stopTimeoutSeconds.value_or(0)), ended.c_str());
    reportHostEvent(host_, win::kEventlogWarningType, kEventStopTimedOut, {ended});
    record_.forcedEnd = ended;
    finishStop();
}

std::string Supervisor::endWhatRuns() {
    std::string ended;
    auto add = [&ended](const std::string& what) { ended += (ended.empty() ? "" : ", ") + what; };
    if (host_.job.valid()) {
        std::vector<uint32_t> pids;
        const bool listed = os_.jobProcessIds(host_.job, pids) == win::kErrorSuccess;
        if (!listed || !pids.empty()) {
            if (ErrorCode rc = os_.terminateJob(host_.job, kForcedExitCode)) {
                traceMessage("VornelAgentService - stopServer - the job's processes could not be ended (%d)",
                             static_cast<int>(rc));
            } else if (listed) {
                add(std::to_string(pids.size()) + (pids.size() == 1 ? " process" : " processes") +
                    " of the agent's job (the scripts, the agent and what they started)");
            } else {
                add("the processes of the agent's job");
            }
        }
    }
    // What the job did not end (it is not in it, or it could not be ended), by its handle.
    // The agent only when the host started it: never what the pid file names otherwise.
    const std::pair<const char*, Watched*> known[] = {
        {"the start script", &record_.startScript},
        {"the stop script", &record_.stopScript},
        {"the agent", record_.agentEndable ? &record_.agent : nullptr},
    };
    for (const auto& process : known) {
        if (process.second == nullptr) continue;
        Watched& watched = *process.second;
        if (watched.running() && os_.waitForProcess(watched.handle, 0) != WaitResult::Signaled &&
            os_.terminateProcess(watched.handle, kForcedExitCode) == win::kErrorSuccess) {
            add(std::string(process.first) + " (pid " + std::to_string(watched.pid) + ")");
        }
    }
    return ended.empty() ? std::string("nothing that still ran") : ended;
}

void Supervisor::finishStop() {
    record_.startScript = Watched{};
    record_.stopScript = Watched{};
    record_.agent = Watched{};
    record_.jobProcesses.clear();
    record_.stopDeadline.reset();
    endTheJob();
    traceMessage("VornelAgentService - stopServer - reporting stopped");
    std::string outcome = record_.supervisionEnded ? "stopped after control 128" : "stopped on request";
    if (record_.forcedEnd) outcome += "; ended after StopTimeout: " + *record_.forcedEnd;
    reportStopped(0, 0, outcome);
}

}  // namespace vornel::host
