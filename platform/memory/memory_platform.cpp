#include "platform/memory/memory_platform.h"

#include <algorithm>
#include <cstring>

namespace vornel {
namespace {

constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t KEY_SET_VALUE = 0x0002;
constexpr uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr uint32_t STILL_ACTIVE = 259;
constexpr uint32_t ERROR_SERVICE_NEVER_STARTED = 1077;
constexpr size_t kMaxServiceNameLength = 256;
constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";

// An unbounded wait that lasts this long in real time is a hang in the test.
constexpr auto kHangLimit = std::chrono::seconds(20);

std::string lower(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

ErrorCode splitPath(const std::string& path, std::vector<std::string>& parts) {
    if (!path.empty() && path[0] == '\\') return win::kErrorBadPathname;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty()) return win::kErrorBadPathname;
        parts.push_back(part);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return win::kErrorSuccess;
}

std::string stringData(const std::string& text) { return std::string(text.c_str(), text.size() + 1); }

std::string dwordData(uint32_t value) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return data;
}

// The texts of the errors the programs meet, in the wording of Windows.
const std::map<ErrorCode, std::string>& systemTexts() {
    static const std::map<ErrorCode, std::string> texts = {
        {2, "The system cannot find the file specified.\r\n"},
        {3, "The system cannot find the path specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
        {161, "The specified path is invalid.\r\n"},
        {232, "The pipe is being closed.\r\n"},
        {234, "More data is available.\r\n"},
        {259, "No more data is available.\r\n"},
        {267, "The directory name is invalid.\r\n"},
        {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
        {1052, "The requested control is not valid for this service.\r\n"},
        {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
        {1056, "An instance of the service is already running.\r\n"},
        {1058, "The service cannot be started, either because it is disabled or because it has no "
               "enabled devices associated with it.\r\n"},
        {1060, "The specified service does not exist as an installed service.\r\n"},
        {1061, "The service cannot accept control messages at this time.\r\n"},
        {1062, "The service has not been started.\r\n"},
        {1063, "The service process could not connect to the service controller.\r\n"},
        {1066, "The service has returned a service-specific error code.\r\n"},
        {1072, "The specified service has been marked for deletion.\r\n"},
        {1073, "The specified service already exists.\r\n"},
        {1077, "No attempts to start the service have been made since the last boot.\r\n"},
        {1078, "The name is already in use as either a service name or a service display name.\r\n"},
    };
    return texts;
}

}  // namespace

struct MemoryPlatform::Node {
    std::string name;
    std::map<std::string, std::shared_ptr<Node>> children;            // keyed by lower-case name
    std::map<std::string, std::pair<std::string, RegValue>> values;    // lower-case name -> (name, value)
    bool deleted = false;
};

struct MemoryPlatform::Handle {
    enum class Type { Key, Manager, Service, Process, Thread } type = Type::Key;
    std::shared_ptr<Node> key;
    uint32_t access = 0;
    std::string service;  // lower-case service name
    uint32_t pid = 0;
};

struct MemoryPlatform::Process {
    uint32_t pid = 0;
    bool ended = false;
    uint32_t exitCode = 0;
    std::optional<uint64_t> endAt;
    uint32_t plannedExitCode = 0;
    std::function<void()> onExit;
};

struct MemoryPlatform::AppendCookie {
    MemoryPlatform* platform;
    std::string key;
};

const char* MemoryPlatform::opName(Op op) {
    static const char* const names[] = {
        "RegOpenKeyEx", "RegOpenKey", "RegCreateKeyEx", "RegCreateKey", "RegQueryValue", "RegSetValue",
        "RegDeleteKey", "RegQueryInfoKey", "RegEnumKey",
        "OpenSCManager", "OpenService", "CreateService", "ChangeServiceConfig", "StartService", "ControlService",
        "QueryServiceStatus", "DeleteService",
        "RunServiceDispatcher", "RegisterServiceCtrlHandler", "SetServiceStatus",
        "RegisterEventSource", "ReportEvent",
        "CreateProcess", "WaitForProcess", "OpenProcess", "GetExitCodeProcess", "Sleep", "OsMajorVersion",
        "SystemErrorText", "ReadTextFile", "OpenAppendStream", "CloseHandle"};
    static_assert(sizeof names / sizeof names[0] == static_cast<size_t>(Op::Count), "one name per operation");
    return names[static_cast<size_t>(op)];
}

MemoryPlatform::MemoryPlatform() : callsPerOp_(static_cast<size_t>(Op::Count), 0), root_(std::make_shared<Node>()) {
    createKey("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application");
}

MemoryPlatform::~MemoryPlatform() {
    shutdown();
}

// --- Calls and faults ---

ErrorCode MemoryPlatform::enter(Op op) {
    ++calls_;
    ++callsPerOp_[static_cast<size_t>(op)];
    callLog_.push_back(op);
    if (failAt_ != 0 && calls_ == failAt_) {
        failAt_ = 0;
        return failAtCode_;
    }
    auto it = failNext_.find(op);
    if (it != failNext_.end()) {
        ErrorCode code = it->second.first;
        if (--it->second.second == 0) failNext_.erase(it);
        return code;
    }
    return win::kErrorSuccess;
}

void MemoryPlatform::failNext(Op op, ErrorCode code, unsigned times) {
    Lock lock(mutex_);
    if (times == 0) {
        failNext_.erase(op);
    } else {
        failNext_[op] = {code, times};
    }
}

void MemoryPlatform::failCall(uint64_t n, ErrorCode code) {
    Lock lock(mutex_);
    failAt_ = n;
    failAtCode_ = code;
}

void MemoryPlatform::resetCalls() {
    Lock lock(mutex_);
    calls_ = 0;
    std::fill(callsPerOp_.begin(), callsPerOp_.end(), 0);
    callLog_.clear();
    failNext_.clear();
    failAt_ = 0;
}

uint64_t MemoryPlatform::callCount() const {
    Lock lock(mutex_);
    return calls_;
}

uint64_t MemoryPlatform::callCount(Op op) const {
    Lock lock(mutex_);
    return callsPerOp_[static_cast<size_t>(op)];
}

std::vector<MemoryPlatform::Op> MemoryPlatform::callLog() const {
    Lock lock(mutex_);
    return callLog_;
}

// --- Registry ---

std::shared_ptr<MemoryPlatform::Node> MemoryPlatform::findKey(const std::string& path, ErrorCode& rc) const {
    std::vector<std::string> parts;
    rc = splitPath(path, parts);
    if (rc != 0) return nullptr;
    std::shared_ptr<Node> node = root_;
    for (const std::string& part : parts) {
        auto it = node->children.find(lower(part));
        if (it == node->children.end()) {
            rc = win::kErrorFileNotFound;
            return nullptr;
        }
        node = it->second;
    }
    return node;
}

std::shared_ptr<MemoryPlatform::Node> MemoryPlatform::createKeyLocked(const std::string& path, ErrorCode& rc) {
    std::vector<std::string> parts;
    rc = splitPath(path, parts);
    if (rc != 0) return nullptr;
    std::shared_ptr<Node> node = root_;
    for (const std::string& part : parts) {
        std::shared_ptr<Node>& child = node->children[lower(part)];
        if (!child) {
            child = std::make_shared<Node>();
            child->name = part;
        }
        node = child;
    }
    return node;
}

template <class Owned>
ErrorCode MemoryPlatform::give(Owned& out, uintptr_t value, Lock& lock) {
    // Assigned without the lock: replacing a handle the caller still held closes it.
    lock.unlock();
    out = Owned(this, value);
    return win::kErrorSuccess;
}

uintptr_t MemoryPlatform::newHandle(Handle handle) {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = std::make_shared<Handle>(std::move(handle));
    return value;
}

ErrorCode MemoryPlatform::openKeyLocked(const std::string& path, uint32_t access, bool create, RegKey& key,
                                        Lock& lock) {
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = create ? createKeyLocked(path, rc) : findKey(path, rc);
    if (!node) return rc;
    Handle handle;
    handle.type = Handle::Type::Key;
    handle.key = node;
    handle.access = access;
    return give(key, newHandle(std::move(handle)), lock);
}

std::shared_ptr<MemoryPlatform::Node> MemoryPlatform::keyOf(const RegKey& key, uint32_t* access) const {
    auto it = handles_.find(key.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Key) return nullptr;
    if (access != nullptr) *access = it->second->access;
    return it->second->key;
}

ErrorCode MemoryPlatform::regOpenKeyEx(const std::string& path, uint32_t access, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegOpenKeyEx)) return rc;
    return openKeyLocked(path, access, false, key, lock);
}

ErrorCode MemoryPlatform::regOpenKey(const std::string& path, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegOpenKey)) return rc;
    return openKeyLocked(path, win::kKeyAllAccess, false, key, lock);
}

