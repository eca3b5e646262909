// Creating the service, or updating this installation's existing one, making the service
// manager's optional settings, and writing the service's settings.
#include <string>
#include <vector>

#include "common/directories.h"
#include "common/encoding.h"
#include "common/naming.h"
#include "common/registry.h"
#include "common/service_control.h"
#include "common/text.h"
#include "common/trace.h"
#include "install/install.h"

namespace vornel {
namespace {

// What the installation could not do. Every failed write and setting has its error line
// (the label, a colon and the system's text); the installation goes on with the next one,
// so that a run again with the same options makes whatever is missing, and ends with -1.
class Failures {
public:
    explicit Failures(Platform& os) : os_(os) {}

    void report(const std::string& label, ErrorCode rc) {
        printSystemError(os_, label.c_str(), rc);
        failed_ = true;
    }
    // A failure whose line has been written already.
    void add() { failed_ = true; }
    bool any() const { return failed_; }

    // One string value, with its error line when it cannot be written.
    bool write(const std::string& keyPath, const char* valueName, const std::string& text) {
        ErrorCode rc = 0;
        if (setRegistryValue(os_, keyPath, valueName, text, rc) == 1) return true;
        report(std::string("Could not write ") + valueName, rc);
        return false;
    }

private:
    Platform& os_;
    bool failed_ = false;
};

// A service that already exists is this installation's own only when it runs the command
// line this installation would give it (compared without regard to case in any language).
bool isOwnService(Platform& os, ErrorCode createError, const std::string& rootKey, const std::string& imagePath) {
    if (createError != win::kErrorServiceExists && createError != win::kErrorDuplicateServiceName) return false;
    std::optional<std::string> installed = getRegistryValue(os, rootKey, kImagePath);
    return installed && sameIgnoringCase(os, *installed, imagePath);
}

// Whether the service key holds a value that is not all zero bytes: how the service manager
// keeps a setting that is on (DelayedAutostart, FailureActionsOnNonCrashFailures) or a list
// that is there (FailureActions). When the key cannot be read, the setting counts as there.
bool serviceKeyHolds(Platform& os, const std::string& rootKey, const char* valueName) {
    RegKey key;
    if (os.regOpenKeyEx(rootKey, win::kKeyRead, key) != win::kErrorSuccess) return true;
    std::string data;
    const ErrorCode rc = os.regQueryValue(key, valueName, data);
    if (rc == win::kErrorFileNotFound) return false;
    return rc != win::kErrorSuccess || data.find_first_not_of('\0') != std::string::npos;
}

// Whether this run names a setting that only the new options make.
bool namesOptionalSettings(const ServiceSettings& s) {
    return s.dependencies || s.recovery || s.shutdownTimeoutSeconds || s.delayedStart;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : "/") + name;
    return text.empty() ? "none" : text;
}

// The start type's delay: on for -starttype delayed; off for -starttype automatic when an
// update finds it on. A new service starts without it.
void makeDelayedStart(Platform& os, const ScHandle& service, const std::string& rootKey, bool created,
                      const ServiceSettings& s, Failures& failures) {
    if (!s.startTypeGiven || s.startType != win::kServiceAutoStart) return;
    if (!s.delayedStart && (created || !serviceKeyHolds(os, rootKey, "DelayedAutostart"))) return;
    traceMessage("InstallVornelAgentService - addService - delayed automatic start = %s", s.delayedStart ? "on" : "off");
    if (ErrorCode rc = os.setDelayedAutoStart(service, s.delayedStart)) {
        failures.report("Could not set the delayed automatic start", rc);
    }
}

// -recovery on: the restarts and the flag that lets them follow a stop with an error code.
// -recovery off: neither; an update removes those it finds, a new service has none.
void makeRecovery(Platform& os, const ScHandle& service, const std::string& rootKey, bool created,
                  const ServiceSettings& s, Failures& failures) {
    if (!s.recovery) return;
    const bool on = *s.recovery;
    if (on || (!created && serviceKeyHolds(os, rootKey, "FailureActions"))) {
        traceMessage("InstallVornelAgentService - addService - recovery actions = %s",
                     on ? "restart after 60 s, 60 s, 300 s; failures counted again after 86400 s" : "none");
        if (ErrorCode rc = os.setFailureActions(service, on ? recoveryActions() : FailureActions{})) {
            failures.report("Could not set the recovery actions", rc);
        }
    }
    if (on || (!created && serviceKeyHolds(os, rootKey, "FailureActionsOnNonCrashFailures"))) {
        traceMessage("InstallVornelAgentService - addService - recovery on a stop with an error code = %s",
                     on ? "on" : "off");
        if (ErrorCode rc = os.setFailureActionsFlag(service, on)) {
            failures.report("Could not set the recovery on a stop with an error code", rc);
        }
    }
}

// The service manager's settings that this run's new options name, on an open service.
void makeOptionalSettings(Platform& os, const ScHandle& service, const std::string& rootKey, bool created,
                          const ServiceSettings& s, Failures& failures) {
    if (s.dependencies) {
        traceMessage("InstallVornelAgentService - addService - dependencies = %s", joined(*s.dependencies).c_str());
        if (ErrorCode rc = os.changeServiceDependencies(service, *s.dependencies)) {
            failures.report("Could not set the dependencies", rc);
        }
    }
    makeDelayedStart(os, service, rootKey, created, s, failures);
    makeRecovery(os, service, rootKey, created, s, failures);
    if (s.shutdownTimeoutSeconds) {
        const uint32_t milliseconds = *s.shutdownTimeoutSeconds * 1000;
        traceMessage("InstallVornelAgentService - addService - preshutdown timeout = %u ms",
                     static_cast<unsigned>(milliseconds));
        if (ErrorCode rc = os.setPreshutdownTimeout(service, milliseconds)) {
            failures.report("Could not set the preshutdown time-out", rc);
        }
    }
}

// An existing service: the start type, the account and the password when any is given (a
// refusal is reported but, as it always was, fails nothing), and the optional settings. Its
// type, error control, command line and display name stay as they are.
void updateService(Platform& os, const ScHandle& manager, const std::string& fullSvcName, const std::string& rootKey,
                   const ServiceSettings& s, Failures& failures) {
    const bool configGiven = s.startTypeGiven || s.accountName || s.password;
    if (!configGiven && !namesOptionalSettings(s)) return;
    // A restart action needs the right to start the service.
    const uint32_t access = win::kServiceChangeConfig | (s.recovery && *s.recovery ? win::kServiceStart : 0);
    ScHandle service;
    if (ErrorCode rc = os.openService(manager, fullSvcName, access, service)) {
        printSystemError(os, "Failed to open service", rc);
        if (namesOptionalSettings(s)) failures.add();
        return;
    }
    if (configGiven) {
        uint32_t startType = s.startTypeGiven ? s.startType : win::kServiceNoChange;
        if (ErrorCode rc = os.changeServiceConfig(service, startType, s.accountName, s.password)) {
            printSystemError(os, "Failed to update service", rc);
        }
    }
    makeOptionalSettings(os, service, rootKey, false, s, failures);
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
// gets its Encoded. The key of the encoding is the name the host receives: the registered one.
class ArgumentsWriter {
public:
    ArgumentsWriter(const ServiceSettings& s, bool created, std::string encodingKey)
        : start_{kStartupArguments, s.startArgs}, stop_{kStopArguments, s.stopArgs},
          encodingKey_(std::move(encodingKey)) {
        touched_ = created || s.encoded || givenNow(start_) || givenNow(stop_);
    }

    // Stores Encoded, first finding the form the values had.
    void writeEncoded(Platform& os, bool encoded, Failures& failures) {
        if (!touched_) return;
        before_ = storedArgumentsEncoded(os, encodingKey_);
        const std::string path = encodedFlagKeyPath(encodingKey_).value_or(parametersKeyPath(encodingKey_));
        // Encoded that could not be stored keeps what it said.
        after_ = failures.write(path, kEncoded, encoded ? "on" : "off") ? std::optional<bool>(encoded) : before_;
    }

    // Stores the values given now in the form Encoded says, and the earlier ones converted to
    // it. An earlier value whose form is not known (Encoded could not be read) stays as it is.
    void writeValues(Platform& os, const std::string& key, Failures& failures) {
        if (!touched_) return;
        const bool nowEncoded = after_ ? *after_ : paramsEncoded(os, encodingKey_) == 1;
        for (const Argument* a : {&start_, &stop_}) {
            if (givenNow(*a)) {
                const std::optional<std::string> stored =
                    nowEncoded ? encodeHex(xorWithKey(encodingKey_, *a->given)) : a->given;
                failures.write(key, a->valueName, stored.value_or(std::string()));
                continue;
            }
            if (!before_ || !after_ || *before_ == *after_) continue;
            std::optional<std::string> earlier = getRegistryValue(os, key, a->valueName);
            if (!earlier) continue;
            if (std::optional<std::string> converted = convertedArguments(*earlier, *after_, encodingKey_)) {
                failures.write(key, a->valueName, *converted);
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
    std::string encodingKey_;
    bool touched_ = false;
    std::optional<bool> before_;  // the form of the earlier values, when known
    std::optional<bool> after_;   // the form Encoded says after this run, when known
};

void writeParameters(Platform& os, const std::string& fullSvcName, ArgumentsWriter& arguments,
                     const ServiceSettings& s, Failures& failures) {
    const std::string key = parametersKeyPath(fullSvcName);
    traceMessage("InstallVornelAgentService - addService - key = %s", key.c_str());
    failures.write(key, kAgentHome, s.agentHome);
    failures.write(key, kAgentName, s.agentName);
    arguments.writeValues(os, key, failures);
    failures.write(key, kAgentPidFile, s.pidFile);
    traceMessage("InstallVornelAgentService - addService - pid file = %s", s.pidFile.c_str());
    if (!s.logRoot.empty()) {
        failures.write(key, kAgentLogRoot, s.logRoot);
        traceMessage("InstallVornelAgentService - addService - log root = %s", s.logRoot.c_str());
    }
    if (!s.serviceTrace.empty()) {
        failures.write(key, kDebugTrace, s.serviceTrace);
        traceMessage("InstallVornelAgentService - addService - service trace = %s", s.serviceTrace.c_str());
    }
    if (!s.stdoutTraceFile.empty()) {
        failures.write(key, kStdOutTraceFile, s.stdoutTraceFile);
        traceMessage("InstallVornelAgentService - addService - stdout trace file = %s", s.stdoutTraceFile.c_str());
    }
    if (!s.stderrTraceFile.empty()) {
        failures.write(key, kStdErrTraceFile, s.stderrTraceFile);
        traceMessage("InstallVornelAgentService - addService - stderr trace file = %s", s.stderrTraceFile.c_str());
    }
    failures.write(key, kRestart, s.restart ? "true" : "false");
}

// One warning line for each program of the agent installation that the service needs and
// the home's bin directory lacks; the installation goes on.
void warnAboutMissingPrograms(Platform& os, const std::string& agentHome) {
    for (const char* program : {"VornelAgentService.exe", "startAgent.bat"}) {
        const std::string path = agentHome + "bin\\" + program;
        uint32_t attributes = 0;
        const ErrorCode rc = os.fileAttributes(path, attributes);
        traceMessage("InstallVornelAgentService - addService - %s: %d", path.c_str(), static_cast<int>(rc));
        // Denied access says nothing about whether the file is there.
        if (rc != win::kErrorSuccess && rc != win::kErrorAccessDenied) {
            writeErr("Warning: %s does not exist; the service cannot start until it does.\n", path.c_str());
        }
    }
}

// The folder of the host's trace files and the agent's pid file.
void createLogRoot(Platform& os, const std::string& logRoot, Failures& failures) {
    const ErrorCode rc = createDirectoryTree(os, logRoot);
    traceMessage("InstallVornelAgentService - addService - log root directory = %s (%d)", logRoot.c_str(),
                 static_cast<int>(rc));
    if (rc != win::kErrorSuccess) failures.report("Could not create " + logRoot, rc);
}

}  // namespace

std::string imagePathOf(const std::string& agentHome, const std::string& fullServiceName) {
    return "\"" + agentHome + "bin\\VornelAgentService.exe\" \"" + fullServiceName + "\"";
}

int addService(Platform& os, const ServiceSettings& s) {
    traceMessage("InstallVornelAgentService - addService - serviceName = %s", s.serviceName.c_str());
    traceMessage("InstallVornelAgentService - addService - agentName = %s", s.agentName.c_str());
    traceMessage("InstallVornelAgentService - addService - agentHome = %s", s.agentHome.c_str());

    // An existing service keeps the name it was registered with, whatever letter case this run
    // gives: the service manager, the registry and the host know it by that name.
    std::string fullSvcName = getFullServiceName(s.serviceName);
    const std::optional<std::string> registered = registeredServiceName(os, fullSvcName);
    traceMessage("InstallVornelAgentService - addService - registered name = %s", orNull(registered));
    if (registered) fullSvcName = *registered;
    const std::string imagePath = imagePathOf(s.agentHome, fullSvcName);
    const std::string rootKey = serviceKeyPath(fullSvcName);
    traceMessage("InstallVornelAgentService - addService - fullSvcName = %s", fullSvcName.c_str());
    traceMessage("InstallVornelAgentService - addService - imagePath = %s", imagePath.c_str());
    traceMessage("InstallVornelAgentService - addService - rootKey = %s", rootKey.c_str());

    Failures failures(os);
    bool created = false;
    const std::string displayName = getDisplayName(s.serviceName, s.useProductText);
    {
        // A manager that cannot be opened shows as the failure of the create call.
        ScHandle manager;
        openServiceManager(os, manager);

        ServiceConfig config;
        config.name = fullSvcName;
        config.displayName = displayName;
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
            updateService(os, manager, fullSvcName, rootKey, s, failures);
        } else {
            created = true;
            makeOptionalSettings(os, service, rootKey, true, s, failures);
        }
    }  // the service handle, then the manager handle, are closed here

    warnAboutMissingPrograms(os, s.agentHome);
    failures.write(rootKey, kDescription, "Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  " + s.agentName);
    ArgumentsWriter arguments(s, created, fullSvcName);
    arguments.writeEncoded(os, s.encoded, failures);
    writeParameters(os, fullSvcName, arguments, s, failures);
    createLogRoot(os, s.logRoot, failures);
    if (!registerEventLog(os, fullSvcName, s.agentHome + "bin\\" + "VornelAgentServiceMsg.dll")) failures.add();

    // Success is told only once everything it stands for is in place.
    if (failures.any()) return -1;
    if (created) writeOut("%s service successfully added.", displayName.c_str());
    return 0;
}

}  // namespace vornel
