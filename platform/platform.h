// The operating system as the programs see it.
//
// A narrow, fixed set of operations: the registry (relative to HKEY_LOCAL_MACHINE), the
// service control manager as a client, the service side (dispatcher, control handler,
// status), the event log, processes and job objects, threads, sleeping and the tick count,
// the OS major version, the active code page, system error texts and the two kinds of file
// access the service host needs. Every operation that can fail
// returns 0 for success or a Windows system error code, so that every failure path of
// every program can be driven by a test.
//
// platform/win32 maps each operation onto the Windows API; tests/memory is an in-memory
// Windows for native tests. Nothing above this header knows which one it runs on.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/types.h"

namespace vornel {

class Platform : public HandleCloser {
public:
    // Runs on a thread of its own, with the service name as argv[0] and the start arguments after it.
    using ServiceMain = std::function<void(int argc, char** argv)>;
    // Runs on the control thread, one control at a time: NO_ERROR for a control it takes,
    // ERROR_CALL_NOT_IMPLEMENTED for one it does not.
    using ControlHandler = std::function<uint32_t(uint32_t control)>;

    virtual ~Platform() = default;

    // --- Registry. Key paths are relative to HKEY_LOCAL_MACHINE. ---
    // RegOpenKeyExA(HKLM, path, 0, access, &key)
    [[nodiscard]] virtual ErrorCode regOpenKeyEx(const std::string& path, uint32_t access, RegKey& key) = 0;
    // RegOpenKeyA(HKLM, path, &key)
    [[nodiscard]] virtual ErrorCode regOpenKey(const std::string& path, RegKey& key) = 0;
    // RegCreateKeyExA(HKLM, path, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL)
    [[nodiscard]] virtual ErrorCode regCreateKeyEx(const std::string& path, RegKey& key) = 0;
    // RegCreateKeyExA(HKLM, path, 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL):
    // a key that lives until the system restarts (one that exists already is opened as it is).
    [[nodiscard]] virtual ErrorCode regCreateVolatileKey(const std::string& path, RegKey& key) = 0;
    // RegDeleteValueA(key, name)
    [[nodiscard]] virtual ErrorCode regDeleteValue(const RegKey& key, const std::string& name) = 0;
    // RegCreateKeyA(HKLM, path, &key)
    [[nodiscard]] virtual ErrorCode regCreateKey(const std::string& path, RegKey& key) = 0;
    // RegQueryValueExA without a type: the value's raw bytes, whatever its length and type.
    [[nodiscard]] virtual ErrorCode regQueryValue(const RegKey& key, const std::string& name, std::string& data) = 0;
    // RegSetValueExA(key, name, 0, REG_SZ, text, length + 1)
    [[nodiscard]] virtual ErrorCode regSetStringValue(const RegKey& key, const std::string& name, const std::string& text) = 0;
    // RegSetValueExA(key, name, 0, REG_DWORD, &value, 4)
    [[nodiscard]] virtual ErrorCode regSetDwordValue(const RegKey& key, const std::string& name, uint32_t value) = 0;
    // RegDeleteKeyA(parent, subKey)
    [[nodiscard]] virtual ErrorCode regDeleteKey(const RegKey& parent, const std::string& subKey) = 0;
    // RegQueryInfoKeyA: the number of child keys.
    [[nodiscard]] virtual ErrorCode regQueryInfoKey(const RegKey& key, uint32_t& subKeys) = 0;
    // RegEnumKeyExA into a 2048-byte name buffer.
    [[nodiscard]] virtual ErrorCode regEnumKey(const RegKey& key, uint32_t index, std::string& name) = 0;