ErrorCode MemoryPlatform::regCreateKeyEx(const std::string& path, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegCreateKeyEx)) return rc;
    return openKeyLocked(path, win::kKeyAllAccess, true, key, lock);
}

ErrorCode MemoryPlatform::regCreateKey(const std::string& path, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegCreateKey)) return rc;
    return openKeyLocked(path, win::kKeyAllAccess, true, key, lock);
}

ErrorCode MemoryPlatform::regQueryValue(const RegKey& key, const std::string& name, std::string& data) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegQueryValue)) return rc;
    std::shared_ptr<Node> node = keyOf(key);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    auto it = node->values.find(lower(name));
    if (it == node->values.end()) return win::kErrorFileNotFound;
    data = it->second.second.data;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regSetStringValue(const RegKey& key, const std::string& name, const std::string& text) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegSetValue)) return rc;
    uint32_t access = 0;
    std::shared_ptr<Node> node = keyOf(key, &access);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    if ((access & KEY_SET_VALUE) == 0) return win::kErrorAccessDenied;
    node->values[lower(name)] = {name, RegValue{REG_SZ, stringData(text)}};
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regSetDwordValue(const RegKey& key, const std::string& name, uint32_t value) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegSetValue)) return rc;
    uint32_t access = 0;
    std::shared_ptr<Node> node = keyOf(key, &access);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    if ((access & KEY_SET_VALUE) == 0) return win::kErrorAccessDenied;
    node->values[lower(name)] = {name, RegValue{REG_DWORD, dwordData(value)}};
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regDeleteKey(const RegKey& parent, const std::string& subKey) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegDeleteKey)) return rc;
    std::shared_ptr<Node> node = keyOf(parent);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    std::vector<std::string> parts;
    if (ErrorCode rc = splitPath(subKey, parts)) return rc;
    if (parts.empty()) return win::kErrorAccessDenied;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = node->children.find(lower(parts[i]));
        if (it == node->children.end()) return win::kErrorFileNotFound;
        node = it->second;
    }
    auto it = node->children.find(lower(parts.back()));
    if (it == node->children.end()) return win::kErrorFileNotFound;
    if (!it->second->children.empty()) return win::kErrorAccessDenied;
    it->second->deleted = true;
    node->children.erase(it);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regQueryInfoKey(const RegKey& key, uint32_t& subKeys) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegQueryInfoKey)) return rc;
    std::shared_ptr<Node> node = keyOf(key);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    subKeys = static_cast<uint32_t>(node->children.size());
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regEnumKey(const RegKey& key, uint32_t index, std::string& name) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegEnumKey)) return rc;
    std::shared_ptr<Node> node = keyOf(key);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    if (index >= node->children.size()) return win::kErrorNoMoreItems;
    auto it = node->children.begin();
    std::advance(it, index);
    if (it->second->name.size() >= 2048) return win::kErrorMoreData;
    name = it->second->name;
    return win::kErrorSuccess;
}

