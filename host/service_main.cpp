// The service main: sets the host up (the control handler, the trace, the job, the settings
// read once per start) and runs the supervisor on its own thread.
#include <string>

#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"
#include "host/supervisor.h"

namespace vornel::host {
namespace {

constexpr uint32_t kDefaultRestartThrottleSeconds = 60;

void traceExit() {
    traceMessage("VornelAgentService - VornelAgentServiceMain - exit.");
    traceSeparator('=');
}

}  // namespace

std::string agentJobName(const std::string& fullServiceName) { return "Global\\" + fullServiceName + " agent job"; }

uint32_t restartThrottleSeconds(const std::optional<std::string>& stored) {
    return parseDecimal(stored).value_or(kDefaultRestartThrottleSeconds);
}

TraceFiles setUpTrace(HostContext& host, const std::string& parametersKeyPath) {
    // The trace is still off, so these reads leave no trace line.
    const bool on = isOn(getRegistryValue(host.os, parametersKeyPath, kDebugTrace)) == 1;
    TraceFiles files = traceFileLimits(host.os, parametersKeyPath);
    if (!on) {
        disableTrace();
        return files;
    }
    enableTrace();
    files.stdoutPath = getRegistryValue(host.os, parametersKeyPath, kStdOutTraceFile);
    files.stderrPath = getRegistryValue(host.os, parametersKeyPath, kStdErrTraceFile);
    pointTraceAtFiles(host.os, files);
    return files;
}

void VornelAgentServiceMain(HostContext& host, int argc, char** argv) {
    std::optional<std::string> serviceName;
    if (argc >= 1 && argv != nullptr && argv[0] != nullptr) serviceName = argv[0];
    const std::string name = serviceName.value_or("");

    // The inbox's event comes first, so that the handler can wake the supervisor from its
    // first control on. The handler holds the inbox: it may be called for as long as the
    // process lives.
    const ErrorCode noEvent = host.inbox->open(host.os);
    std::shared_ptr<ControlInbox> inbox = host.inbox;
    const ErrorCode registered = host.os.registerServiceCtrlHandlerEx(
        name,
        [inbox](uint32_t control) {
            ++inbox->handlersRunning;
            inbox->controlHandled = true;
            const uint32_t answer = VornelAgentServiceCtrl(*inbox, control);
            --inbox->handlersRunning;
            return answer;
        },
        host.statusHandle);

    uint32_t major = 0;
    if (host.os.osMajorVersion(major) != win::kErrorSuccess) major = 0;

    const std::string keyPath = parametersKeyPath(name);
    const TraceFiles traceFiles = setUpTrace(host, keyPath);

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
    // Without the inbox's event no control could wake the supervisor: nothing is started, and
    // the service stops with the reason.
    if (noEvent != win::kErrorSuccess) {
        printSystemError(host.os, "Couldn't create the control event", noEvent);
        flushConsole();
        traceExit();
        ServiceStatus stopped;
        stopped.dwServiceType = win::kServiceWin32OwnProcess;
        stopped.dwCurrentState = win::kServiceStopped;
        stopped.dwWin32ExitCode = noEvent;
        (void)host.os.setServiceStatus(host.statusHandle, stopped);
        return;
    }

    // What the host launches (the scripts, the agent and what they start) belongs to one job,
    // so that a stop can wait for all of it and end all of it. It is named after the service:
    // a job of that name that is there already is what an earlier run of the host left, still
    // holding its agent.
    HostSettings settings;
    settings.traceFiles = traceFiles;
    if (ErrorCode named = host.os.createNamedJob(agentJobName(name), host.job, settings.jobOfAnEarlierRun)) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - no job of the service's name (%d)",
                     static_cast<int>(named));
        if (ErrorCode rc = host.os.createJob(host.job)) {
            traceMessage("VornelAgentService - VornelAgentServiceMain - no job for the agent (%d): a forced end can "
                         "end only the agent's pid",
                         static_cast<int>(rc));
        }
    }
    if (settings.jobOfAnEarlierRun) {
        traceMessage("VornelAgentService - VornelAgentServiceMain - the job of an earlier run is there again");
    }

    settings.serviceName = name;
    settings.legacy = major == 4;
    std::optional<std::string> restart = getRegistryValue(host.os, keyPath, kRestart);
    settings.restartSetting = !(restart && *restart == "false");
    writeOut("%s", settings.restartSetting ? "\r\n VornelAgentServiceMain - doRestartServer = true"
                                           : "\r\n VornelAgentServiceMain - doRestartServer = false");
    flushConsole();

    std::optional<std::string> pidFile = getRegistryValue(host.os, keyPath, kAgentPidFile);
    traceMessage("VornelAgentService - VornelAgentServiceMain - pidFile = %s", orNull(pidFile));
    if (pidFile) {
        settings.pidFile = *pidFile;
        settings.throttleSeconds = restartThrottleSeconds(getRegistryValue(host.os, keyPath, kRestartThrottle));
    }
    Supervisor supervisor(host, std::move(settings));
    if (!pidFile) {
        supervisor.stopWithoutPidFile();
        return;
    }
    supervisor.run();
}

}  // namespace vornel::host
