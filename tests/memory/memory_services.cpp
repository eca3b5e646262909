// The service control manager as its clients see it: the service database, its entries'
// configuration and status, and the controls clients send.
#include "tests/memory/memory_internal.h"

namespace vornel {

using namespace memory;

namespace {

// A list of texts as REG_MULTI_SZ holds it: each with its terminator, then one more.
std::string multiStringData(const std::vector<std::string>& texts) {
    std::string data;
    for (const std::string& text : texts) data += stringData(text);
    return data + '\0';
}

// SERVICE_FAILURE_ACTIONS as the service key's FailureActions holds it: the reset period, the
// reboot message and the command (none), the count, the offset of the actions (20), and each
// action's type and delay.
std::string failureActionsData(const FailureActions& actions) {
    std::string data = dwordData(actions.resetPeriodSeconds) + dwordData(0) + dwordData(0) +
                       dwordData(static_cast<uint32_t>(actions.actions.size())) + dwordData(20);
    for (const FailureAction& action : actions.actions) data += dwordData(action.type) + dwordData(action.delayMs);
    return data;
}

// The values of the settings that the service manager keeps in the service key, as Windows
// names them: present once set, gone once removed.
using Values = std::map<std::string, std::pair<std::string, MemoryPlatform::RegValue>>;

void writeOptionalSettings(Values& values, const MemoryPlatform::ServiceRecord& record) {
    auto put = [&](const char* name, std::optional<MemoryPlatform::RegValue> v) {
        if (v) {
            values[lower(name)] = {name, *v};
        } else {
            values.erase(lower(name));
        }
    };
    std::vector<std::string> services, groups;
    for (const std::string& name : record.dependencies) {
        if (!name.empty() && name[0] == win::kScGroupIdentifier) {
            groups.push_back(name.substr(1));
        } else {
            services.push_back(name);
        }
    }
    using Value = std::optional<MemoryPlatform::RegValue>;
    put("DependOnService", services.empty() ? Value() : Value({REG_MULTI_SZ, multiStringData(services)}));
    put("DependOnGroup", groups.empty() ? Value() : Value({REG_MULTI_SZ, multiStringData(groups)}));
    auto dword = [](const auto& setting) {
        return setting ? Value({REG_DWORD, dwordData(static_cast<uint32_t>(*setting))}) : Value();
    };
    put("DelayedAutostart", dword(record.delayedAutoStart));
    put("FailureActionsOnNonCrashFailures", dword(record.failureActionsOnNonCrashFailures));
    put("PreshutdownTimeout", dword(record.preshutdownTimeoutMs));
    put("FailureActions",
        record.failureActions ? Value({REG_BINARY, failureActionsData(*record.failureActions)}) : Value());
}

// The service manager counts a name's length in UTF-16 units.
bool serviceNameTooLong(const std::string& name) {
    std::u16string units;
    return (toUtf16(name, units) ? units.size() : name.size()) > kMaxServiceNameLength;
}

}  // namespace

void MemoryPlatform::writeServiceKeyLocked(const ServiceRecord& record) {
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = createKeyLocked(std::string(kServicesKey) + "\\" + record.config.name, rc);
    if (!node) return;
    auto set = [&](const char* name, const RegValue& v) { node->values[lower(name)] = {name, v}; };
    set("Type", RegValue{REG_DWORD, dwordData(record.config.serviceType)});
    set("Start", RegValue{REG_DWORD, dwordData(record.config.startType)});
    set("ErrorControl", RegValue{REG_DWORD, dwordData(record.config.errorControl)});
    set("ImagePath", RegValue{REG_EXPAND_SZ, stringData(record.config.binaryPathName)});
    if (record.config.displayName) set("DisplayName", RegValue{REG_SZ, stringData(*record.config.displayName)});
    set("ObjectName", RegValue{REG_SZ, stringData(record.config.account.value_or("LocalSystem"))});
    writeOptionalSettings(node->values, record);
}

ErrorCode MemoryPlatform::createServiceLocked(const ServiceConfig& config) {
    const std::string& name = config.name;
    if (name.empty() || serviceNameTooLong(name) || name.find_first_of("/\\") != std::string::npos) {
        return win::kErrorInvalidName;
    }
    if (services_.count(lower(name)) != 0) return win::kErrorServiceExists;
    for (const auto& entry : services_) {
        const ServiceConfig& other = entry.second.config;
        bool clash = (other.displayName && equalsIgnoringCase(*other.displayName, name)) ||
                     (config.displayName && (equalsIgnoringCase(other.name, *config.displayName) ||
                                             (other.displayName &&
                                              equalsIgnoringCase(*other.displayName, *config.displayName))));
        if (clash) return win::kErrorDuplicateServiceName;
    }
    ServiceRecord record;
    record.config = config;
    record.status.dwServiceType = config.serviceType;
    record.status.dwCurrentState = win::kServiceStopped;
    record.status.dwWin32ExitCode = ERROR_SERVICE_NEVER_STARTED;
    writeServiceKeyLocked(record);
    services_[lower(name)] = std::move(record);
    return win::kErrorSuccess;
}

MemoryPlatform::ServiceRecord* MemoryPlatform::serviceOf(const ScHandle& handle, uint32_t* access) {
    auto it = handles_.find(handle.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Service) return nullptr;
    auto service = services_.find(it->second->service);
    if (service == services_.end()) return nullptr;
    if (access != nullptr) *access = it->second->access;
    return &service->second;
}

void MemoryPlatform::removeServiceIfDueLocked(const std::string& key) {
    auto it = services_.find(key);
    if (it == services_.end() || !it->second.deletePending) return;
    if (it->second.status.dwCurrentState != win::kServiceStopped) return;
    for (const auto& handle : handles_) {
        if (handle.second->type == Handle::Type::Service && handle.second->service == key) return;
    }
    std::string name = it->second.config.name;
    services_.erase(it);
    ErrorCode rc = 0;
    std::shared_ptr<Node> servicesKey = findKey(kServicesKey, rc);
    if (servicesKey) deleteChildLocked(servicesKey, name);
}

ErrorCode MemoryPlatform::openSCManager(uint32_t access, ScHandle& manager) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OpenSCManager, "", lock)) return rc;
    Handle handle;
    handle.type = Handle::Type::Manager;
    handle.access = access;
    return give(manager, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::openService(const ScHandle& manager, const std::string& name, uint32_t access,
                                      ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OpenService, name, lock)) return rc;
    auto it = handles_.find(manager.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Manager) return win::kErrorInvalidHandle;
    if (name.empty() || serviceNameTooLong(name)) return win::kErrorInvalidName;
    if (services_.count(lower(name)) == 0) return win::kErrorServiceDoesNotExist;
    Handle handle;
    handle.type = Handle::Type::Service;
    handle.access = access;
    handle.service = lower(name);
    return give(service, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::createService(const ScHandle& manager, const ServiceConfig& config, ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateService, config.name, lock)) return rc;
    auto it = handles_.find(manager.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Manager) return win::kErrorInvalidHandle;
    if ((it->second->access & SC_MANAGER_CREATE_SERVICE) == 0) return win::kErrorAccessDenied;
    if (ErrorCode rc = createServiceLocked(config)) return rc;
    Handle handle;
    handle.type = Handle::Type::Service;
    handle.access = config.desiredAccess;
    handle.service = lower(config.name);
    return give(service, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::changeServiceConfig(const ScHandle& service, uint32_t startType,
                                              const std::optional<std::string>& account,
                                              const std::optional<std::string>& password) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ChangeServiceConfig, "", lock)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & win::kServiceChangeConfig) == 0) return win::kErrorAccessDenied;
    if (record->deletePending) return win::kErrorServiceMarkedForDelete;
    if (startType != win::kServiceNoChange) {
        if (startType > win::kServiceDisabled) return win::kErrorInvalidParameter;
        record->config.startType = startType;
    }
    if (account) record->config.account = account;
    if (password) record->config.password = password;
    writeServiceKeyLocked(*record);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::changeableServiceLocked(const ScHandle& service, uint32_t rights, ServiceRecord*& record) {
    uint32_t access = 0;
    record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & rights) != rights) return win::kErrorAccessDenied;
    if (record->deletePending) return win::kErrorServiceMarkedForDelete;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::changeServiceDependencies(const ScHandle& service,
                                                    const std::vector<std::string>& dependencies) {
    Lock lock(mutex_);
    std::string list;
    for (const std::string& name : dependencies) list += (list.empty() ? "" : "/") + name;
    if (ErrorCode rc = enter(Op::ChangeServiceDependencies, list, lock)) return rc;
    ServiceRecord* record = nullptr;
    if (ErrorCode rc = changeableServiceLocked(service, win::kServiceChangeConfig, record)) return rc;
    for (const std::string& name : dependencies) {
        if (equalsIgnoringCase(name, record->config.name)) return win::kErrorCircularDependency;
    }
    record->dependencies = dependencies;
    writeServiceKeyLocked(*record);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::setDelayedAutoStart(const ScHandle& service, bool delayed) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::SetDelayedAutoStart, delayed ? "on" : "off", lock)) return rc;
    ServiceRecord* record = nullptr;
    if (ErrorCode rc = changeableServiceLocked(service, win::kServiceChangeConfig, record)) return rc;
    record->delayedAutoStart = delayed;
    writeServiceKeyLocked(*record);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::setFailureActions(const ScHandle& service, const FailureActions& actions) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::SetFailureActions, std::to_string(actions.actions.size()), lock)) return rc;
    bool restarts = false;
    for (const FailureAction& action : actions.actions) restarts = restarts || action.type == win::kScActionRestart;
    ServiceRecord* record = nullptr;
    const uint32_t rights = win::kServiceChangeConfig | (restarts ? win::kServiceStart : 0);
    if (ErrorCode rc = changeableServiceLocked(service, rights, record)) return rc;
    // No actions deletes the actions and the reset period.
    record->failureActions = actions.actions.empty() ? std::nullopt : std::optional<FailureActions>(actions);
    writeServiceKeyLocked(*record);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::setFailureActionsFlag(const ScHandle& service, bool onNonCrashFailures) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::SetFailureActionsFlag, onNonCrashFailures ? "on" : "off", lock)) return rc;
    ServiceRecord* record = nullptr;
    if (ErrorCode rc = changeableServiceLocked(service, win::kServiceChangeConfig, record)) return rc;
    record->failureActionsOnNonCrashFailures = onNonCrashFailures;
    writeServiceKeyLocked(*record);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::setPreshutdownTimeout(const ScHandle& service, uint32_t milliseconds) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::SetPreshutdownTimeout, std::to_string(milliseconds), lock)) return rc;
    ServiceRecord* record = nullptr;
    if (ErrorCode rc = changeableServiceLocked(service, win::kServiceChangeConfig, record)) return rc;
    record->preshutdownTimeoutMs = milliseconds;
    writeServiceKeyLocked(*record);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::startService(const ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::StartService, "", lock)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & win::kServiceStart) == 0) return win::kErrorAccessDenied;
    if (record->deletePending) return win::kErrorServiceMarkedForDelete;
    if (record->config.startType == win::kServiceDisabled) return win::kErrorServiceDisabled;
    if (record->status.dwCurrentState != win::kServiceStopped) return win::kErrorServiceAlreadyRunning;
    ++record->startRequests;
    if (startHandler_) {
        auto handler = startHandler_;
        std::string name = record->config.name;
        lock.unlock();
        return handler(name);
    }
    record->status.dwCurrentState = win::kServiceRunning;
    record->status.dwControlsAccepted = win::kServiceAcceptStop;
    record->status.dwWin32ExitCode = 0;
    record->status.dwServiceSpecificExitCode = 0;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::controlService(const ScHandle& service, uint32_t control, ServiceStatus& status) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ControlService, std::to_string(control), lock)) return rc;
    ControlAnswer answer{control, 0, nowMs_, 0, threadNameLocked()};
    answer.result = deliverControlLocked(service, control, status, lock);
    answer.answeredAtMs = nowMs_;
    answers_.push_back(answer);
    return answer.result;
}