void MemoryPlatform::createKey(const std::string& path) {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    createKeyLocked(path, rc);
}

void MemoryPlatform::setValue(const std::string& path, const std::string& name, const RegValue& value) {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = createKeyLocked(path, rc);
    if (node) node->values[lower(name)] = {name, value};
}

void MemoryPlatform::setString(const std::string& path, const std::string& name, const std::string& text) {
    setValue(path, name, RegValue{REG_SZ, stringData(text)});
}

void MemoryPlatform::setDword(const std::string& path, const std::string& name, uint32_t value) {
    setValue(path, name, RegValue{REG_DWORD, dwordData(value)});
}

std::optional<MemoryPlatform::RegValue> MemoryPlatform::value(const std::string& path, const std::string& name) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = findKey(path, rc);
    if (!node) return std::nullopt;
    auto it = node->values.find(lower(name));
    if (it == node->values.end()) return std::nullopt;
    return it->second.second;
}

std::optional<std::string> MemoryPlatform::stringValue(const std::string& path, const std::string& name) const {
    std::optional<RegValue> v = value(path, name);
    if (!v) return std::nullopt;
    return std::string(v->data.c_str());
}

bool MemoryPlatform::keyExists(const std::string& path) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    return findKey(path, rc) != nullptr;
}

std::vector<std::string> MemoryPlatform::subKeys(const std::string& path) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::vector<std::string> names;
    std::shared_ptr<Node> node = findKey(path, rc);
    if (node) {
        for (const auto& child : node->children) names.push_back(child.second->name);
    }
    return names;
}

