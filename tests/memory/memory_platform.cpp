// The in-memory Windows: construction, call records and fault injection, handles, and the
// system's error texts. The areas live in memory_registry.cpp, memory_services.cpp,
// memory_service_side.cpp, memory_processes.cpp and memory_event_log.cpp; the threads of the
// service process and the clock in memory_scheduler.cpp.
#include "tests/memory/memory_platform.h"

#include <algorithm>

#include "tests/memory/memory_internal.h"

namespace vornel {

namespace memory {

bool equalsIgnoringCase(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string firstToken(const std::string& commandLine) {
    if (!commandLine.empty() && commandLine[0] == '"') {
        const size_t close = commandLine.find('"', 1);
        return commandLine.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return commandLine.substr(0, commandLine.find(' '));
}

std::string stringData(const std::string& text) { return std::string(text.c_str(), text.size() + 1); }

std::string dwordData(uint32_t value) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return data;
}

}  // namespace memory

namespace {

// The texts of the errors the programs meet, in the wording of Windows.
const std::map<ErrorCode, std::string>& systemTexts() {
    static const std::map<ErrorCode, std::string> texts = {
        {2, "The system cannot find the file specified.\r\n"},
        {3, "The system cannot find the path specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {109, "The pipe has been ended.\r\n"},
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
        {183, "Cannot create a file when that file already exists.\r\n"},
        {206, "The filename or extension is too long.\r\n"},
        {1059, "Circular service dependency was specified.\r\n"},
        {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    };
    return texts;
}

}  // namespace

const char* MemoryPlatform::opName(Op op) {
    static const char* const names[] = {
        "RegOpenKeyEx", "RegOpenKey", "RegCreateKeyEx", "RegCreateKey", "RegQueryValue", "RegSetValue",
        "RegDeleteKey", "RegQueryInfoKey", "RegEnumKey",
        "OpenSCManager", "OpenService", "CreateService", "ChangeServiceConfig", "StartService", "ControlService",
        "QueryServiceStatus", "DeleteService",
        "RunServiceDispatcher", "RegisterServiceCtrlHandlerEx", "SetServiceStatus",
        "RegisterEventSource", "ReportEvent",
        "CreateProcess", "ResumeProcess", "TerminateProcess", "WaitForProcess", "OpenProcess", "GetExitCodeProcess",
        "Sleep", "TickCount", "SystemTime", "FileLastWriteTime", "ProcessCreationTime", "CurrentProcessId", "CreateJob",
        "AssignProcessToJob", "TerminateJob", "AcquireMutex", "OsMajorVersion",
        "CommandLineFitsCodePage", "SystemErrorText", "ReadTextFile", "OpenAppendStream", "CloseHandle",
        "WaitForAny", "CreateEvent", "SetEvent", "WatchDirectory", "RearmDirectoryWatch", "JobProcessIds",
        "CompareStringOrdinal", "FileAttributes", "CreateDirectory", "ChangeServiceDependencies",
        "SetDelayedAutoStart", "SetFailureActions", "SetFailureActionsFlag", "SetPreshutdownTimeout",
        "RegCreateVolatileKey", "RegDeleteValue", "CreateNamedJob", "FileSize", "MoveFile",
        "QueryServiceStatusEx", "QueryServiceConfig", "RegKeyLastWriteTime"};
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

ErrorCode MemoryPlatform::enter(Op op, std::string subject, Lock& lock) {
    // Calls made while the platform shuts down are no part of the run.
    if (shuttingDown_) return win::kErrorSuccess;
    // Every call is a point where the next thread of the service process may take its turn.
    yieldLocked(lock);
    if (shuttingDown_) return win::kErrorSuccess;
    ++calls_;
    ++callsPerOp_[static_cast<size_t>(op)];
    callRecords_.push_back(Call{op, std::move(subject), threadNameLocked(), nowMs_});
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
    callRecords_.clear();
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
    std::vector<Op> log;
    for (const Call& call : callRecords_) log.push_back(call.op);
    return log;
}

std::vector<MemoryPlatform::Call> MemoryPlatform::calls() const {
    Lock lock(mutex_);
    return callRecords_;
}

// --- Handles ---

template <class Owned>
ErrorCode MemoryPlatform::give(Owned& out, uintptr_t value, Lock& lock) {
    // Assigned without the lock: replacing a handle the caller still held closes it.
    lock.unlock();
    out = Owned(this, value);
    return win::kErrorSuccess;
}

template ErrorCode MemoryPlatform::give<RegKey>(RegKey&, uintptr_t, Lock&);
template ErrorCode MemoryPlatform::give<ScHandle>(ScHandle&, uintptr_t, Lock&);
template ErrorCode MemoryPlatform::give<ProcessHandle>(ProcessHandle&, uintptr_t, Lock&);
template ErrorCode MemoryPlatform::give<JobHandle>(JobHandle&, uintptr_t, Lock&);
template ErrorCode MemoryPlatform::give<MutexHandle>(MutexHandle&, uintptr_t, Lock&);
template ErrorCode MemoryPlatform::give<DirectoryWatch>(DirectoryWatch&, uintptr_t, Lock&);

uintptr_t MemoryPlatform::newHandle(Handle handle) {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = std::make_shared<Handle>(std::move(handle));
    return value;
}

size_t MemoryPlatform::openHandleCount() const {
    Lock lock(mutex_);
    return handles_.size();
}

void MemoryPlatform::closeHandle(HandleKind kind, uintptr_t value) {
    Lock lock(mutex_);
    auto it = handles_.find(value);
    std::string subject = "?";
    if (it != handles_.end()) {
        switch (it->second->type) {
            case Handle::Type::Key: subject = "key"; break;
            case Handle::Type::Manager: subject = "manager"; break;
            case Handle::Type::Service: subject = "service"; break;
            case Handle::Type::Process: subject = processNameLocked(it->second->pid); break;
            case Handle::Type::Thread: subject = "thread of " + processNameLocked(it->second->pid); break;
            case Handle::Type::Job: subject = "job"; break;
            case Handle::Type::Mutex: subject = "mutex"; break;
            case Handle::Type::Event: subject = "event"; break;
            case Handle::Type::Watch: subject = "watch of " + memory::baseName(it->second->directory); break;
        }
    }
    (void)kind;
    // A failed close is not seen by the programs: the handle is gone either way.
    (void)enter(Op::CloseHandle, subject, lock);
    it = handles_.find(value);
    if (it == handles_.end()) return;
    std::shared_ptr<Handle> handle = it->second;
    handles_.erase(it);
    if (handle->type == Handle::Type::Service) removeServiceIfDueLocked(handle->service);
    if (handle->type == Handle::Type::Mutex) {
        // Released: a thread waiting for it may go on.
        mutexOwners_.erase(handle->mutexName);
        changed_.notify_all();
        if (!turn_) scheduleLocked(lock);
    }
}

// --- The system ---

ErrorCode MemoryPlatform::osMajorVersion(uint32_t& major) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OsMajorVersion, "", lock)) return rc;
    major = osMajor_;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::commandLineFitsCodePage(bool& fits, uint32_t& codePage) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CommandLineFitsCodePage, "", lock)) return rc;
    fits = commandLineFits_;
    codePage = codePage_;
    return win::kErrorSuccess;
}

std::optional<std::string> MemoryPlatform::systemErrorText(ErrorCode code) {
    Lock lock(mutex_);
    if (enter(Op::SystemErrorText, std::to_string(code), lock) != 0) return std::nullopt;
    auto it = systemTexts().find(code);
    if (it == systemTexts().end()) return std::nullopt;
    return it->second;
}

void MemoryPlatform::setOsMajorVersion(uint32_t major) {
    Lock lock(mutex_);
    osMajor_ = major;
}

void MemoryPlatform::setCommandLineCodePage(uint32_t codePage, bool fits) {
    Lock lock(mutex_);
    codePage_ = codePage;
    commandLineFits_ = fits;
}

}  // namespace vornel
