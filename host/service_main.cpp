// The service main: reads the service's settings, refuses to start when the agent is still
// alive, runs the start script, waits for the agent's new pid, waits for the agent to end
// and starts it again unless Restart is "false" or a stop has been requested.
#include <memory>
#include <string>

#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

constexpr int kPidWaitSeconds = 30;

void traceSeparator(char c) { traceMessage("%s", std::string(81, c).c_str()); }

void traceExit() {
    traceMessage("VornelAgentService - VornelAgentServiceMain - exit.");
    traceSeparator('=');
}

// Stopped because no pid file is configured, or no new pid appeared in time.
void reportNoPid(HostContext& host) {
    host.report(
        [](ServiceStatus& s) {
            s.dwServiceType = win::kServiceWin32OwnProcess;
            s.dwCurrentState = win::kServiceStopped;
            s.dwWin32ExitCode = win::kErrorServiceSpecificError;
            s.dwServiceSpecificExitCode = kNoPidExitCode;
            s.dwCheckPoint = 1;
            s.dwWaitHint = kServiceMainWaitHint;
        },
        Reporter::ServiceMain);
}

bool stopping(const HostContext& host) { return host.stopPhase() != StopPhase::None; }

// Waits until the agent process ends; traces how it ended.
void superviseAgent(HostContext& host, int32_t pid) {
    traceMessage("VornelAgentService - VornelAgentServiceMain - about to open process.");
    ProcessHandle agent;
    ErrorCode rc = host.os.openProcess(static_cast<uint32_t>(pid), win::kProcessAllAccess, agent);
    if (rc != win::kErrorSuccess) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - OpenProcess failed for pid %d: %d", pid,
                     static_cast<int>(rc));
        return;
    }
    traceMessage("VornelAgentService - VornelAgentServiceMain - process openned successfully, about to wait.");
    // However the wait ends, the agent counts as ended: its exit code tells the rest.
    (void)host.os.waitForProcess(agent, win::kInfinite);
    traceMessage("VornelAgentService - VornelAgentServiceMain - return from wait.");
    uint32_t exitCode = 0;
    rc = host.os.getExitCodeProcess(agent, exitCode);
    if (rc == win::kErrorSuccess) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - exit code = %u", exitCode);
    } else {
        printSystemError(host.os, "run: Error getting rc", rc);
        flushConsole();
    }
}

// Start cycles until the agent is not to be started again.
void runStartCycles(HostContext& host, const std::optional<std::string>& serviceName, const std::string& pidFile,
                    bool legacy) {
    const std::string name = serviceName.value_or("");
    for (;;) {
        reportHostEvent(host, win::kEventlogInformationType, kEventStartCycle, name);
        host.report(
            [](ServiceStatus& s) {
                s.dwServiceType = win::kServiceWin32OwnProcess;
                s.dwCurrentState = win::kServiceStartPending;
                s.dwWin32ExitCode = 0;
                s.dwCheckPoint = 1;
                s.dwWaitHint = kStartWaitHint;
            },
            Reporter::ServiceMain);
        host.update([](ServiceStatus& s) { s.dwCheckPoint += 1; });
        host.reportedState = win::kServiceStartPending;

        if (int32_t running = isServerRunningAlready(host, pidFile)) {
            host.report(
                [running](ServiceStatus& s) {
                    s.dwServiceType = win::kServiceWin32OwnProcess;
                    s.dwCurrentState = win::kServiceStopped;
                    s.dwWin32ExitCode = win::kErrorServiceSpecificError;
                    s.dwServiceSpecificExitCode = kAlreadyRunningExitCodeBase + static_cast<uint32_t>(running);
                },
                Reporter::ServiceMain);
            return;
        }

        int32_t lastPid = readAgentPidFile(host, pidFile);
        traceMessage("VornelAgentService - VornelAgentServiceMain - last pid = %d", lastPid);
        startServer(host, serviceName);
        traceMessage("VornelAgentService - VornelAgentServiceMain - startServer returned.");
        if (stopping(host)) {
            // A stop came while the start script ran: the stop goes on from here and reports
            // stopped once the agent that script started has ended.
            traceExit();
            return;
        }
        host.reportedState = win::kServiceRunning;
        reportHostEvent(host, win::kEventlogInformationType, kEventStartScriptReturned, name);
        host.report(
            [](ServiceStatus& s) {
                s.dwServiceType = win::kServiceWin32OwnProcess;
                s.dwCurrentState = win::kServiceRunning;
                s.dwControlsAccepted = kAcceptedControls;
                s.dwWin32ExitCode = 0;
                s.dwCheckPoint = 0;
                s.dwWaitHint = kServiceMainWaitHint;
            },
            Reporter::ServiceMain);

        if (legacy) {
            // No pid wait and no supervision: the service stays running; a stop still runs
            // the stop script.
            host.doRestartServer = false;
            traceExit();
            return;
        }

        int32_t newPid = 0;
        if (!waitForPidFile(host, pidFile, kPidWaitSeconds, &newPid, lastPid)) {
            if (stopping(host)) return;  // the stop reports stopped
            reportHostEvent(host, win::kEventlogErrorType, kEventNoNewPid, name);
            host.doRestartServer = false;
            reportNoPid(host);
            return;
        }
        host.setAgentPid(static_cast<uint32_t>(newPid));
        superviseAgent(host, newPid);
        host.setAgentPid(std::nullopt);

        if (host.doRestartServer && !host.stopRequested && !stopping(host)) continue;

        // Traced before the stopped report: the process may end as soon as it is made.
        traceExit();
        // A stop under way reports stopped itself, once everything the host launched has ended.
        host.report(
            [](ServiceStatus& s) {
                s.dwServiceType = win::kServiceWin32OwnProcess;
                s.dwCurrentState = win::kServiceStopped;
                s.dwWin32ExitCode = 0;
                s.dwCheckPoint = 0;
                s.dwWaitHint = kServiceMainWaitHint;
            },
            Reporter::ServiceMain);
        return;
    }
}

}  // namespace