std::vector<std::string> MemoryPlatform::valueNames(const std::string& path) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::vector<std::string> names;
    std::shared_ptr<Node> node = findKey(path, rc);
    if (node) {
        for (const auto& v : node->values) names.push_back(v.second.first);
    }
    return names;
}

void MemoryPlatform::deleteTree(const std::string& path) {
    Lock lock(mutex_);
    std::vector<std::string> parts;
    if (splitPath(path, parts) != 0 || parts.empty()) return;
    std::shared_ptr<Node> node = root_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = node->children.find(lower(parts[i]));
        if (it == node->children.end()) return;
        node = it->second;
    }
    auto it = node->children.find(lower(parts.back()));
    if (it == node->children.end()) return;
    std::function<void(Node&)> markDeleted = [&](Node& n) {
        n.deleted = true;
        for (auto& child : n.children) markDeleted(*child.second);
    };
    markDeleted(*it->second);
    node->children.erase(it);
}

size_t MemoryPlatform::openHandleCount() const {
    Lock lock(mutex_);
    return handles_.size();
}

// --- Service control manager ---

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
}

ErrorCode MemoryPlatform::createServiceLocked(const ServiceConfig& config) {
    const std::string& name = config.name;
    if (name.empty() || name.size() > kMaxServiceNameLength || name.find_first_of("/\\") != std::string::npos) {
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
    auto servicesKey = root_;
    ErrorCode rc = 0;
    servicesKey = findKey(kServicesKey, rc);
    if (!servicesKey) return;
    auto child = servicesKey->children.find(lower(name));
    if (child == servicesKey->children.end()) return;
    std::function<void(Node&)> markDeleted = [&](Node& n) {
        n.deleted = true;
        for (auto& c : n.children) markDeleted(*c.second);
    };
    markDeleted(*child->second);
    servicesKey->children.erase(child);
}

ErrorCode MemoryPlatform::openSCManager(uint32_t access, ScHandle& manager) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OpenSCManager)) return rc;
    Handle handle;
    handle.type = Handle::Type::Manager;
    handle.access = access;
    return give(manager, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::openService(const ScHandle& manager, const std::string& name, uint32_t access,
                                      ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OpenService)) return rc;
    auto it = handles_.find(manager.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Manager) return win::kErrorInvalidHandle;
    if (name.empty() || name.size() > kMaxServiceNameLength) return win::kErrorInvalidName;
    if (services_.count(lower(name)) == 0) return win::kErrorServiceDoesNotExist;
    Handle handle;
    handle.type = Handle::Type::Service;
    handle.access = access;
    handle.service = lower(name);
    return give(service, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::createService(const ScHandle& manager, const ServiceConfig& config, ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateService)) return rc;
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
    if (ErrorCode rc = enter(Op::ChangeServiceConfig)) return rc;
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

ErrorCode MemoryPlatform::startService(const ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::StartService)) return rc;
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
    if (ErrorCode rc = enter(Op::ControlService)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    uint32_t needed = control == win::kServiceControlStop          ? win::kServiceStop
                      : control == win::kServiceControlInterrogate ? win::kServiceInterrogate
                      : control >= 128                              ? win::kServiceUserDefinedControl
                                                                    : 0;
    if ((access & needed) != needed) return win::kErrorAccessDenied;
    record->controls.push_back(control);
    uint32_t state = record->status.dwCurrentState;
    if (state == win::kServiceStopped) {
        status = record->status;
        return win::kErrorServiceNotActive;
    }
    if (control == win::kServiceControlStop &&
        (state == win::kServiceStopPending || (record->status.dwControlsAccepted & win::kServiceAcceptStop) == 0)) {
        status = record->status;
        return win::kErrorServiceCannotAcceptCtrl;
    }
    std::string key = lower(record->config.name);
    if (dispatcherRunning_ && lower(dispatcherService_) == key) {
        handlerReplyLost_ = false;
        controlQueue_.push_back(control);
        changed_.notify_all();
        bool handled = changed_.wait_for(lock, kHangLimit, [&] {
            return std::find(controlQueue_.begin(), controlQueue_.end(), control) == controlQueue_.end() &&
                   !handlerRunning_;
        });
        if (!handled) hangDetected_ = true;
        auto it = services_.find(key);
        if (it != services_.end()) status = it->second.status;
        if (!handled) return win::kErrorServiceRequestTimeout;
        return handlerReplyLost_ ? win::kErrorNoData : win::kErrorSuccess;
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
    if (ErrorCode rc = enter(Op::QueryServiceStatus)) return rc;
    uint32_t access = 0;
    ServiceRecord* record = serviceOf(service, &access);
    if (record == nullptr) return win::kErrorInvalidHandle;
    if ((access & win::kServiceQueryStatus) == 0) return win::kErrorAccessDenied;
    status = record->status;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::deleteService(const ScHandle& service) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::DeleteService)) return rc;
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

