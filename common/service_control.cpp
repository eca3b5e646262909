#include "common/service_control.h"

#include "common/trace.h"

namespace vornel {

const char* serviceStateText(uint32_t state) {
    switch (state) {
        case win::kServiceStopped: return "The service is stopped.";
        case win::kServiceStartPending: return "The service start is pending.";
        case win::kServiceStopPending: return "The service stop is pending.";
        case win::kServiceRunning: return "The service is running.";
        case win::kServiceContinuePending: return "The service continue is pending.";
        case win::kServicePausePending: return "The service pause is pending.";
        case win::kServicePaused: return "The service is paused.";
        default: return "Unable to determine Service status.";
    }
}

const char* serviceStateWord(uint32_t state) {
    switch (state) {
        case win::kServiceStopped: return "stopped";
        case win::kServiceStartPending: return "start pending";
        case win::kServiceStopPending: return "stop pending";
        case win::kServiceRunning: return "running";
        case win::kServiceContinuePending: return "continue pending";
        case win::kServicePausePending: return "pause pending";
        case win::kServicePaused: return "paused";
        default: return "unknown";
    }
}

void reportOpenServiceFailure(Platform& os, const std::optional<std::string>& serviceName, ErrorCode code) {
    writeErr("Could not open service '%s'\n", orNull(serviceName));
    printSystemError(os, "\treason", code);
}

ErrorCode openServiceManager(Platform& os, ScHandle& manager) {
    return os.openSCManager(win::kScManagerAllAccess, manager);
}

ErrorCode openServiceByName(Platform& os, const ScHandle& manager, const std::string& fullServiceName,
                            uint32_t access, ScHandle& service) {
    return os.openService(manager, fullServiceName, access, service);
}

ErrorCode openServiceForTool(Platform& os, const std::string& fullServiceName, uint32_t access,
                             const OpenStepReports& reports, ScHandle& manager, ScHandle& service) {
    if (ErrorCode rc = openServiceManager(os, manager)) {
        if (reports.managerFailureTrace != nullptr) traceMessage("%s", reports.managerFailureTrace);
        printSystemError(os, reports.managerFailureLabel, rc);
        return rc;
    }
    if (ErrorCode rc = openServiceByName(os, manager, fullServiceName, access, service)) {
        if (reports.serviceFailureTrace != nullptr) traceMessage("%s", reports.serviceFailureTrace);
        reportOpenServiceFailure(os, fullServiceName, rc);
        manager.reset();
        return rc;
    }
    return win::kErrorSuccess;
}

}  // namespace vornel