std::vector<MemoryPlatform::ControlAnswer> MemoryPlatform::controlAnswers() const {
    Lock lock(mutex_);
    return answers_;
}

ErrorCode MemoryPlatform::deliverControlLocked(const ScHandle& service, uint32_t control, ServiceStatus& status,
                                               Lock& lock) {
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    const bool pauseOrContinue = control == win::kServiceControlPause || control == win::kServiceControlContinue;
    uint32_t needed = control == win::kServiceControlStop          ? win::kServiceStop
                      : control == win::kServiceControlInterrogate ? win::kServiceInterrogate
                      : pauseOrContinue                             ? win::kServicePauseContinue
                      : control >= 128                              ? win::kServiceUserDefinedControl
                                                                    : 0;
    if ((access & needed) != needed) return win::kErrorAccessDenied;
    record->controls.push_back(control);
    uint32_t state = record->status.dwCurrentState;
    if (state == win::kServiceStopped) {
        status = record->status;
        return win::kErrorServiceNotActive;
    }
    // As Windows' manager: no control reaches a service that is starting or stopping, and a
    // stop, pause or continue only one that says it accepts it.
    if (state == win::kServiceStartPending || state == win::kServiceStopPending) {
        status = record->status;
        return win::kErrorServiceCannotAcceptCtrl;
    }
    const uint32_t accepted = record->status.dwControlsAccepted;
    if ((control == win::kServiceControlStop && (accepted & win::kServiceAcceptStop) == 0) ||
        (pauseOrContinue && (accepted & win::kServiceAcceptPauseContinue) == 0)) {
        status = record->status;
        return win::kErrorInvalidServiceControl;
    }
    std::string key = lower(record->config.name);
    if (dispatcherRunning_ && !processEnded_ && lower(dispatcherService_) == key) {
        // Delivered to the control thread in turn; the answer comes when the handler returns,
        // as under Wine, and after ten seconds the sender gives up.
        controlQueue_.push_back(control);
        const uint64_t ticket = ++controlsQueued_;
        changed_.notify_all();
        if (!turn_) scheduleLocked(lock);
        const bool answered = waitLocked(lock, [&] { return controlsDelivered_ >= ticket || processEnded_; },
                                         nowMs_ + kControlAnswerMs);
        auto it = services_.find(key);
        if (it != services_.end()) status = it->second.status;
        if (!answered) return win::kErrorServiceRequestTimeout;
        if (controlsDelivered_ < ticket) return win::kErrorBrokenPipe;  // the process ended first
        if (lostReplies_.count(ticket) != 0) return win::kErrorNoData;
        // The status as it was when the handler returned. As under Wine, the sender hears of
        // success whatever the handler answered.
        auto answer = answeredStatus_.find(ticket);
        if (answer != answeredStatus_.end()) status = answer->second;
        return win::kErrorSuccess;
    }
    if (control == win::kServiceControlStop && stopHandler_) {
        auto handler = stopHandler_;
        const std::string name = record->config.name;
        lock.unlock();
        const ErrorCode rc = handler(name);
        lock.lock();
        auto it = services_.find(key);
        status = it != services_.end() ? it->second.status : ServiceStatus{};
        return rc;
    }
    if (control == win::kServiceControlStop) {
        record->status.dwCurrentState = win::kServiceStopped;
        record->status.dwWin32ExitCode = 0;
        record->status.dwServiceSpecificExitCode = 0;
        removeServiceIfDueLocked(key);
        auto it = services_.find(key);
        status = it != services_.end() ? it->second.status : ServiceStatus{};
        return win::kErrorSuccess;
    }
    status = record->status;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::queryServiceStatus(const ScHandle& service, ServiceStatus& status) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::QueryServiceStatus, "", lock)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & win::kServiceQueryStatus) == 0) return win::kErrorAccessDenied;
    status = record->status;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::queryServiceStatusEx(const ScHandle& service, ServiceStatus& status, uint32_t& processId) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::QueryServiceStatusEx, "", lock)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & win::kServiceQueryStatus) == 0) return win::kErrorAccessDenied;
    status = record->status;
    processId = record->status.dwCurrentState == win::kServiceStopped ? 0 : record->processId;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::queryServiceConfig(const ScHandle& service, ServiceConfig& config) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::QueryServiceConfig, "", lock)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & win::kServiceQueryConfig) == 0) return win::kErrorAccessDenied;
    const ServiceConfig& stored = record->config;
    config.serviceType = stored.serviceType;
    config.startType = stored.startType;
    config.errorControl = stored.errorControl;
    config.binaryPathName = stored.binaryPathName;
    // As Windows names the account of a service created without one.
    config.account = stored.account.value_or("LocalSystem");
    config.displayName = stored.displayName.value_or(stored.name);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::deleteService(const ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::DeleteService, "", lock)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & win::kDelete) == 0) return win::kErrorAccessDenied;
    if (record->deletePending) return win::kErrorServiceMarkedForDelete;
    record->deletePending = true;
    return win::kErrorSuccess;
}