void MemoryPlatform::setStartHandler(std::function<ErrorCode(const std::string&)> handler) {
    Lock lock(mutex_);
    startHandler_ = std::move(handler);
}

// --- Service side ---

void MemoryPlatform::setLaunchedByManager(bool launched, std::vector<std::string> startArguments) {
    Lock lock(mutex_);
    launchedByManager_ = launched;
    startArguments_ = std::move(startArguments);
}

ErrorCode MemoryPlatform::runServiceDispatcher(const std::string& name, ServiceMain main) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RunServiceDispatcher)) return rc;
    if (!launchedByManager_) return win::kErrorFailedServiceControllerConnect;
    if (dispatcherRunning_) return win::kErrorServiceAlreadyRunning;
    if (serviceThread_.joinable()) {
        std::thread previous = std::move(serviceThread_);
        lock.unlock();
        previous.join();
        lock.lock();
    }
    dispatcherRunning_ = true;
    dispatcherService_ = name;
    dispatcherThread_ = std::this_thread::get_id();
    stoppedReported_ = false;
    controlQueue_.clear();
    serviceArgs_.assign(1, name);
    serviceArgs_.insert(serviceArgs_.end(), startArguments_.begin(), startArguments_.end());
    serviceArgv_.clear();
    for (std::string& arg : serviceArgs_) serviceArgv_.push_back(&arg[0]);
    serviceArgv_.push_back(nullptr);
    int argc = static_cast<int>(serviceArgs_.size());
    char** argv = serviceArgv_.data();
    serviceMainRunning_ = true;
    serviceThread_ = std::thread([this, main, argc, argv] {
        {
            Lock started(mutex_);
            serviceThreadId_ = std::this_thread::get_id();
        }
        main(argc, argv);
        Lock ended(mutex_);
        serviceMainRunning_ = false;
        changed_.notify_all();
    });

    for (;;) {
        changed_.wait(lock, [&] { return stoppedReported_ || shuttingDown_ || !controlQueue_.empty(); });
        if (stoppedReported_ || shuttingDown_) break;
        uint32_t control = controlQueue_.front();
        controlQueue_.erase(controlQueue_.begin());
        ControlHandler handler = handler_;
        handlerRunning_ = true;
        lock.unlock();
        if (handler) handler(control);
        lock.lock();
        handlerRunning_ = false;
        changed_.notify_all();
    }
    dispatcherRunning_ = false;
    controlQueue_.clear();
    changed_.notify_all();
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::registerServiceCtrlHandler(const std::string& name, ControlHandler handler,
                                                     StatusHandle& handle) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegisterServiceCtrlHandler)) {
        handle = 0;
        return rc;
    }
    handler_ = std::move(handler);
    handlerService_ = name;
    statusHandle_ = statusHandle_ == 0 ? 0x5000 : statusHandle_ + 4;
    handle = statusHandle_;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::setServiceStatus(StatusHandle handle, const ServiceStatus& status) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::SetServiceStatus)) return rc;
    if (handle == 0 || handle != statusHandle_) return win::kErrorInvalidHandle;
    reports_.push_back(StatusReport{status, nowMs_, std::this_thread::get_id() == dispatcherThread_});
    auto it = services_.find(lower(handlerService_));
    if (it != services_.end()) it->second.status = status;
    if (status.dwCurrentState == win::kServiceStopped) stoppedReported_ = true;
    changed_.notify_all();
    // As under Wine, whose dispatcher holds its lock while a control handler runs: a stopped
    // report from another thread returns only once the handler has returned.
    if (status.dwCurrentState == win::kServiceStopped && handlerRunning_ &&
        std::this_thread::get_id() != dispatcherThread_) {
        // The process ends at this report, under the running handler: the sender of the
        // control never hears back (ControlService gives ERROR_NO_DATA).
        handlerReplyLost_ = true;
        if (!changed_.wait_for(lock, kHangLimit, [&] { return !handlerRunning_ || shuttingDown_; })) {
            hangDetected_ = true;
        }
    }
    return win::kErrorSuccess;
}

void MemoryPlatform::postControl(uint32_t control) {
    Lock lock(mutex_);
    controlQueue_.push_back(control);
    changed_.notify_all();
}

