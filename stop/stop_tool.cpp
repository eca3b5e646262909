#include "stop/stop_tool.h"

#include "common/command_line.h"
#include "common/naming.h"
#include "common/options.h"
#include "common/service_control.h"
#include "common/trace.h"

namespace vornel {
namespace {

void printUsage(const OptionTable& options) {
    writeOut("\r\nUsage: StopVornelAgentService.exe (with no arguments displays this help)");
    writeOut("\r\n          -%s <service name>", options.entries[StopOptions::ServiceName].name);
    writeOut("\r\n          -%s (Displays this help)", options.entries[StopOptions::Help].name);
}

// How long a stop waits for another stop of the same service to be answered.
constexpr uint32_t kControlLockWaitMs = 30000;
// How long a stop that was taken holds the lock while the service has not yet left running.
constexpr uint32_t kLeaveRunningWaitMs = 2000;
constexpr uint32_t kLeaveRunningPollMs = 10;

// Waits, holding the lock, until the service that took the stop reports another state than
// running (at most two seconds). Wine's service manager ends a service's process when a
// control comes after a stop it has passed on and before the service has reported leaving
// running; a second stop then finds the service stopping and is refused, as on Windows.
void waitUntilNotRunning(Platform& os, const ScHandle& service, ServiceStatus status) {
    for (uint32_t waited = 0; status.dwCurrentState == win::kServiceRunning && waited < kLeaveRunningWaitMs;
         waited += kLeaveRunningPollMs) {
        os.sleep(kLeaveRunningPollMs);
        if (os.queryServiceStatus(service, status) != win::kErrorSuccess) return;
    }
}

// Sends the stop control on an open service; 0 when accepted, else -1 with the refusal reported.
// Stop tools send their controls to one service one at a time, each holding the lock until the
// service has taken its stop: a stop that comes second then finds the service stopping.
int sendStopControl(Platform& os, const std::string& fullServiceName, const ScHandle& service) {
    MutexHandle oneAtATime;
    if (ErrorCode rc = os.acquireMutex("Global\\" + fullServiceName + " control", kControlLockWaitMs, oneAtATime)) {
        traceMessage("StopVornelAgentService - stopService - no control lock (%d), the stop goes out anyway",
                     static_cast<int>(rc));
    }
    traceMessage("StopVornelAgentService - stopService -  about to issue stop service.");
    ServiceStatus status;
    if (ErrorCode rc = os.controlService(service, win::kServiceControlStop, status)) {
        writeErr("Failed to stop service, or timed out while waiting for stop to complete. Check the logs for details.\n");
        traceMessage("StopVornelAgentService - stopService -  stop service failed.");
        printSystemError(os, "Could not stop service", rc);
        return -1;
    }
    waitUntilNotRunning(os, service, status);
    traceMessage("StopVornelAgentService - stopService -  stop service issued.");
    writeOut("Successfully stopped service.\n");
    return 0;
}

}  // namespace

int stopService(Platform& os, const std::string& serviceName, const std::optional<std::string>& extraParams) {
    traceMessage("StopVornelAgentService - stopService %s, '%s'", serviceName.c_str(), orNull(extraParams));
    std::string fullServiceName = getFullServiceName(serviceName);

    static const OpenStepReports reports{
        "StopVornelAgentService - stopService - Could not contact service control manager",
        "Could not contact service control manager",
        nullptr,
    };
    int rc = -1;
    {
        ScHandle manager;
        ScHandle service;
        if (openServiceForTool(os, fullServiceName, kStopToolServiceAccess, reports, manager, service) == 0) {
            rc = sendStopControl(os, fullServiceName, service);
        }
    }  // the service handle is closed, then the manager handle
    traceMessage("StopVornelAgentService - stopService - exit - return code = %d", rc);
    return rc;
}

int stopVornelAgentServiceMain(Platform& os, int argc, char** argv) {
    OptionTable options = optionTableOf<StopOptions>();
    std::optional<std::string> unknown;
    if (!readCommandLine(options, argc, argv, StopOptions::Debug, unknown)) {
        printUsage(options);
        return -1;
    }
    if (isOptionSet(options, StopOptions::Help)) {
        printUsage(options);
        return 0;
    }
    if (!isOptionSet(options, StopOptions::ServiceName)) {
        reportMissingServiceName();
        printUsage(options);
        return -1;
    }

    std::string serviceName = getOptionValue(options, StopOptions::ServiceName).value_or(std::string());
    traceMessage("StopVornelAgentService - main - serviceName = %s", serviceName.c_str());
    traceMessage("StopVornelAgentService - main - Processed parameters, unknown params: %s", orNull(unknown));

    // The line only ever reaches the trace, so it is built in its traced form: a password
    // shows as ********.
    std::optional<std::string> extraParams =
        buildTracedExtraParams(options, unknown, StopOptions::Userid, StopOptions::Password);

    int rc = stopService(os, serviceName, extraParams);
    traceMessage("StopVornelAgentService - main - stopService returned %d", rc);
    return rc;
}

}  // namespace vornel
