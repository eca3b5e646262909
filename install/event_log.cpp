// Registering the service's event-log source.
#include "common/registry.h"
#include "common/trace.h"
#include "install/install.h"

namespace vornel {

bool registerEventLog(Platform& os, const std::string& serviceName, const std::string& msgFile) {
    const std::string regKey = eventLogSourceKeyPath(serviceName);
    traceMessage("InstallVornelAgentService - registerEventLog - serviceName = %s", serviceName.c_str());
    traceMessage("InstallVornelAgentService - registerEventLog - msgFile = %s", msgFile.c_str());
    traceMessage("InstallVornelAgentService - registerEventLog - regKey = %s", regKey.c_str());

    RegKey key;
    if (os.regOpenKey(regKey, key) == win::kErrorSuccess) {
        // An existing source is left as it is, whatever message file it names.
        traceMessage("InstallVornelAgentService - registerEventLog - returning true - key already exists");
        return true;
    }
    if (os.regCreateKey(regKey, key) != win::kErrorSuccess) {
        traceMessage("InstallVornelAgentService - registerEventLog - returning false - create key failed");
        return false;
    }
    if (os.regSetStringValue(key, kEventMessageFile, msgFile) != win::kErrorSuccess) {
        traceMessage("InstallVornelAgentService - registerEventLog - returning false - set value failed");
        return false;
    }
    if (os.regSetDwordValue(key, kTypesSupported, 7) != win::kErrorSuccess) {
        traceMessage("InstallVornelAgentService - registerEventLog - returning false - set value ex failed");
        return false;
    }
    key.reset();
    traceMessage("InstallVornelAgentService - registerEventLog - exit - returning true");
    return true;
}

}  // namespace vornel
