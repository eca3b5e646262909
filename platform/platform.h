// The operating system as the programs see it.
//
// A narrow, fixed set of operations: the registry (relative to HKEY_LOCAL_MACHINE), the
// service control manager as a client, the service side (dispatcher, control handler,
// status), the event log, processes, sleeping, the OS major version, system error texts
// and the two kinds of file access the service host needs. Every operation that can fail
// returns 0 for success or a Windows system error code, so that every failure path of
// every program can be driven by a test.
//
// platform/win32 maps each operation onto the Windows API; platform/memory is an in-memory
// Windows for native tests. Nothing above this header knows which one it runs on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace vornel {

// 0 for success, otherwise a Windows system error code.
using ErrorCode = uint32_t;

// The Windows values the programs use, named as Windows names them.
namespace win {
constexpr ErrorCode ERROR_SUCCESS = 0;
constexpr ErrorCode ERROR_FILE_NOT_FOUND = 2;
constexpr ErrorCode ERROR_ACCESS_DENIED = 5;
constexpr ErrorCode ERROR_INVALID_HANDLE = 6;
constexpr ErrorCode ERROR_INVALID_PARAMETER = 87;
constexpr ErrorCode ERROR_INVALID_NAME = 123;
constexpr ErrorCode ERROR_BAD_PATHNAME = 161;
constexpr ErrorCode ERROR_NO_DATA = 232;
constexpr ErrorCode ERROR_MORE_DATA = 234;
constexpr ErrorCode ERROR_NO_MORE_ITEMS = 259;
constexpr ErrorCode ERROR_DIRECTORY = 267;
constexpr ErrorCode ERROR_KEY_DELETED = 1018;
constexpr ErrorCode ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr ErrorCode ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr ErrorCode ERROR_SERVICE_DISABLED = 1058;
constexpr ErrorCode ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr ErrorCode ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr ErrorCode ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr ErrorCode ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr ErrorCode ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr ErrorCode ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr ErrorCode ERROR_SERVICE_EXISTS = 1073;
constexpr ErrorCode ERROR_DUPLICATE_SERVICE_NAME = 1078;

// Registry access rights.
constexpr uint32_t KEY_READ = 0x20019;
constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

// Service manager access rights.
constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr uint32_t SERVICE_CHANGE_CONFIG = 0x0002;
constexpr uint32_t SERVICE_QUERY_STATUS = 0x0004;
constexpr uint32_t SERVICE_START = 0x0010;
constexpr uint32_t SERVICE_STOP = 0x0020;
constexpr uint32_t SERVICE_INTERROGATE = 0x0080;
constexpr uint32_t SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr uint32_t DELETE = 0x10000;
constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;

// Service types, start types, error control.
constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_AUTO_START = 2;
constexpr uint32_t SERVICE_DEMAND_START = 3;
constexpr uint32_t SERVICE_DISABLED = 4;
constexpr uint32_t SERVICE_ERROR_NORMAL = 1;
constexpr uint32_t SERVICE_NO_CHANGE = 0xFFFFFFFF;

// Service states.
constexpr uint32_t SERVICE_STOPPED = 1;
constexpr uint32_t SERVICE_START_PENDING = 2;
constexpr uint32_t SERVICE_STOP_PENDING = 3;
constexpr uint32_t SERVICE_RUNNING = 4;
constexpr uint32_t SERVICE_CONTINUE_PENDING = 5;
constexpr uint32_t SERVICE_PAUSE_PENDING = 6;
constexpr uint32_t SERVICE_PAUSED = 7;

// Controls.
constexpr uint32_t SERVICE_ACCEPT_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// Event types.
constexpr uint16_t EVENTLOG_ERROR_TYPE = 1;
constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// Processes and waits.
constexpr uint32_t PROCESS_ALL_ACCESS = 0x1F0FFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;
}  // namespace win

// The status record a service reports and a client queries (SERVICE_STATUS).
struct ServiceStatus {
    uint32_t dwServiceType = 0;
    uint32_t dwCurrentState = 0;
    uint32_t dwControlsAccepted = 0;
    uint32_t dwWin32ExitCode = 0;
    uint32_t dwServiceSpecificExitCode = 0;
    uint32_t dwCheckPoint = 0;
    uint32_t dwWaitHint = 0;
};