void setUpTrace(HostContext& host, const std::string& parametersKeyPath) {
    // The trace is still off, so this read leaves no trace line.
    if (isOn(getRegistryValue(host.os, parametersKeyPath, kDebugTrace)) == 1) {
        enableTrace();
        std::optional<std::string> stdoutFile = getRegistryValue(host.os, parametersKeyPath, kStdOutTraceFile);
        std::optional<std::string> stderrFile = getRegistryValue(host.os, parametersKeyPath, kStdErrTraceFile);
        redirectTraceOutput(host.os, stdoutFile, stderrFile);
    } else {
        disableTrace();
    }
}

void VornelAgentServiceMain(HostContext& host, int argc, char** argv) {
    std::optional<std::string> serviceName;
    if (argc >= 1 && argv != nullptr && argv[0] != nullptr) serviceName = argv[0];
    const std::string name = serviceName.value_or("");

    // The handler shares the context; it may be called for as long as the process lives.
    std::shared_ptr<HostContext> shared = host.shared_from_this();
    StatusHandle statusHandle = 0;
    const ErrorCode registered = host.os.registerServiceCtrlHandler(
        name,
        [shared](uint32_t control) {
            ++shared->handlersRunning;
            shared->controlHandled = true;
            VornelAgentServiceCtrl(*shared, control);
            --shared->handlersRunning;
        },
        statusHandle);
    host.setStatusHandle(statusHandle);
    host.setStopServiceName(serviceName);

    uint32_t major = 0;
    if (host.os.osMajorVersion(major) != win::kErrorSuccess) major = 0;
    const bool legacy = major == 4;

    const std::string keyPath = parametersKeyPath(name);
    setUpTrace(host, keyPath);

    traceSeparator('=');
    traceSeparator('=');
    traceMessage("VornelAgentService - VornelAgentServiceMain - entry - service = %s ", orNull(serviceName));
    traceMessage("VornelAgentService - VornelAgentServiceMain - argc = %d", argc);
    for (int i = 0; i < argc && argv != nullptr; ++i) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - arg(%d) = %s", i, orNull(argv[i]));
    }
    traceMessage("VornelAgentService - VornelAgentServiceMain - key = %s", keyPath.c_str());

    // Without a control handler no status can be reported and no stop can arrive: an agent
    // started now could be neither seen nor stopped through the service, and would be
    // started again whenever it ended. Nothing is started; the service manager ends a
    // service that never reports.
    if (registered != win::kErrorSuccess) {
        printSystemError(host.os, "Couldn't register the control handler", registered);
        flushConsole();
        traceExit();
        return;
    }

    // What the host launches (the scripts, the agent and what they start) belongs to one job,
    // so that a stop can wait for all of it and end all of it.
    JobHandle job;
    if (ErrorCode rc = host.os.createJob(job)) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - no job for the agent (%d): a forced end can end "
                     "only the agent's pid",
                     static_cast<int>(rc));
    } else {
        host.setJob(std::move(job));
    }

    std::optional<std::string> restart = getRegistryValue(host.os, keyPath, kRestart);
    host.doRestartServer = !(restart && *restart == "false");
    writeOut("%s", host.doRestartServer ? "\r\n VornelAgentServiceMain - doRestartServer = true"
                                        : "\r\n VornelAgentServiceMain - doRestartServer = false");
    flushConsole();

    std::optional<std::string> pidFile = getRegistryValue(host.os, keyPath, kAgentPidFile);
    traceMessage("VornelAgentService - VornelAgentServiceMain - pidFile = %s", orNull(pidFile));
    if (!pidFile) {
        reportNoPid(host);
        return;
    }
    runStartCycles(host, serviceName, *pidFile, legacy);
}

}  // namespace vornel::host
