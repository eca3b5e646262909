#include "start/start_tool.h"

#include <cstdio>

#include "common/command_line.h"
#include "common/naming.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/runtime.h"
#include "common/service_control.h"
#include "common/service_wait.h"
#include "common/trace.h"

namespace vornel {
namespace {

void printUsage(const OptionTable& options) {
    writeOut("\r\nUsage: StartVornelAgentService.exe (with no arguments displays this help)");
    writeOut("\r\n           -%s <service name>", options.entries[StartOptions::ServiceName].name);
    writeOut("\r\n           -%s <on | off>", options.entries[StartOptions::ServiceTrace].name);
    writeOut("\r\n           -%s (Displays this help)", options.entries[StartOptions::Help].name);
    writeOut("\r\n           -%s [<seconds>]", options.entries[StartOptions::Wait].name);
}

constexpr char kStdOutTraceFileName[] = "VornelAgentService.stdout";
constexpr char kStdErrTraceFileName[] = "VornelAgentService.stderr";

// Whether the service's Parameters key exists (can be opened for reading).
bool parametersKeyExists(Platform& os, const std::string& keyPath) {
    RegKey key;
    return os.regOpenKeyEx(keyPath, win::kKeyRead, key) == win::kErrorSuccess;
}

// Stores the default path of one trace file, the stored log root followed by the file name.
// Without a log root there is no default to store.
void setDefaultTraceFile(Platform& os, const std::string& keyPath, const char* valueName, const char* stream,
                         const std::optional<std::string>& logRoot, const char* fileName) {
    if (!logRoot) {
        traceMessage("StartVornelAgentService - setServiceTrace - no %s, %s trace file not set", kAgentLogRoot,
                     stream);
        return;
    }
    std::string path = *logRoot + "\\" + fileName;
    setRegistryValue(os, keyPath, valueName, path);
    traceMessage("StartVornelAgentService - setServiceTrace - set %s trace file = %s", stream, path.c_str());
}

void reportAgentRunning(uint32_t pid) { writeOut("The agent is running (pid %u).\n", static_cast<unsigned>(pid)); }

// What the host recorded of how the service stopped: its Outcome, when the host wrote it since
// the start request; otherwise what the service manager says.
std::string outcomeOf(const ServiceView& view, uint64_t requestedAt) {
    const RuntimeValues& runtime = view.runtime;
    if (runtime.outcome && runtime.lastWrite && *runtime.lastWrite >= requestedAt) return *runtime.outcome;
    char text[96];
    std::snprintf(text, sizeof text, "no outcome recorded (exit codes %u / %u)",
                  static_cast<unsigned>(view.status.dwWin32ExitCode),
                  static_cast<unsigned>(view.status.dwServiceSpecificExitCode));
    return text;
}

// The start's wait: until the host supervises an agent, the service stops, or the time runs out.
int waitForAgent(Platform& os, const ScHandle& service, const std::string& fullServiceName, uint32_t seconds,
                 uint64_t requestedAt) {
    std::optional<uint32_t> agent;
    ServiceWait wait = waitForService(
        os, service, fullServiceName, seconds,
        [&](const ServiceView& view) { return (agent = supervisedAgent(os, view)).has_value(); },
        "StartVornelAgentService - waitForAgent");
    switch (wait.end) {
        case WaitEnd::Reached: reportAgentRunning(*agent); return 0;
        case WaitEnd::Stopped:
            traceMessage("StartVornelAgentService - waitForAgent - stopped, exit codes %u / %u",
                         static_cast<unsigned>(wait.last.status.dwWin32ExitCode),
                         static_cast<unsigned>(wait.last.status.dwServiceSpecificExitCode));
            writeOut("The service stopped: %s.\n", outcomeOf(wait.last, requestedAt).c_str());
            return kStartServiceStopped;
        case WaitEnd::Restarted: {
            // The earlier host's Outcome, when it was read before the next one replaced it.
            const RuntimeValues& earlier = wait.earlier.runtime;
            const bool recorded = earlier.outcome && earlier.lastWrite && *earlier.lastWrite >= requestedAt;
            traceMessage("StartVornelAgentService - waitForAgent - process %u replaced by %u",
                         static_cast<unsigned>(wait.earlier.processId), static_cast<unsigned>(wait.last.processId));
            writeOut("The service stopped: %s.\n",
                     recorded ? earlier.outcome->c_str()
                              : "no outcome recorded; the service manager started the service again");
            return kStartServiceStopped;
        }
        case WaitEnd::TimedOut:
            writeOut("The agent is not running after %u s (%s).\n", static_cast<unsigned>(seconds),
                     activityOf(wait.last).c_str());
            return kStartTimedOut;
        case WaitEnd::Failed: break;
    }
    printSystemError(os, "Could not query service status", wait.error);
    return -1;
}

// A service that cannot be started again because it runs: with a wait, a host that supervises
// its agent answers as a start that has waited; the pid of that agent, or absent.
std::optional<uint32_t> alreadySupervisedAgent(Platform& os, const ScHandle& service,
                                               const std::string& fullServiceName) {
    ServiceView view;
    if (lookAtService(os, service, fullServiceName, view) != win::kErrorSuccess) return std::nullopt;
    return supervisedAgent(os, view);
}

}  // namespace

void setServiceTrace(Platform& os, const std::string& fullServiceName, const std::optional<std::string>& serviceTrace) {
    std::string keyPath = parametersKeyPath(fullServiceName);
    traceMessage("StartVornelAgentService - setServiceTrace - full service name = %s", fullServiceName.c_str());
    traceMessage("StartVornelAgentService - setServiceTrace - service trace = %s", orNull(serviceTrace));

    // A name that is not installed gets no Parameters key; the open step reports it.
    if (!parametersKeyExists(os, keyPath)) {
        traceMessage("StartVornelAgentService - setServiceTrace - no Parameters key, nothing stored");
        return;
    }

    std::optional<std::string> stdoutFile = getRegistryValue(os, keyPath, kStdOutTraceFile);
    std::optional<std::string> stderrFile = getRegistryValue(os, keyPath, kStdErrTraceFile);
    std::optional<std::string> debugTrace = getRegistryValue(os, keyPath, kDebugTrace);
    std::optional<std::string> logRoot = getRegistryValue(os, keyPath, kAgentLogRoot);

    if (!stdoutFile) setDefaultTraceFile(os, keyPath, kStdOutTraceFile, "stdout", logRoot, kStdOutTraceFileName);
    if (!stderrFile) setDefaultTraceFile(os, keyPath, kStdErrTraceFile, "stderr", logRoot, kStdErrTraceFileName);

    if (serviceTrace) {
        setRegistryValue(os, keyPath, kDebugTrace, *serviceTrace);
        traceMessage("StartVornelAgentService - setServiceTrace - set service trace = %s", serviceTrace->c_str());
    } else if (!debugTrace) {
        const std::string off = "off";
        setRegistryValue(os, keyPath, kDebugTrace, off);
        traceMessage("StartVornelAgentService - setServiceTrace - init service trace = %s", off.c_str());
    }
}

int startService(Platform& os, const std::string& serviceName, const std::optional<std::string>& extraParams,
                 const std::optional<std::string>& serviceTrace, std::optional<uint32_t> waitSeconds) {
    traceMessage("StartVornelAgentService - startService - serviceName = %s", serviceName.c_str());
    traceMessage("StartVornelAgentService - startService - extraParams = %s", orNull(extraParams));
    traceMessage("StartVornelAgentService - startService - service trace = %s", orNull(serviceTrace));

    std::string fullServiceName = getFullServiceName(serviceName);
    setServiceTrace(os, fullServiceName, serviceTrace);

    static const OpenStepReports reports{
        "StartVornelAgentService - startService - unable to contact service control manager",
        "Could not contact service control manager",
        "StartVornelAgentService - startService - could not open service",
    };
    ScHandle manager;
    ScHandle service;
    if (openServiceForTool(os, fullServiceName, kStartToolServiceAccess, reports, manager, service) != 0) return -1;

    traceMessage("StartVornelAgentService - startService - starting service %s", serviceName.c_str());
    // What the host writes into its Runtime key from now on belongs to this start.
    const uint64_t requestedAt = waitSeconds ? os.systemTime() : 0;
    if (ErrorCode rc = os.startService(service)) {
        traceMessage("StartVornelAgentService - startService - failed to start service %s", serviceName.c_str());
        if (waitSeconds && rc == win::kErrorServiceAlreadyRunning) {
            if (std::optional<uint32_t> agent = alreadySupervisedAgent(os, service, fullServiceName)) {
                reportAgentRunning(*agent);
                return 0;
            }
        }
        printSystemError(os, "Failed to start service", rc);
        return -1;
    }
    traceMessage("StartVornelAgentService - startService - service %s started successfully", serviceName.c_str());
    writeOut("Successfully started service.\n");
    if (!waitSeconds) return 0;
    return waitForAgent(os, service, fullServiceName, *waitSeconds, requestedAt);
}

int startVornelAgentServiceMain(Platform& os, int argc, char** argv) {
    OptionTable options = optionTableOf<StartOptions>();
    std::optional<std::string> unknown;
    if (!readCommandLine(options, argc, argv, StartOptions::Debug, unknown)) {
        printUsage(options);
        return -1;
    }
    traceMessage("StartVornelAgentService - main - Processed parameters, unknown params: %s", orNull(unknown));

    if (isOptionSet(options, StartOptions::Help)) {
        printUsage(options);
        return 0;
    }
    if (!isOptionSet(options, StartOptions::ServiceName)) {
        reportMissingServiceName();
        printUsage(options);
        return -1;
    }

    std::optional<std::string> serviceTrace;
    if (isOptionSet(options, StartOptions::ServiceTrace)) {
        std::optional<std::string> entered = getOptionValue(options, StartOptions::ServiceTrace);
        serviceTrace = isOn(entered) == 1 ? "on" : "off";
        traceMessage("StartVornelAgentService - main - servicetrace = %s", orNull(entered));
    }
    std::optional<uint32_t> wait;
    if (!readWaitOption(options, StartOptions::Wait, kStartWaitSeconds, wait)) {
        printUsage(options);
        return -1;
    }
    std::string serviceName = getOptionValue(options, StartOptions::ServiceName).value_or(std::string());
    traceMessage("StartVornelAgentService - main - serviceName = %s", serviceName.c_str());

    // The line only ever reaches the trace, so it is built in its traced form: a password
    // shows as ********.
    std::optional<std::string> extraParams =
        buildTracedExtraParams(options, unknown, StartOptions::Userid, StartOptions::Password);

    int rc = startService(os, serviceName, extraParams, serviceTrace, wait);
    traceMessage("StartVornelAgentService - main - startService returned rc = %d", rc);
    return rc;
}

}  // namespace vornel