void MemoryPlatform::addService(const ServiceConfig& config) {
    Lock lock(mutex_);
    createServiceLocked(config);
}

std::optional<MemoryPlatform::ServiceRecord> MemoryPlatform::service(const std::string& name) const {
    Lock lock(mutex_);
    auto it = services_.find(lower(name));
    if (it == services_.end()) return std::nullopt;
    return it->second;
}

void MemoryPlatform::setServiceState(const std::string& name, uint32_t state) {
    Lock lock(mutex_);
    auto it = services_.find(lower(name));
    if (it == services_.end()) return;
    it->second.status.dwCurrentState = state;
    it->second.status.dwControlsAccepted = state == win::kServiceRunning ? win::kServiceAcceptStop : 0;
    removeServiceIfDueLocked(lower(name));
}

void MemoryPlatform::setStopHandler(std::function<ErrorCode(const std::string&)> handler) {
    Lock lock(mutex_);
    stopHandler_ = std::move(handler);
}

void MemoryPlatform::setServiceExitCodes(const std::string& name, uint32_t win32ExitCode,
                                         uint32_t serviceSpecificExitCode) {
    Lock lock(mutex_);
    auto it = services_.find(lower(name));
    if (it == services_.end()) return;
    it->second.status.dwWin32ExitCode = win32ExitCode;
    it->second.status.dwServiceSpecificExitCode = serviceSpecificExitCode;
}

void MemoryPlatform::setServiceProcessId(const std::string& name, uint32_t pid) {
    Lock lock(mutex_);
    auto it = services_.find(lower(name));
    if (it != services_.end()) it->second.processId = pid;
}

void MemoryPlatform::setStartHandler(std::function<ErrorCode(const std::string&)> handler) {
    Lock lock(mutex_);
    startHandler_ = std::move(handler);
}

}  // namespace vornel