void MemoryPlatform::callControlHandler(uint32_t control) {
    ControlHandler handler;
    {
        Lock lock(mutex_);
        handler = handler_;
    }
    if (handler) handler(control);
}

bool MemoryPlatform::hasControlHandler() const {
    Lock lock(mutex_);
    return static_cast<bool>(handler_);
}

std::vector<MemoryPlatform::StatusReport> MemoryPlatform::statusReports() const {
    Lock lock(mutex_);
    return reports_;
}

std::vector<MemoryPlatform::Event> MemoryPlatform::events() const {
    Lock lock(mutex_);
    return events_;
}

std::vector<std::string> MemoryPlatform::eventSources() const {
    Lock lock(mutex_);
    std::vector<std::string> names;
    for (const auto& source : eventSources_) names.push_back(source.second);
    return names;
}

bool MemoryPlatform::serviceMainRunning() const {
    Lock lock(mutex_);
    return serviceMainRunning_;
}

bool MemoryPlatform::serviceAwaitsTest() const {
    Lock lock(mutex_);
    if (!dispatcherRunning_ || stoppedReported_ || !controlQueue_.empty() || handlerRunning_) return false;
    if (!serviceMainRunning_) return true;
    // Until the waiting thread wakes, a process that has ended still shows as awaited.
    auto awaited = processes_.find(serviceMainAwaits_);
    return serviceMainAwaits_ != 0 && awaited != processes_.end() && !awaited->second.ended;
}

void MemoryPlatform::joinServiceThread() {
    std::thread thread;
    {
        Lock lock(mutex_);
        thread = std::move(serviceThread_);
    }
    if (thread.joinable()) thread.join();
}

// --- Event log ---

ErrorCode MemoryPlatform::registerEventSource(const std::string& name, EventSource& source) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegisterEventSource)) {
        source = 0;
        return rc;
    }
    source = 0x7000 + 4 * (eventSources_.size() + 1);
    eventSources_[source] = name;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::reportEvent(EventSource source, uint16_t type, uint32_t eventId,
                                      const std::string& insertion) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ReportEvent)) return rc;
    auto it = eventSources_.find(source);
    if (it == eventSources_.end()) return win::kErrorInvalidHandle;
    events_.push_back(Event{it->second, type, eventId, insertion});
    return win::kErrorSuccess;
}

// --- Processes and the clock ---

void MemoryPlatform::runExits(std::vector<std::function<void()>>& exits, Lock& lock) {
    if (exits.empty()) return;
    std::vector<std::function<void()>> pending;
    pending.swap(exits);
    lock.unlock();
    for (auto& onExit : pending) onExit();
    lock.lock();
}

void MemoryPlatform::endLocked(Process& process, uint32_t exitCode, std::vector<std::function<void()>>& exits) {
    if (process.ended) return;
    process.ended = true;
    process.exitCode = exitCode;
    if (process.onExit) exits.push_back(std::move(process.onExit));
    process.onExit = nullptr;
    changed_.notify_all();
}

uint32_t MemoryPlatform::spawnLocked(const ProcessSpec& plan, std::vector<std::function<void()>>& exits) {
    uint32_t pid = nextPid_;
    nextPid_ += 4;
    Process& process = processes_[pid];
    process.pid = pid;
    process.plannedExitCode = plan.exitCode;
    process.onExit = plan.onExit;
    if (plan.runsForMs) {
        process.endAt = nowMs_ + *plan.runsForMs;
        if (*plan.runsForMs == 0) endLocked(process, plan.exitCode, exits);
    }
    return pid;
}

void MemoryPlatform::advanceLocked(uint64_t ms, Lock& lock) {
    nowMs_ += ms;
    std::vector<std::function<void()>> exits;
    for (auto& entry : processes_) {
        Process& process = entry.second;
        if (!process.ended && process.endAt && *process.endAt <= nowMs_) {
            endLocked(process, process.plannedExitCode, exits);
        }
    }
    changed_.notify_all();
    runExits(exits, lock);
}

void MemoryPlatform::realPause(uint64_t virtualMs, Lock& lock) {
    if (!realPauses_) return;
    // A thousandth of the virtual time, so that other threads get to run.
    changed_.wait_for(lock, std::chrono::microseconds(std::max<uint64_t>(virtualMs, 20)));
}

uint64_t MemoryPlatform::nowMs() const {
    Lock lock(mutex_);
    return nowMs_;
}

void MemoryPlatform::setRealPauses(bool on) {
    Lock lock(mutex_);
    realPauses_ = on;
}

