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

// The name under which the service manager knows the service: the name of its key under the
// services key, in the letter case it was created with. The host decodes the stored arguments
// with that name, whatever case an update is given. Absent when it cannot be found.
std::optional<std::string> registeredServiceName(Platform& os, const std::string& fullSvcName) {
    RegKey services;
    if (os.regOpenKeyEx(kServicesKeyPath, win::kKeyRead, services) != win::kErrorSuccess) return std::nullopt;
    uint32_t count = 0;
    if (os.regQueryInfoKey(services, count) != win::kErrorSuccess) return std::nullopt;
    for (uint32_t index = 0; index < count; ++index) {
        std::string keyName;
        if (os.regEnumKey(services, index, keyName) != win::kErrorSuccess) continue;
        if (equalsIgnoringCase(keyName, fullSvcName)) return keyName;
    }
    return std::nullopt;
}

// A stored value in the other form: decoded when it was stored encoded, encoded when it was
// stored plain. Absent for an encoded value that is not hex of even length, which is left
// as it is.
std::optional<std::string> convertedArguments(const std::string& stored, bool toEncoded, const std::string& key) {
    if (toEncoded) return encodeHex(xorWithKey(key, stored));
    if (stored.size() % 2 != 0 || stored.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    return decodeArguments(stored, key);
}

// The start and stop arguments and Encoded. Every value ends in the form Encoded says:
// -encodeparams encodes the values given now and the earlier ones; argument options without it
// store their values plain with Encoded "off", and the earlier value of the other option plain
// too; an update with neither leaves Encoded and both values as they were. A new service always
// gets its Encoded.
class ArgumentsWriter {
public:
    ArgumentsWriter(const ServiceSettings& s, bool created)
        : start_{kStartupArguments, s.startArgs}, stop_{kStopArguments, s.stopArgs} {
        touched_ = created || s.encoded || givenNow(start_) || givenNow(stop_);
    }

    // Stores Encoded, first finding the form the values had. The key of the encoding is the
    // name the host receives: on an update, the registered one.
    void writeEncoded(Platform& os, const std::string& fullSvcName, bool created, bool encoded) {
        if (!touched_) return;
        encodingKey_ = fullSvcName;
        if (!created) {
            std::optional<std::string> registered = registeredServiceName(os, fullSvcName);
            traceMessage("InstallVornelAgentService - addService - registered name = %s", orNull(registered));
            if (registered) encodingKey_ = *registered;
        }
        before_ = storedArgumentsEncoded(os, encodingKey_);
        // Encoded that could not be stored keeps what it said.
        after_ = setEncoded(os, fullSvcName, encoded) ? std::optional<bool>(encoded) : before_;
    }

    // Stores the values given now in the form Encoded says, and the earlier ones converted to
    // it. An earlier value whose form is not known (Encoded could not be read) stays as it is.
    void writeValues(Platform& os, const std::string& key) {
        if (!touched_) return;
        const bool nowEncoded = after_ ? *after_ : paramsEncoded(os, encodingKey_) == 1;
        for (const Argument* a : {&start_, &stop_}) {
            if (givenNow(*a)) {
                if (nowEncoded) {
                    setEncodedValue(os, encodingKey_, key, a->valueName, *a->given);
                } else {
                    setRegistryValue(os, key, a->valueName, *a->given);
                }
                continue;
            }
            if (!before_ || !after_ || *before_ == *after_) continue;
            std::optional<std::string> earlier = getRegistryValue(os, key, a->valueName);
            if (!earlier) continue;
            if (std::optional<std::string> converted = convertedArguments(*earlier, *after_, encodingKey_)) {
                setRegistryValue(os, key, a->valueName, *converted);
            }
        }
    }

private:
    struct Argument {
        const char* valueName;
        const std::optional<std::string>& given;
    };
    static bool givenNow(const Argument& a) { return a.given && !a.given->empty(); }

    Argument start_;
    Argument stop_;
    bool touched_ = false;
    std::string encodingKey_;
    std::optional<bool> before_;  // the form of the earlier values, when known
    std::optional<bool> after_;   // the form Encoded says after this run, when known
};

void writeParameters(Platform& os, const std::string& fullSvcName, ArgumentsWriter& arguments,
                     const ServiceSettings& s) {
    const std::string key = parametersKeyPath(fullSvcName);
    traceMessage("InstallVornelAgentService - addService - key = %s", key.c_str());
    setRegistryValue(os, key, kAgentHome, s.agentHome);
    setRegistryValue(os, key, kAgentName, s.agentName);
    arguments.writeValues(os, key);
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

    bool created = false;
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
            created = true;
            writeOut("%s service successfully added.", config.displayName->c_str());
        }
    }  // the service handle, then the manager handle, are closed here

    setRegistryValue(os, rootKey, kDescription,
                     "Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  " + s.agentName);
    ArgumentsWriter arguments(s, created);
    arguments.writeEncoded(os, fullSvcName, created, s.encoded);
    writeParameters(os, fullSvcName, arguments, s);

    registerEventLog(os, fullSvcName, s.agentHome + "bin\\" + "VornelAgentServiceMsg.dll");
    return 0;
}

}  // namespace vornel
