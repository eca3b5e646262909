// The service main: reads the service's settings, refuses to start when the agent is still
// alive, runs the start script, waits for the agent's new pid, waits for the agent to end
// and starts it again unless Restart is "false" or a stop has been requested.
#include <algorithm>
#include <memory>
#include <string>

#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

constexpr int kPidWaitSeconds = 30;
constexpr uint32_t kDefaultRestartThrottleSeconds = 60;

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

// Waits until the agent process ends; traces how it ended. Its exit code, when it can be read.
std::optional<uint32_t> superviseAgent(HostContext& host, int32_t pid) {
    traceMessage("VornelAgentService - VornelAgentServiceMain - about to open process.");
    ProcessHandle agent;
    ErrorCode rc = host.os.openProcess(static_cast<uint32_t>(pid), win::kProcessAllAccess, agent);
    if (rc != win::kErrorSuccess) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - OpenProcess failed for pid %d: %d", pid,
                     static_cast<int>(rc));
        return std::nullopt;
    }
    traceMessage("VornelAgentService - VornelAgentServiceMain - process openned successfully, about to wait.");
    // However the wait ends, the agent counts as ended: its exit code tells the rest.
    (void)host.os.waitForProcess(agent, win::kInfinite);
    traceMessage("VornelAgentService - VornelAgentServiceMain - return from wait.");
    uint32_t exitCode = 0;
    rc = host.os.getExitCodeProcess(agent, exitCode);
    if (rc == win::kErrorSuccess) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - exit code = %u", exitCode);
        return exitCode;
    }
    printSystemError(host.os, "run: Error getting rc", rc);
    flushConsole();
    return std::nullopt;
}

// The agent has ended: an event with its pid and exit code, a warning when it failed on its own.
void reportAgentEnded(HostContext& host, const std::string& name, int32_t pid, const std::optional<uint32_t>& exitCode) {
    const bool failed = exitCode.value_or(0) != 0 && !host.stopRequested;
    reportHostEvent(host, failed ? win::kEventlogWarningType : win::kEventlogInformationType, kEventAgentEnded,
                    {name, std::to_string(pid), exitCode ? std::to_string(*exitCode) : std::string("unknown")});
}

// How long the restarts after short runs wait: 1 s after the first short run in a row, then
// twice as long each time, at most 256 s.
uint32_t restartDelaySeconds(unsigned shortRunsInARow) {
    constexpr unsigned kLongestShift = 8;  // 256 s
    return shortRunsInARow == 0 ? 0u : 1u << std::min(shortRunsInARow - 1, kLongestShift);
}

// Waits before the next start cycle, reporting start pending with the checkpoint raised once a
// second and accepting stops. False when a stop came meanwhile: the stop has reported.
bool waitBeforeRestart(HostContext& host, const std::string& name, uint32_t seconds, uint64_t ranMs,
                       uint32_t throttleSeconds) {
    traceMessage("VornelAgentService - VornelAgentServiceMain - the agent ran %llu ms, less than RestartThrottle "
                 "(%u s): the restart waits %u s",
                 static_cast<unsigned long long>(ranMs), throttleSeconds, seconds);
    reportHostEvent(host, win::kEventlogWarningType, kEventRestartDelayed, {name, std::to_string(seconds)});
    host.reportedState = win::kServiceStartPending;
    host.report(
        [](ServiceStatus& s) {
            s.dwServiceType = win::kServiceWin32OwnProcess;
            s.dwCurrentState = win::kServiceStartPending;
            s.dwControlsAccepted = kAcceptedControls;
            s.dwWin32ExitCode = 0;
            s.dwCheckPoint = 1;
            s.dwWaitHint = kStartWaitHint;
        },
        Reporter::ServiceMain);
    for (uint32_t waited = 0; waited < seconds; ++waited) {
        host.os.sleep(1000);
        if (stopping(host)) {
            traceMessage("VornelAgentService - VornelAgentServiceMain - a stop ended the wait before the restart");
            return false;
        }
        host.report([](ServiceStatus& s) { s.dwCheckPoint += 1; }, Reporter::ServiceMain);
    }
    traceMessage("VornelAgentService - VornelAgentServiceMain - restarting after %u s", seconds);
    return true;
}