void MemoryPlatform::advance(uint64_t ms) {
    Lock lock(mutex_);
    advanceLocked(ms, lock);
}

void MemoryPlatform::setLauncher(Launcher launcher) {
    Lock lock(mutex_);
    launcher_ = std::move(launcher);
}

std::vector<MemoryPlatform::Launch> MemoryPlatform::launches() const {
    Lock lock(mutex_);
    return launches_;
}

uint32_t MemoryPlatform::spawnProcess(const ProcessSpec& plan) {
    Lock lock(mutex_);
    std::vector<std::function<void()>> exits;
    uint32_t pid = spawnLocked(plan, exits);
    runExits(exits, lock);
    return pid;
}

void MemoryPlatform::endProcess(uint32_t pid, uint32_t exitCode) {
    Lock lock(mutex_);
    auto it = processes_.find(pid);
    if (it == processes_.end()) return;
    std::vector<std::function<void()>> exits;
    endLocked(it->second, exitCode, exits);
    runExits(exits, lock);
}

bool MemoryPlatform::processRunning(uint32_t pid) const {
    Lock lock(mutex_);
    auto it = processes_.find(pid);
    return it != processes_.end() && !it->second.ended;
}

void MemoryPlatform::setOsMajorVersion(uint32_t major) {
    Lock lock(mutex_);
    osMajor_ = major;
}

ErrorCode MemoryPlatform::createProcess(const std::string& commandLine, const std::string& workingDir,
                                        ProcessInfo& info) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateProcess)) return rc;
    if (shuttingDown_) return win::kErrorFileNotFound;
    Launch launch{commandLine, workingDir, nextPid_};
    launches_.push_back(launch);
    Launcher launcher = launcher_;
    lock.unlock();
    LaunchOutcome outcome;
    if (launcher) {
        outcome = launcher(launch);
    } else {
        outcome.process.runsForMs = 0;
    }
    lock.lock();
    if (outcome.error != 0) return outcome.error;
    std::vector<std::function<void()>> exits;
    uint32_t pid = spawnLocked(outcome.process, exits);
    Handle process;
    process.type = Handle::Type::Process;
    process.pid = pid;
    Handle thread = process;
    thread.type = Handle::Type::Thread;
    uintptr_t processHandle = newHandle(std::move(process));
    uintptr_t threadHandle = newHandle(std::move(thread));
    runExits(exits, lock);
    lock.unlock();
    // Assigned without the lock: replacing a handle the caller still held closes it.
    info.process = ProcessHandle(this, processHandle);
    info.thread = ProcessHandle(this, threadHandle);
    info.processId = pid;
    return win::kErrorSuccess;
}

WaitResult MemoryPlatform::waitForProcess(const ProcessHandle& handle, uint32_t milliseconds) {
    Lock lock(mutex_);
    if (enter(Op::WaitForProcess) != 0) return WaitResult::Failed;
    auto it = handles_.find(handle.value());
    if (it == handles_.end() ||
        (it->second->type != Handle::Type::Process && it->second->type != Handle::Type::Thread)) {
        return WaitResult::Failed;
    }
    Process& process = processes_[it->second->pid];
    if (process.ended) return WaitResult::Signaled;
    if (milliseconds == win::kInfinite && process.endAt) {
        // The process ends by itself: time passes until it does.
        realPause(*process.endAt > nowMs_ ? *process.endAt - nowMs_ : 0, lock);
        if (!process.ended) advanceLocked(*process.endAt > nowMs_ ? *process.endAt - nowMs_ : 0, lock);
        return WaitResult::Signaled;
    }
    if (milliseconds == win::kInfinite) {
        const bool onServiceThread = std::this_thread::get_id() == serviceThreadId_;
        if (onServiceThread) serviceMainAwaits_ = process.pid;
        bool ended = changed_.wait_for(lock, kHangLimit, [&] { return process.ended || shuttingDown_; });
        if (onServiceThread) serviceMainAwaits_ = 0;
        if (!ended) {
            hangDetected_ = true;
            return WaitResult::Failed;
        }
        return process.ended ? WaitResult::Signaled : WaitResult::Failed;
    }
    uint64_t deadline = nowMs_ + milliseconds;
    if (process.endAt && *process.endAt <= deadline) {
        advanceLocked(*process.endAt > nowMs_ ? *process.endAt - nowMs_ : 0, lock);
        return WaitResult::Signaled;
    }
    realPause(milliseconds, lock);
    if (process.ended) return WaitResult::Signaled;
    advanceLocked(milliseconds, lock);
    return process.ended ? WaitResult::Signaled : WaitResult::Timeout;
}

