// The stop, on a thread of its own once the control handler has reported stop pending: it
// waits for a start script that still runs, runs the stop script, waits until what the host
// launched has ended, ends it all when StopTimeout runs out, and only then reports stopped.
#include <cctype>
#include <string>

#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

constexpr uint32_t kPollMs = 1000;
constexpr uint32_t kDefaultStopTimeoutSeconds = 60;
// The exit code of what a forced end ends.
constexpr uint32_t kForcedExitCode = 1;
constexpr unsigned kStoppedReportAttempts = 10;

// Another second of the stop: a stop-pending report with the checkpoint raised.
void reportProgress(HostContext& host) {
    host.report([](ServiceStatus& s) { s.dwCheckPoint += 1; }, Reporter::Stop);
}

bool pastDeadline(HostContext& host, const std::optional<uint64_t>& deadline) {
    return deadline && host.os.tickCount() >= *deadline;
}

// Whether the process is alive: it opens and its handle does not show it ended.
bool processAlive(HostContext& host, uint32_t pid) {
    ProcessHandle process;
    if (host.os.openProcess(pid, win::kProcessAllAccess, process) != win::kErrorSuccess) return false;
    return host.os.waitForProcess(process, 0) != WaitResult::Signaled;
}

// Waits, a second at a time, while the condition holds and the deadline has not come; true
// when the condition no longer holds.
template <class Condition>
bool waitWhile(HostContext& host, const std::optional<uint64_t>& deadline, Condition stillRunning) {
    while (stillRunning()) {
        if (pastDeadline(host, deadline)) return false;
        reportProgress(host);
        host.os.sleep(kPollMs);
    }
    return true;
}

// Ends a process by its pid when it is still alive; true when it ended it.
bool endByPid(HostContext& host, uint32_t pid) {
    ProcessHandle process;
    if (host.os.openProcess(pid, win::kProcessAllAccess, process) != win::kErrorSuccess) return false;
    if (host.os.waitForProcess(process, 0) == WaitResult::Signaled) return false;
    return host.os.terminateProcess(process, kForcedExitCode) == win::kErrorSuccess;
}

// Ends whatever the host launched that still runs: the job's processes, then by their pids
// the scripts and the agent that the job did not end (they are not in it, or it could not be
// ended). Returns what it ended, for the event.
std::string endWhatRuns(HostContext& host) {
    std::string ended;
    auto add = [&ended](const std::string& what) { ended += (ended.empty() ? "" : ", ") + what; };
    if (std::shared_ptr<const JobHandle> job = host.job()) {
        uint32_t active = 0;
        const bool counted = host.os.jobProcessCount(*job, active) == win::kErrorSuccess;
        if (!counted || active > 0) {
            if (ErrorCode rc = host.os.terminateJob(*job, kForcedExitCode)) {
                traceMessage("VornelAgentService - stopServer - the job's processes could not be ended (%d)",
                             static_cast<int>(rc));
            } else if (counted) {
                add(std::to_string(active) + (active == 1 ? " process" : " processes") +
                    " of the agent's job (the scripts, the agent and what they started)");
            } else {
                add("the processes of the agent's job");
            }
        }
    }
    const SharedState shared = host.shared();
    const std::pair<const char*, std::optional<uint32_t>> known[] = {
        {"the start script", shared.startScriptPid},
        {"the stop script", shared.stopScriptPid},
        {"the agent", shared.agentPid},
    };
    for (const auto& process : known) {
        if (process.second && endByPid(host, *process.second)) {
            add(std::string(process.first) + " (pid " + std::to_string(*process.second) + ")");
        }
    }
    return ended.empty() ? std::string("nothing that still ran") : ended;
}

}  // namespace

std::optional<uint32_t> stopTimeoutSeconds(const std::optional<std::string>& stored) {
    if (!stored || stored->empty() || stored->size() > 9) return kDefaultStopTimeoutSeconds;
    uint32_t seconds = 0;
    for (char c : *stored) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return kDefaultStopTimeoutSeconds;
        seconds = seconds * 10 + static_cast<uint32_t>(c - '0');
    }
    if (seconds == 0) return std::nullopt;
    return seconds;
}

bool launchedProcessesRun(HostContext& host) {
    if (std::shared_ptr<const JobHandle> job = host.job()) {
        uint32_t active = 0;
        if (host.os.jobProcessCount(*job, active) == win::kErrorSuccess && active > 0) return true;
    }
    const SharedState shared = host.shared();
    if (shared.startScriptRunning) return true;
    for (const std::optional<uint32_t>& pid : {shared.stopScriptPid, shared.agentPid}) {
        if (pid && processAlive(host, *pid)) return true;
    }
    return false;
}

void runStop(HostContext& host) {
    const std::optional<std::string> serviceName = host.stopServiceName();
    const std::optional<uint32_t> timeout =
        stopTimeoutSeconds(getRegistryValue(host.os, parametersKeyPath(serviceName.value_or("")), kStopTimeout));
    std::optional<uint64_t> deadline;
    if (timeout) deadline = host.shared().stopAskedAtMs + uint64_t{*timeout} * 1000;
    traceMessage("VornelAgentService - stopServer - stop timeout = %s",
                 timeout ? (std::to_string(*timeout) + " s").c_str() : "none");

    // A start script that still runs is let finish first: the agent it starts is then ended
    // by the stop script like any other.
    bool inTime = true;
    if (host.shared().startScriptRunning) {
        traceMessage("VornelAgentService - stopServer - waiting for the start script to end");
        inTime = waitWhile(host, deadline, [&host] { return host.shared().startScriptRunning; });
    }
    if (inTime) inTime = stopServer(host, serviceName, deadline) != StopScriptOutcome::TimedOut;
    if (inTime && launchedProcessesRun(host)) {
        traceMessage("VornelAgentService - stopServer - waiting for the agent and its processes to end");
        inTime = waitWhile(host, deadline, [&host] { return launchedProcessesRun(host); });
    }
    if (!inTime) {
        const std::string ended = endWhatRuns(host);
        traceMessage("VornelAgentService - stopServer - stop timeout of %u s reached, ended: %s",
                     static_cast<unsigned>(timeout.value_or(0)), ended.c_str());
        reportHostEvent(host, win::kEventlogWarningType, kEventStopTimedOut, ended);
    }
    traceMessage("VornelAgentService - stopServer - reporting stopped");
    flushConsole();
    // A stopped report that fails is made again a second later: without it the service would
    // stay stop pending for ever.
    for (unsigned attempt = 1;; ++attempt) {
        const ErrorCode rc = host.report(
            [](ServiceStatus& s) {
                s.dwWin32ExitCode = 0;
                s.dwServiceSpecificExitCode = 0;
                s.dwCurrentState = win::kServiceStopped;
            },
            Reporter::Stop);
        if (rc == win::kErrorSuccess || attempt == kStoppedReportAttempts) return;
        traceMessage("VornelAgentService - stopServer - the stopped report failed (%d), trying again",
                     static_cast<int>(rc));
        host.os.sleep(kPollMs);
    }
}

}  // namespace vornel::host