    // --- Service control manager, client side. ---
    // OpenSCManagerA(NULL, "ServicesActive", access)
    [[nodiscard]] virtual ErrorCode openSCManager(uint32_t access, ScHandle& manager) = 0;
    // OpenServiceA(manager, name, access); a null manager fails with ERROR_INVALID_HANDLE.
    [[nodiscard]] virtual ErrorCode openService(const ScHandle& manager, const std::string& name, uint32_t access,
                                  ScHandle& service) = 0;
    // CreateServiceA(manager, ...); a null manager fails with ERROR_INVALID_HANDLE.
    [[nodiscard]] virtual ErrorCode createService(const ScHandle& manager, const ServiceConfig& config, ScHandle& service) = 0;
    // ChangeServiceConfigA(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, NULL, NULL, NULL,
    //                      NULL, account, password, NULL); absent texts leave the setting unchanged.
    [[nodiscard]] virtual ErrorCode changeServiceConfig(const ScHandle& service, uint32_t startType,
                                          const std::optional<std::string>& account,
                                          const std::optional<std::string>& password) = 0;
    // StartServiceA(service, 0, NULL)
    [[nodiscard]] virtual ErrorCode startService(const ScHandle& service) = 0;
    // ControlService(service, control, &status)
    [[nodiscard]] virtual ErrorCode controlService(const ScHandle& service, uint32_t control, ServiceStatus& status) = 0;
    // QueryServiceStatus(service, &status)
    [[nodiscard]] virtual ErrorCode queryServiceStatus(const ScHandle& service, ServiceStatus& status) = 0;
    // DeleteService(service)
    [[nodiscard]] virtual ErrorCode deleteService(const ScHandle& service) = 0;

    // --- Service side. ---
    // StartServiceCtrlDispatcherA with the one entry {name, main}: blocks until the service has
    // reported SERVICE_STOPPED, or fails at once when the manager did not launch the process.
    [[nodiscard]] virtual ErrorCode runServiceDispatcher(const std::string& name, ServiceMain main) = 0;
    // RegisterServiceCtrlHandlerExA(name, HandlerEx, context): the handler gets the extended
    // controls (the preshutdown notification among them); the context passes it to HandlerEx.
    [[nodiscard]] virtual ErrorCode registerServiceCtrlHandlerEx(const std::string& name, ControlHandler handler,
                                                                 StatusHandle& handle) = 0;
    // SetServiceStatus(handle, &status)
    [[nodiscard]] virtual ErrorCode setServiceStatus(StatusHandle handle, const ServiceStatus& status) = 0;

    // --- Event log. ---
    // RegisterEventSourceA(NULL, name)
    [[nodiscard]] virtual ErrorCode registerEventSource(const std::string& name, EventSource& source) = 0;
    // ReportEventA(source, type, 0, id, NULL, count, 0, insertions, NULL)
    [[nodiscard]] virtual ErrorCode reportEvent(EventSource source, uint16_t type, uint32_t eventId,
                                                const std::vector<std::string>& insertions) = 0;

