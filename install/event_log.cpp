// Registering the service's event-log source.
#include "common/registry.h"
#include "common/trace.h"
#include "install/install.h"

namespace vornel {
namespace {

// Whether the source's key names a message file: a source without one is half registered (a
// write that failed before), and an installation completes it.
bool namesMessageFile(Platform& os, const RegKey& key) {
    std::string data;
    return os.regQueryValue(key, kEventMessageFile, data) == win::kErrorSuccess;
}

// The error line of a value that could not be written.
bool notWritten(Platform& os, const char* valueName, ErrorCode rc, const char* trace) {
    traceMessage("%s", trace);
    printSystemError(os, (std::string("Could not write ") + valueName).c_str(), rc);
    return false;
}

}  // namespace

bool registerEventLog(Platform& os, const std::string& serviceName, const std::string& msgFile) {
    const std::string regKey = eventLogSourceKeyPath(serviceName);
    traceMessage("InstallVornelAgentService - registerEventLog - serviceName = %s", serviceName.c_str());
    traceMessage("InstallVornelAgentService - registerEventLog - msgFile = %s", msgFile.c_str());
    traceMessage("InstallVornelAgentService - registerEventLog - regKey = %s", regKey.c_str());

    RegKey key;
    if (os.regOpenKey(regKey, key) == win::kErrorSuccess) {
        if (namesMessageFile(os, key)) {
            // An existing source is left as it is, whatever message file it names.
            traceMessage("InstallVornelAgentService - registerEventLog - returning true - key already exists");
            return true;
        }
        traceMessage("InstallVornelAgentService - registerEventLog - key exists without its message file");
    } else if (ErrorCode rc = os.regCreateKey(regKey, key)) {
        return notWritten(os, kEventMessageFile, rc,
                          "InstallVornelAgentService - registerEventLog - returning false - create key failed");
    }
    if (ErrorCode rc = os.regSetStringValue(key, kEventMessageFile, msgFile)) {
        return notWritten(os, kEventMessageFile, rc,
                          "InstallVornelAgentService - registerEventLog - returning false - set value failed");
    }
    if (ErrorCode rc = os.regSetDwordValue(key, kTypesSupported, 7)) {
        return notWritten(os, kTypesSupported, rc,
                          "InstallVornelAgentService - registerEventLog - returning false - set value ex failed");
    }
    key.reset();
    traceMessage("InstallVornelAgentService - registerEventLog - exit - returning true");
    return true;
}

}  // namespace vornel
