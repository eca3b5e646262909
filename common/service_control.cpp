#include "common/service_control.h"

#include "common/registry.h"
#include "common/text.h"
#include "common/trace.h"

namespace vornel {
namespace {

// The length of the text's leading part that is all ASCII.
size_t asciiPrefixLength(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
    return i;
}

}  // namespace

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

std::optional<std::string> registeredServiceName(Platform& os, const std::string& fullServiceName) {
    RegKey services;
    if (os.regOpenKeyEx(kServicesKeyPath, win::kKeyRead, services) != win::kErrorSuccess) return std::nullopt;
    uint32_t count = 0;
    if (os.regQueryInfoKey(services, count) != win::kErrorSuccess) return std::nullopt;
    // No letter outside ASCII has an ASCII letter as its other case, so the names that can
    // be equal begin with the same ASCII text, but for its letter case: only those are compared.
    const size_t asciiHead = asciiPrefixLength(fullServiceName);
    for (uint32_t index = 0; index < count; ++index) {
        std::string keyName;
        if (os.regEnumKey(services, index, keyName) != win::kErrorSuccess) continue;
        if (!equalsIgnoringCase(std::string_view(keyName).substr(0, asciiHead),
                                std::string_view(fullServiceName).substr(0, asciiHead))) {
            continue;
        }
        if (sameIgnoringCase(os, keyName, fullServiceName)) return keyName;
    }
    return std::nullopt;
}

ErrorCode openServiceByName(Platform& os, const ScHandle& manager, const std::string& fullServiceName,
                            uint32_t access, ScHandle& service) {
    ErrorCode rc = os.openService(manager, fullServiceName, access, service);
    if (rc != win::kErrorServiceDoesNotExist || asciiPrefixLength(fullServiceName) == fullServiceName.size()) return rc;
    std::optional<std::string> registered = registeredServiceName(os, fullServiceName);
    if (!registered || *registered == fullServiceName) return rc;
    traceMessage("CommonVornelAgentService - openServiceByName - registered name = %s", registered->c_str());
    return os.openService(manager, *registered, access, service);
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