    // --- Processes and the system. ---
    // CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS
    //                [| CREATE_SUSPENDED], NULL, workingDir, {STARTF_USESTDHANDLES, null handles}, &info)
    [[nodiscard]] virtual ErrorCode createProcess(const std::string& commandLine, const std::string& workingDir,
                                                  StartMode mode, ProcessInfo& info) = 0;
    // ResumeThread(info.thread) of a process created suspended.
    [[nodiscard]] virtual ErrorCode resumeProcess(const ProcessInfo& info) = 0;
    // TerminateProcess(process, exitCode)
    [[nodiscard]] virtual ErrorCode terminateProcess(const ProcessHandle& process, uint32_t exitCode) = 0;
    // WaitForSingleObject(process, milliseconds); win::kInfinite waits without a limit.
    [[nodiscard]] virtual WaitResult waitForProcess(const ProcessHandle& process, uint32_t milliseconds) = 0;
    // WaitForMultipleObjects(count, handles, FALSE, milliseconds): Signaled with the index of the
    // first handle that is signaled (an event it ends the wait of is reset), Timeout, or Failed.
    // At most 64 handles.
    [[nodiscard]] virtual WaitResult waitForAny(const std::vector<Waitable>& handles, uint32_t milliseconds,
                                                size_t& signaled) = 0;
    // CreateEventA(NULL, FALSE, FALSE, NULL): an auto-reset event, not set.
    [[nodiscard]] virtual ErrorCode createEvent(EventHandle& event) = 0;
    // SetEvent(event)
    [[nodiscard]] virtual ErrorCode setEvent(const EventHandle& event) = 0;
    // FindFirstChangeNotificationA(directory, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME |
    // FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE): signaled once a file of the
    // directory (not of its subdirectories) is created, renamed, deleted or written.
    [[nodiscard]] virtual ErrorCode watchDirectory(const std::string& directory, DirectoryWatch& watch) = 0;
    // FindNextChangeNotification(watch): not signaled until the next change.
    [[nodiscard]] virtual ErrorCode rearmDirectoryWatch(const DirectoryWatch& watch) = 0;
    // OpenProcess(access, FALSE, pid)
    [[nodiscard]] virtual ErrorCode openProcess(uint32_t pid, uint32_t access, ProcessHandle& process) = 0;
    // GetExitCodeProcess(process, &code)
    [[nodiscard]] virtual ErrorCode getExitCodeProcess(const ProcessHandle& process, uint32_t& exitCode) = 0;
    // Sleep(milliseconds)
    virtual void sleep(uint32_t milliseconds) = 0;
    // GetCurrentProcessId()
    virtual uint32_t currentProcessId() = 0;
    // GetTickCount64: milliseconds since the system started.
    virtual uint64_t tickCount() = 0;
    // GetSystemTimeAsFileTime, in milliseconds since 1601-01-01 UTC (FILETIME / 10000).
    virtual uint64_t systemTime() = 0;
    // GetFileAttributesExA: the file's last write time, in the unit of systemTime.
    [[nodiscard]] virtual ErrorCode fileLastWriteTime(const std::string& path, uint64_t& time) = 0;
    // GetProcessTimes: the process's creation time, in the unit of systemTime.
    [[nodiscard]] virtual ErrorCode processCreationTime(const ProcessHandle& process, uint64_t& time) = 0;

    // --- Job objects. ---
    // CreateJobObjectA(NULL, NULL): a job without limits, so that closing its last handle (the
    // host's process ending) ends none of its processes.
    [[nodiscard]] virtual ErrorCode createJob(JobHandle& job) = 0;
    // CreateJobObjectA(NULL, name): the named job; existed tells that it was there already
    // (ERROR_ALREADY_EXISTS), which it is while a handle to it or a process of it lives.
    [[nodiscard]] virtual ErrorCode createNamedJob(const std::string& name, JobHandle& job, bool& existed) = 0;
    // AssignProcessToJobObject(job, process); the processes it starts from then on belong to the job too.
    [[nodiscard]] virtual ErrorCode assignProcessToJob(const JobHandle& job, const ProcessHandle& process) = 0;
    // QueryInformationJobObject(job, JobObjectBasicProcessIdList): the job's live processes.
    [[nodiscard]] virtual ErrorCode jobProcessIds(const JobHandle& job, std::vector<uint32_t>& pids) = 0;
    // TerminateJobObject(job, exitCode): ends every process of the job.
    [[nodiscard]] virtual ErrorCode terminateJob(const JobHandle& job, uint32_t exitCode) = 0;
    // CreateMutexA(NULL, FALSE, name) and WaitForSingleObject(mutex, milliseconds): the named
    // mutex, owned by the calling thread until the handle is reset; WAIT_TIMEOUT (258) when
    // another owner kept it for the whole wait. A mutex whose owner ended counts as owned.
    [[nodiscard]] virtual ErrorCode acquireMutex(const std::string& name, uint32_t milliseconds,
                                                 MutexHandle& mutex) = 0;
    // GetVersionExA: the major version.
    [[nodiscard]] virtual ErrorCode osMajorVersion(uint32_t& major) = 0;
    // Whether the active code page (GetACP), in which the programs' ANSI calls and their
    // arguments reach the system, represents every character of this process's arguments as
    // the system holds them in UTF-16: GetCommandLineW without the program's own name,
    // WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, ..., &usedDefaultChar). With UTF-8
    // (65001) as the active code page, every character is represented. The code page in codePage.
    [[nodiscard]] virtual ErrorCode commandLineFitsCodePage(bool& fits, uint32_t& codePage) = 0;
    // FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, ...):
    // the system's text for the code, with its own line end; absent when the system has none.
    [[nodiscard]] virtual std::optional<std::string> systemErrorText(ErrorCode code) = 0;
    // fopen(path, "r") and a read to the end: the whole file in text mode, shared for reading
    // and writing with other processes.
    [[nodiscard]] virtual ErrorCode readTextFile(const std::string& path, std::string& content) = 0;
    // fopen(path, "a"): a stream that appends to the file, creating it; null when it cannot be opened.
    [[nodiscard]] virtual std::FILE* openAppendStream(const std::string& path) = 0;

