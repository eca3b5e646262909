// Creating the service, or updating this installation's existing one, and writing its
// settings.
#include "common/encoding.h"
#include "common/naming.h"
#include "common/registry.h"
#include "common/service_control.h"
#include "common/text.h"
#include "common/trace.h"
#include "install/install.h"

namespace vornel {
namespace {

// A service that already exists is this installation's own only when it runs the command
// line this installation would give it.
bool isOwnService(Platform& os, ErrorCode createError, const std::string& rootKey, const std::string& imagePath) {
    if (createError != win::kErrorServiceExists && createError != win::kErrorDuplicateServiceName) return false;
    std::optional<std::string> installed = getRegistryValue(os, rootKey, kImagePath);
    return installed && equalsIgnoringCase(*installed, imagePath);
}

// The start type, the account and the password of an existing service, when any is given.
// Its type, error control, command line and display name stay as they are.
void updateServiceConfig(Platform& os, const ScHandle& manager, const std::string& fullSvcName,
                         const ServiceSettings& s) {
    if (!s.startTypeGiven && !s.accountName && !s.password) return;
    ScHandle service;
    if (ErrorCode rc = os.openService(manager, fullSvcName, win::kServiceChangeConfig, service)) {
        printSystemError(os, "Failed to open service", rc);
        return;
    }
    uint32_t startType = s.startTypeGiven ? s.startType : win::kServiceNoChange;
    if (ErrorCode rc = os.changeServiceConfig(service, startType, s.accountName, s.password)) {
        printSystemError(os, "Failed to update service", rc);
    }
}

void writeParameters(Platform& os, const std::string& fullSvcName, const ServiceSettings& s) {
    const std::string key = parametersKeyPath(fullSvcName);
    traceMessage("InstallVornelAgentService - addService - key = %s", key.c_str());
    setRegistryValue(os, key, kAgentHome, s.agentHome);
    setRegistryValue(os, key, kAgentName, s.agentName);
    if (s.startArgs && !s.startArgs->empty()) setArgumentsValue(os, fullSvcName, key, kStartupArguments, *s.startArgs);
    if (s.stopArgs && !s.stopArgs->empty()) setArgumentsValue(os, fullSvcName, key, kStopArguments, *s.stopArgs);
    setRegistryValue(os, key, kAgentPidFile, s.pidFile);
    traceMessage("InstallVornelAgentService - addService - pid file = %s", s.pidFile.c_str());
    if (!s.logRoot.empty()) {
        setRegistryValue(os, key, kAgentLogRoot, s.logRoot);
        traceMessage("InstallVornelAgentService - addService - log root = %s", s.logRoot.c_str());
    }
    if (!s.serviceTrace.empty()) {
        setRegistryValue(os, key, kDebugTrace, s.serviceTrace);
        traceMessage("InstallVornelAgentService - addService - service trace = %s", s.serviceTrace.c_str());
    }
    if (!s.stdoutTraceFile.empty()) {
        setRegistryValue(os, key, kStdOutTraceFile, s.stdoutTraceFile);
        traceMessage("InstallVornelAgentService - addService - stdout trace file = %s", s.stdoutTraceFile.c_str());
    }
    if (!s.stderrTraceFile.empty()) {
        setRegistryValue(os, key, kStdErrTraceFile, s.stderrTraceFile);
        traceMessage("InstallVornelAgentService - addService - stderr trace file = %s", s.stderrTraceFile.c_str());
    }
    setRegistryValue(os, key, kRestart, s.restart ? "true" : "false");
}

}  // namespace

std::string imagePathOf(const std::string& agentHome, const std::string& fullServiceName) {
    return "\"" + agentHome + "bin\\VornelAgentService.exe\" \"" + fullServiceName + "\"";
}

int addService(Platform& os, const ServiceSettings& s) {
    traceMessage("InstallVornelAgentService - addService - serviceName = %s", s.serviceName.c_str());
    traceMessage("InstallVornelAgentService - addService - agentName = %s", s.agentName.c_str());
    traceMessage("InstallVornelAgentService - addService - agentHome = %s", s.agentHome.c_str());

    const std::string fullSvcName = getFullServiceName(s.serviceName);
    const std::string imagePath = imagePathOf(s.agentHome, fullSvcName);
    const std::string rootKey = serviceKeyPath(fullSvcName);
    traceMessage("InstallVornelAgentService - addService - fullSvcName = %s", fullSvcName.c_str());
    traceMessage("InstallVornelAgentService - addService - imagePath = %s", imagePath.c_str());
    traceMessage("InstallVornelAgentService - addService - rootKey = %s", rootKey.c_str());

    {
        // A manager that cannot be opened shows as the failure of the create call.
        ScHandle manager;
        openServiceManager(os, manager);

        ServiceConfig config;
        config.name = fullSvcName;
        config.displayName = getDisplayName(s.serviceName, s.useProductText);
        config.desiredAccess = win::kServiceAllAccess;
        config.serviceType = win::kServiceWin32OwnProcess;
        config.startType = s.startType;
        config.errorControl = win::kServiceErrorNormal;
        config.binaryPathName = imagePath;
        config.account = s.accountName;
        config.password = s.password;

        ScHandle service;
        if (ErrorCode rc = os.createService(manager, config, service)) {
            if (!isOwnService(os, rc, rootKey, imagePath)) {
                printSystemError(os, "Failed to add service", rc);
                return -1;
            }
            writeOut("Service already exists, updating parameters...\n");
            updateServiceConfig(os, manager, fullSvcName, s);
        } else {
            writeOut("%s service successfully added.", config.displayName->c_str());
        }
    }  // the service handle, then the manager handle, are closed here

    setRegistryValue(os, rootKey, kDescription,
                     "Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  " + s.agentName);
    setEncoded(os, fullSvcName, s.encoded);
    writeParameters(os, fullSvcName, s);

    registerEventLog(os, fullSvcName, s.agentHome + "bin\\" + "VornelAgentServiceMsg.dll");
    return 0;
}

}  // namespace vornel