// Start cycles until the agent is not to be started again.
// What the start cycles go by: the settings read once per service start.
struct CycleSettings {
    std::string pidFile;
    bool legacy = false;
    bool restartSetting = true;     // Restart is not "false"
    uint32_t throttleSeconds = 60;  // RestartThrottle; 0: restart at once
};

void runStartCycles(HostContext& host, const std::optional<std::string>& serviceName, const CycleSettings& settings) {
    const std::string name = serviceName.value_or("");
    const std::string& pidFile = settings.pidFile;
    const bool legacy = settings.legacy;
    unsigned shortRunsInARow = 0;
    for (;;) {
        reportHostEvent(host, win::kEventlogInformationType, kEventStartCycle, {name});
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
            reportHostEvent(host, win::kEventlogErrorType, kEventStartRefused, {name, std::to_string(running)});
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
        // The agent's run is counted from the start script's launch to the agent's end.
        const uint64_t runBegan = host.os.tickCount();
        startServer(host, serviceName);
        traceMessage("VornelAgentService - VornelAgentServiceMain - startServer returned.");
        if (stopping(host)) {
            // A stop came while the start script ran: the stop goes on from here and reports
            // stopped once the agent that script started has ended.
            traceExit();
            return;
        }
        host.reportedState = win::kServiceRunning;
        reportHostEvent(host, win::kEventlogInformationType, kEventStartScriptReturned, {name});
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
            reportHostEvent(host, win::kEventlogErrorType, kEventNoNewPid, {name});
            host.doRestartServer = false;
            reportNoPid(host);
            return;
        }
        host.setAgentPid(static_cast<uint32_t>(newPid));
        const std::optional<uint32_t> exitCode = superviseAgent(host, newPid);
        host.setAgentPid(std::nullopt);
        const uint64_t ranMs = host.os.tickCount() - runBegan;
        reportAgentEnded(host, name, newPid, exitCode);

        if (host.doRestartServer && !host.stopRequested && !stopping(host)) {
            // Short runs in a row make the restarts wait longer and longer; a long run resets them.
            const bool shortRun = settings.throttleSeconds != 0 && ranMs < uint64_t{settings.throttleSeconds} * 1000;
            shortRunsInARow = shortRun ? shortRunsInARow + 1 : 0;
            const uint32_t delay = restartDelaySeconds(shortRunsInARow);
            if (delay == 0 || waitBeforeRestart(host, name, delay, ranMs, settings.throttleSeconds)) continue;
            traceExit();
            return;
        }

        // An agent that failed on its own, with no restart to follow, shows as the service's
        // failure: 1066 and the agent's exit code. A stop or the control 128 is no failure.
        const bool failed = !settings.restartSetting && !host.stopRequested && !host.supervisionEnded &&
                            exitCode.value_or(0) != 0;
        // Traced before the stopped report: the process may end as soon as it is made.
        traceExit();
        // A stop under way reports stopped itself, once everything the host launched has ended.
        host.report(
            [&](ServiceStatus& s) {
                s.dwServiceType = win::kServiceWin32OwnProcess;
                s.dwCurrentState = win::kServiceStopped;
                s.dwWin32ExitCode = failed ? win::kErrorServiceSpecificError : 0;
                if (failed) s.dwServiceSpecificExitCode = *exitCode;
                s.dwCheckPoint = 0;
                s.dwWaitHint = kServiceMainWaitHint;
            },
            Reporter::ServiceMain);
        return;
    }
}

}  // namespace

uint32_t restartThrottleSeconds(const std::optional<std::string>& stored) {
    return parseSeconds(stored).value_or(kDefaultRestartThrottleSeconds);
}

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
    CycleSettings settings;
    settings.restartSetting = host.doRestartServer;
    settings.legacy = legacy;
    writeOut("%s", host.doRestartServer ? "\r\n VornelAgentServiceMain - doRestartServer = true"
                                        : "\r\n VornelAgentServiceMain - doRestartServer = false");
    flushConsole();

    std::optional<std::string> pidFile = getRegistryValue(host.os, keyPath, kAgentPidFile);
    traceMessage("VornelAgentService - VornelAgentServiceMain - pidFile = %s", orNull(pidFile));
    if (!pidFile) {
        reportNoPid(host);
        return;
    }
    settings.pidFile = *pidFile;
    settings.throttleSeconds = restartThrottleSeconds(getRegistryValue(host.os, keyPath, kRestartThrottle));
    runStartCycles(host, serviceName, settings);
}

}  // namespace vornel::host
