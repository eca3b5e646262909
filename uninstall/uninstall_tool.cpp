#include "uninstall/uninstall_tool.h"

#include <optional>

#include "common/command_line.h"
#include "common/naming.h"
#include "common/options.h"
#include "common/registry.h"
#include "common/service_control.h"
#include "common/trace.h"

namespace vornel {
namespace {

void printUsage(const OptionTable& options) {
    writeOut("\r\nUsage: UninstallVornelAgentService.exe (with no arguments displays this help)");
    writeOut("\r\n           -%s <Service Name>", options.entries[UninstallOptions::ServiceName].name);
    writeOut("\r\n           -%s (Displays this help)", options.entries[UninstallOptions::Help].name);
}

// Deletes an open service when it is stopped, and with it its event-log source.
void deleteStoppedService(Platform& os, const ScHandle& service, const std::string& fullServiceName) {
    ServiceStatus status;
    if (ErrorCode rc = os.queryServiceStatus(service, status)) {
        printSystemError(os, "Could not get service status", rc);
        return;
    }
    // A stop-pending service is refused like a running one.
    if (status.dwCurrentState != win::kServiceStopped) {
        writeErr("Can not remove service unless it is stopped. (%s)\n", serviceStateText(status.dwCurrentState));
        return;
    }
    if (ErrorCode rc = os.deleteService(service)) {
        printSystemError(os, "Failed to remove service", rc);
        return;
    }
    // A missing or undeletable event-log source does not undo the removal.
    unregisterEventLog(os, fullServiceName);
    writeOut("\r\nSuccessfully removed service %s.\r\n", fullServiceName.c_str());
}

}  // namespace

bool unregisterEventLog(Platform& os, const std::string& fullServiceName) {
    RegKey sources;
    if (os.regOpenKey(kEventLogSourcesKeyPath, sources) != win::kErrorSuccess) return false;
    return os.regDeleteKey(sources, fullServiceName) == win::kErrorSuccess;
}

void removeService(Platform& os, const std::string& serviceName) {
    traceMessage("removeService %s", serviceName.c_str());
    std::string fullServiceName = getFullServiceName(serviceName);
    writeOut("Remove Service: %s\r\n", serviceName.c_str());

    static const OpenStepReports reports{nullptr, "Could not open service control manager", nullptr};
    ScHandle manager;
    ScHandle service;
    if (openServiceForTool(os, fullServiceName, kUninstallToolServiceAccess, reports, manager, service) != 0) return;
    deleteStoppedService(os, service, fullServiceName);
}  // the service handle is closed, then the manager handle

int uninstallVornelAgentServiceMain(Platform& os, int argc, char** argv) {
    OptionTable options = optionTableOf<UninstallOptions>();
    std::optional<std::string> unknown;
    if (!readCommandLine(options, argc, argv, UninstallOptions::Debug, unknown)) {
        printUsage(options);
        return -1;
    }
    traceMessage("Processed parameters, unknown params: %s", orNull(unknown));

    if (isOptionSet(options, UninstallOptions::Help)) {
        printUsage(options);
        return 0;
    }
    if (unknown) {
        reportUnrecognizedParameters(*unknown);
        printUsage(options);
        return -1;
    }
    if (!isOptionSet(options, UninstallOptions::ServiceName)) {
        reportMissingServiceName();
        printUsage(options);
        return -1;
    }

    // Once the command line is accepted the status is 0, whatever the outcome: scripts rely on
    // it and read the outcome from the printed lines.
    removeService(os, getOptionValue(options, UninstallOptions::ServiceName).value_or(std::string()));
    return 0;
}

}  // namespace vornel