// What CreateServiceA is given. Absent texts are passed as NULL.
struct ServiceConfig {
    std::string name;
    std::optional<std::string> displayName;
    uint32_t desiredAccess = win::SERVICE_ALL_ACCESS;
    uint32_t serviceType = win::SERVICE_WIN32_OWN_PROCESS;
    uint32_t startType = win::SERVICE_DEMAND_START;
    uint32_t errorControl = win::SERVICE_ERROR_NORMAL;
    std::string binaryPathName;
    std::optional<std::string> account;
    std::optional<std::string> password;
};

// Result of a wait on a process (WaitForSingleObject).
enum class WaitResult : uint32_t { Signaled = 0, Timeout = 258, Failed = 0xFFFFFFFF };

class Platform;

enum class HandleKind { RegistryKey, ServiceControl, Kernel };

// A move-only owner of one platform handle: it closes the handle when it goes out of scope,
// so no early return can leak a key, a service handle or a process handle.
template <HandleKind Kind>
class OwnedHandle {
public:
    OwnedHandle() = default;
    OwnedHandle(Platform* os, uintptr_t value) : os_(os), value_(value) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept
        : os_(other.os_), value_(std::exchange(other.value_, 0)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            os_ = other.os_;
            value_ = std::exchange(other.value_, 0);
        }
        return *this;
    }
    bool valid() const { return value_ != 0; }
    uintptr_t value() const { return value_; }
    void reset();

private:
    Platform* os_ = nullptr;
    uintptr_t value_ = 0;
};

using RegKey = OwnedHandle<HandleKind::RegistryKey>;        // closed with RegCloseKey
using ScHandle = OwnedHandle<HandleKind::ServiceControl>;   // closed with CloseServiceHandle
using ProcessHandle = OwnedHandle<HandleKind::Kernel>;      // closed with CloseHandle

// The status handle of RegisterServiceCtrlHandlerA and the handle of RegisterEventSourceA
// are never closed by the programs; 0 stands for null.
using StatusHandle = uintptr_t;
using EventSource = uintptr_t;

// What CreateProcessA gives back.
struct ProcessInfo {
    ProcessHandle process;
    ProcessHandle thread;
    uint32_t processId = 0;
};

class Platform {
public:
    // Runs on a thread of its own, with the service name as argv[0] and the start arguments after it.
    using ServiceMain = std::function<void(int argc, char** argv)>;
    // Runs on the dispatcher thread, one control at a time.
    using ControlHandler = std::function<void(uint32_t control)>;

    virtual ~Platform() = default;

    // --- Registry. Key paths are relative to HKEY_LOCAL_MACHINE. ---
    // RegOpenKeyExA(HKLM, path, 0, access, &key)
    virtual ErrorCode regOpenKeyEx(const std::string& path, uint32_t access, RegKey& key) = 0;
    // RegOpenKeyA(HKLM, path, &key)
    virtual ErrorCode regOpenKey(const std::string& path, RegKey& key) = 0;
    // RegCreateKeyExA(HKLM, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL)
    virtual ErrorCode regCreateKeyEx(const std::string& path, RegKey& key) = 0;
    // RegCreateKeyA(HKLM, path, &key)
    virtual ErrorCode regCreateKey(const std::string& path, RegKey& key) = 0;
    // RegQueryValueExA without a type: the value's raw bytes, whatever its length and type.
    virtual ErrorCode regQueryValue(const RegKey& key, const std::string& name, std::string& data) = 0;
    // RegSetValueExA(key, name, 0, REG_SZ, text, length + 1)
    virtual ErrorCode regSetStringValue(const RegKey& key, const std::string& name, const std::string& text) = 0;
    // RegSetValueExA(key, name, 0, REG_DWORD, &value, 4)
    virtual ErrorCode regSetDwordValue(const RegKey& key, const std::string& name, uint32_t value) = 0;
    // RegDeleteKeyA(parent, subKey)
    virtual ErrorCode regDeleteKey(const RegKey& parent, const std::string& subKey) = 0;
    // RegQueryInfoKeyA: the number of child keys.
    virtual ErrorCode regQueryInfoKey(const RegKey& key, uint32_t& subKeys) = 0;
    // RegEnumKeyExA into a 2048-byte name buffer.
    virtual ErrorCode regEnumKey(const RegKey& key, uint32_t index, std::string& name) = 0;