    // --- Texts, directories and the service's optional settings. ---
    // CompareStringOrdinal of the two texts converted to UTF-16 from the active code page
    // (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS)), with bIgnoreCase: with it, each UTF-16
    // unit is compared in the system's upper case (not a language's rules). order is below 0, 0
    // or above 0; ERROR_NO_UNICODE_TRANSLATION when a text is not valid in the code page.
    [[nodiscard]] virtual ErrorCode compareStringOrdinal(const std::string& a, const std::string& b, bool ignoreCase,
                                                         int& order) = 0;
    // GetFileAttributesA(path)
    [[nodiscard]] virtual ErrorCode fileAttributes(const std::string& path, uint32_t& attributes) = 0;
    // CreateDirectoryA(path, NULL): one directory, whose parent exists.
    [[nodiscard]] virtual ErrorCode createDirectory(const std::string& path) = 0;
    // GetFileAttributesExA(path): the file's size in bytes.
    [[nodiscard]] virtual ErrorCode fileSize(const std::string& path, uint64_t& bytes) = 0;
    // MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING): the file renamed, replacing a file of the
    // new name.
    [[nodiscard]] virtual ErrorCode moveFile(const std::string& from, const std::string& to) = 0;
    // ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, NULL,
    //                      NULL, NULL, dependencies, NULL, NULL, NULL): the services and the groups
    // (a name that begins with SC_GROUP_IDENTIFIER, "+") the service needs, as one double-null
    // terminated list; an empty list removes them all.
    [[nodiscard]] virtual ErrorCode changeServiceDependencies(const ScHandle& service,
                                                              const std::vector<std::string>& dependencies) = 0;
    // ChangeServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, {delayed})
    [[nodiscard]] virtual ErrorCode setDelayedAutoStart(const ScHandle& service, bool delayed) = 0;
    // ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, {reset period, NULL, NULL,
    // count, actions}); a restart action needs a handle with SERVICE_START.
    [[nodiscard]] virtual ErrorCode setFailureActions(const ScHandle& service, const FailureActions& actions) = 0;
    // ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, {onNonCrashFailures}):
    // whether the actions also follow a stop with an error code.
    [[nodiscard]] virtual ErrorCode setFailureActionsFlag(const ScHandle& service, bool onNonCrashFailures) = 0;
    // ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, {milliseconds})
    [[nodiscard]] virtual ErrorCode setPreshutdownTimeout(const ScHandle& service, uint32_t milliseconds) = 0;
    // --- What the tools ask while they wait for a service, and about its configuration. ---
    // QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, ...): the status, and the id of the
    // service's process (0 while none runs).
    [[nodiscard]] virtual ErrorCode queryServiceStatusEx(const ScHandle& service, ServiceStatus& status,
                                                         uint32_t& processId) = 0;
    // QueryServiceConfigA(service, ...): the service type, start type, error control, command
    // line, account (lpServiceStartName) and display name; name and password are left as they are.
    [[nodiscard]] virtual ErrorCode queryServiceConfig(const ScHandle& service, ServiceConfig& config) = 0;
    // RegQueryInfoKeyA: the time the key or one of its values was last written, in the unit of
    // systemTime.
    [[nodiscard]] virtual ErrorCode regKeyLastWriteTime(const RegKey& key, uint64_t& time) = 0;
};

}  // namespace vornel
