#include "stop/stop_tool.h"

#include "common/command_line.h"
#include "common/naming.h"
#include "common/options.h"
#include "common/runtime.h"
#include "common/service_control.h"
#include "common/service_wait.h"
#include "common/trace.h"

namespace vornel {
namespace {

void printUsage(const OptionTable& options) {
    writeOut("\r\nUsage: StopVornelAgentService.exe (with no arguments displays this help)");
    writeOut("\r\n          -%s <service name>", options.entries[StopOptions::ServiceName].name);
    writeOut("\r\n          -%s (Displays this help)", options.entries[StopOptions::Help].name);
    writeOut("\r\n          -%s [<seconds>]", options.entries[StopOptions::Wait].name);
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

// Sends the stop control on an open service; 0 when accepted, else the refusal's code.
// Stop tools send their controls to one service one at a time, each holding the lock until the
// service has taken its stop: a stop that comes second then finds the service stopping.
ErrorCode sendStopControl(Platform& os, const std::string& fullServiceName, const ScHandle& service) {
    MutexHandle oneAtATime;
    if (ErrorCode rc = os.acquireMutex("Global\\" + fullServiceName + " control", kControlLockWaitMs, oneAtATime)) {
        traceMessage("StopVornelAgentService - stopService - no control lock (%d), the stop goes out anyway",
                     static_cast<int>(rc));
    }
    traceMessage("StopVornelAgentService - stopService -  about to issue stop service.");
    ServiceStatus status;
    const ErrorCode rc = os.controlService(service, win::kServiceControlStop, status);
    if (rc == win::kErrorSuccess) waitUntilNotRunning(os, service, status);
    return rc;
}

void reportStopRefused(Platform& os, ErrorCode rc) {
    writeErr("Failed to stop service, or timed out while waiting for stop to complete. Check the logs for details.\n");
    traceMessage("StopVornelAgentService - stopService -  stop service failed.");
    printSystemError(os, "Could not stop service", rc);
}

// A refused stop that a wait can do without: the service is stopped already (not active), or
// is stopping (the control cannot be accepted while it stops).
bool stoppedOrStopping(Platform& os, const ScHandle& service, const std::string& fullServiceName, ErrorCode rc) {
    if (rc != win::kErrorServiceNotActive && rc != win::kErrorServiceCannotAcceptCtrl) return false;
    ServiceView view;
    if (lookAtService(os, service, fullServiceName, view) != win::kErrorSuccess) return false;
    const uint32_t state = view.status.dwCurrentState;
    return state == win::kServiceStopped || (state == win::kServiceStopPending && rc == win::kErrorServiceCannotAcceptCtrl);
}

// The stop's wait: until the service has stopped, or the time has run out.
int waitForStop(Platform& os, const ScHandle& service, const std::string& fullServiceName, uint32_t seconds) {
    ServiceWait wait = waitForService(
        os, service, fullServiceName, seconds,
        [](const ServiceView& view) { return view.status.dwCurrentState == win::kServiceStopped; },
        "StopVornelAgentService - waitForStop");
    switch (wait.end) {
        case WaitEnd::Reached:
        case WaitEnd::Stopped:
        case WaitEnd::Restarted:  // it stopped, and the service manager started it again since
            writeOut("The service is stopped.\n");
            return 0;
        case WaitEnd::TimedOut:
            writeOut("The service is not stopped after %u s (%s).\n", static_cast<unsigned>(seconds),
                     activityOf(wait.last).c_str());
            return kStopTimedOut;
        case WaitEnd::Failed: break;
    }
    printSystemError(os, "Could not query service status", wait.error);
    return -1;
}

// The stop on an open service: the control, its answer, and the wait when one is asked for.
int stopOpenService(Platform& os, const std::string& fullServiceName, const ScHandle& service,
                    std::optional<uint32_t> waitSeconds) {
    ErrorCode rc = sendStopControl(os, fullServiceName, service);
    if (rc == win::kErrorSuccess) {
        traceMessage("StopVornelAgentService - stopService -  stop service issued.");
        writeOut("Successfully stopped service.\n");
        return waitSeconds ? waitForStop(os, service, fullServiceName, *waitSeconds) : 0;
    }
    if (waitSeconds && stoppedOrStopping(os, service, fullServiceName, rc)) {
        traceMessage("StopVornelAgentService - stopService - refused (%u): stopped or stopping, waiting",
                     static_cast<unsigned>(rc));
        return waitForStop(os, service, fullServiceName, *waitSeconds);
    }
    reportStopRefused(os, rc);
    return -1;
}

}  // namespace

int stopService(Platform& os, const std::string& serviceName, const std::optional<std::string>& extraParams,
                std::optional<uint32_t> waitSeconds) {
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
            rc = stopOpenService(os, fullServiceName, service, waitSeconds);
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

    std::optional<uint32_t> wait;
    if (!readWaitOption(options, StopOptions::Wait, kStopWaitSeconds, wait)) {
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

    int rc = stopService(os, serviceName, extraParams, wait);
    traceMessage("StopVornelAgentService - main - stopService returned %d", rc);
    return rc;
}

}  // namespace vornel