    // --- Service control manager, client side. ---
    // OpenSCManagerA(NULL, "ServicesActive", access)
    virtual ErrorCode openSCManager(uint32_t access, ScHandle& manager) = 0;
    // OpenServiceA(manager, name, access); a null manager fails with ERROR_INVALID_HANDLE.
    virtual ErrorCode openService(const ScHandle& manager, const std::string& name, uint32_t access,
                                  ScHandle& service) = 0;
    // CreateServiceA(manager, ...); a null manager fails with ERROR_INVALID_HANDLE.
    virtual ErrorCode createService(const ScHandle& manager, const ServiceConfig& config, ScHandle& service) = 0;
    // ChangeServiceConfigA(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, NULL, NULL, NULL,
    //                      NULL, account, password, NULL); absent texts leave the setting unchanged.
    virtual ErrorCode changeServiceConfig(const ScHandle& service, uint32_t startType,
                                          const std::optional<std::string>& account,
                                          const std::optional<std::string>& password) = 0;
    // StartServiceA(service, 0, NULL)
    virtual ErrorCode startService(const ScHandle& service) = 0;
    // ControlService(service, control, &status)
    virtual ErrorCode controlService(const ScHandle& service, uint32_t control, ServiceStatus& status) = 0;
    // QueryServiceStatus(service, &status)
    virtual ErrorCode queryServiceStatus(const ScHandle& service, ServiceStatus& status) = 0;
    // DeleteService(service)
    virtual ErrorCode deleteService(const ScHandle& service) = 0;

    // --- Service side. ---
    // StartServiceCtrlDispatcherA with the one entry {name, main}: blocks until the service has
    // reported SERVICE_STOPPED, or fails at once when the manager did not launch the process.
    virtual ErrorCode runServiceDispatcher(const std::string& name, ServiceMain main) = 0;
    // RegisterServiceCtrlHandlerA(name, handler)
    virtual ErrorCode registerServiceCtrlHandler(const std::string& name, ControlHandler handler,
                                                 StatusHandle& handle) = 0;
    // SetServiceStatus(handle, &status)
    virtual ErrorCode setServiceStatus(StatusHandle handle, const ServiceStatus& status) = 0;

    // --- Event log. ---
    // RegisterEventSourceA(NULL, name)
    virtual ErrorCode registerEventSource(const std::string& name, EventSource& source) = 0;
    // ReportEventA(source, type, 0, id, NULL, 1, 0, &insertion, NULL)
    virtual ErrorCode reportEvent(EventSource source, uint16_t type, uint32_t eventId,
                                  const std::string& insertion) = 0;

    // --- Processes and the system. ---
    // CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS,
    //                NULL, workingDir, {STARTF_USESTDHANDLES, null handles}, &info)
    virtual ErrorCode createProcess(const std::string& commandLine, const std::string& workingDir,
                                    ProcessInfo& info) = 0;
    // WaitForSingleObject(process, milliseconds); win::INFINITE waits without a limit.
    virtual WaitResult waitForProcess(const ProcessHandle& process, uint32_t milliseconds) = 0;
    // OpenProcess(access, FALSE, pid)
    virtual ErrorCode openProcess(uint32_t pid, uint32_t access, ProcessHandle& process) = 0;
    // GetExitCodeProcess(process, &code)
    virtual ErrorCode getExitCodeProcess(const ProcessHandle& process, uint32_t& exitCode) = 0;
    // Sleep(milliseconds)
    virtual void sleep(uint32_t milliseconds) = 0;
    // GetVersionExA: the major version.
    virtual ErrorCode osMajorVersion(uint32_t& major) = 0;
    // FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, ...):
    // the system's text for the code, with its own line end; absent when the system has none.
    virtual std::optional<std::string> systemErrorText(ErrorCode code) = 0;
    // fopen(path, "r") and a read to the end: the whole file in text mode, shared for reading
    // and writing with other processes.
    virtual ErrorCode readTextFile(const std::string& path, std::string& content) = 0;
    // fopen(path, "a"): a stream that appends to the file, creating it; null when it cannot be opened.
    virtual std::FILE* openAppendStream(const std::string& path) = 0;

protected:
    template <HandleKind>
    friend class OwnedHandle;
    virtual void closeHandle(HandleKind kind, uintptr_t value) = 0;
};

template <HandleKind Kind>
void OwnedHandle<Kind>::reset() {
    if (value_ != 0 && os_ != nullptr) {
        os_->closeHandle(Kind, value_);
    }
    value_ = 0;
}

}  // namespace vornel