ErrorCode MemoryPlatform::openProcess(uint32_t pid, uint32_t access, ProcessHandle& handle) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OpenProcess)) return rc;
    if (pid == 0 || processes_.count(pid) == 0) return win::kErrorInvalidParameter;
    Handle process;
    process.type = Handle::Type::Process;
    process.pid = pid;
    process.access = access;
    return give(handle, newHandle(std::move(process)), lock);
}

ErrorCode MemoryPlatform::getExitCodeProcess(const ProcessHandle& handle, uint32_t& exitCode) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::GetExitCodeProcess)) return rc;
    auto it = handles_.find(handle.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Process) return win::kErrorInvalidHandle;
    const Process& process = processes_[it->second->pid];
    exitCode = process.ended ? process.exitCode : STILL_ACTIVE;
    return win::kErrorSuccess;
}

void MemoryPlatform::sleep(uint32_t milliseconds) {
    Lock lock(mutex_);
    enter(Op::Sleep);
    if (shuttingDown_) return;
    realPause(milliseconds, lock);
    advanceLocked(milliseconds, lock);
}

ErrorCode MemoryPlatform::osMajorVersion(uint32_t& major) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OsMajorVersion)) return rc;
    major = osMajor_;
    return win::kErrorSuccess;
}

std::optional<std::string> MemoryPlatform::systemErrorText(ErrorCode code) {
    Lock lock(mutex_);
    if (enter(Op::SystemErrorText) != 0) return std::nullopt;
    auto it = systemTexts().find(code);
    if (it == systemTexts().end()) return std::nullopt;
    return it->second;
}

// --- Files ---

void MemoryPlatform::writeFile(const std::string& path, const std::string& content) {
    Lock lock(mutex_);
    files_[lower(path)] = content;
}

std::optional<std::string> MemoryPlatform::fileContent(const std::string& path) const {
    Lock lock(mutex_);
    auto it = files_.find(lower(path));
    if (it == files_.end()) return std::nullopt;
    return it->second;
}

void MemoryPlatform::removeFile(const std::string& path) {
    Lock lock(mutex_);
    files_.erase(lower(path));
}

ErrorCode MemoryPlatform::readTextFile(const std::string& path, std::string& content) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ReadTextFile)) return rc;
    auto it = files_.find(lower(path));
    if (it == files_.end()) return win::kErrorFileNotFound;
    // Text mode: CR LF reads as LF, and a Ctrl-Z (0x1A) ends the file.
    content.clear();
    const std::string& raw = it->second;
    for (size_t i = 0; i < raw.size() && raw[i] != '\x1a'; ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        content.push_back(raw[i]);
    }
    return win::kErrorSuccess;
}

std::FILE* MemoryPlatform::openAppendStream(const std::string& path) {
    Lock lock(mutex_);
    if (enter(Op::OpenAppendStream) != 0) return nullptr;
    cookies_.push_back(std::make_unique<AppendCookie>(AppendCookie{this, lower(path)}));
    files_[lower(path)];  // "a" creates the file
    cookie_io_functions_t io{};
    io.write = [](void* cookie, const char* data, size_t size) -> ssize_t {
        auto* c = static_cast<AppendCookie*>(cookie);
        Lock inner(c->platform->mutex_);
        c->platform->files_[c->key].append(data, size);
        return static_cast<ssize_t>(size);
    };
    std::FILE* stream = fopencookie(cookies_.back().get(), "a", io);
    if (stream != nullptr) setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// --- Handles and shutdown ---

void MemoryPlatform::closeHandle(HandleKind, uintptr_t value) {
    Lock lock(mutex_);
    enter(Op::CloseHandle);
    auto it = handles_.find(value);
    if (it == handles_.end()) return;
    std::shared_ptr<Handle> handle = it->second;
    handles_.erase(it);
    if (handle->type == Handle::Type::Service) removeServiceIfDueLocked(handle->service);
}

bool MemoryPlatform::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds realTimeout) const {
    auto deadline = std::chrono::steady_clock::now() + realTimeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void MemoryPlatform::shutdown() {
    {
        Lock lock(mutex_);
        shuttingDown_ = true;
        std::vector<std::function<void()>> exits;
        for (auto& entry : processes_) endLocked(entry.second, entry.second.plannedExitCode, exits);
        changed_.notify_all();
        runExits(exits, lock);
    }
    joinServiceThread();
}

}  // namespace vornel
