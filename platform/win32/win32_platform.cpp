#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace vornel {
namespace {

HKEY asKey(const RegKey& key) { return reinterpret_cast<HKEY>(key.value()); }
SC_HANDLE asSc(const ScHandle& handle) { return reinterpret_cast<SC_HANDLE>(handle.value()); }
HANDLE asHandle(const ProcessHandle& handle) { return reinterpret_cast<HANDLE>(handle.value()); }
HANDLE asJob(const JobHandle& handle) { return reinterpret_cast<HANDLE>(handle.value()); }
const char* orNullPtr(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

// A FILETIME (100-ns units since 1601) in milliseconds.
uint64_t milliseconds(const FILETIME& time) {
    return ((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000;
}

SERVICE_STATUS toWin32(const ServiceStatus& s) {
    SERVICE_STATUS w{};
    w.dwServiceType = s.dwServiceType;
    w.dwCurrentState = s.dwCurrentState;
    w.dwControlsAccepted = s.dwControlsAccepted;
    w.dwWin32ExitCode = s.dwWin32ExitCode;
    w.dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
    w.dwCheckPoint = s.dwCheckPoint;
    w.dwWaitHint = s.dwWaitHint;
    return w;
}

ServiceStatus fromWin32(const SERVICE_STATUS& w) {
    ServiceStatus s;
    s.dwServiceType = w.dwServiceType;
    s.dwCurrentState = w.dwCurrentState;
    s.dwControlsAccepted = w.dwControlsAccepted;
    s.dwWin32ExitCode = w.dwWin32ExitCode;
    s.dwServiceSpecificExitCode = w.dwServiceSpecificExitCode;
    s.dwCheckPoint = w.dwCheckPoint;
    s.dwWaitHint = w.dwWaitHint;
    return s;
}

// The dispatcher calls the service main without a context argument: the one service main of
// the process lives here. The control handler gets its context from HandlerEx.
Platform::ServiceMain g_serviceMain;

void WINAPI serviceMainEntry(DWORD argc, LPSTR* argv) {
    if (g_serviceMain) g_serviceMain(static_cast<int>(argc), argv);
}

DWORD WINAPI controlHandlerEntry(DWORD control, DWORD, LPVOID, LPVOID context) {
    return (*static_cast<Platform::ControlHandler*>(context))(control);
}

class Win32Platform final : public Platform {
public:
    ErrorCode regOpenKeyEx(const std::string& path, uint32_t access, RegKey& key) override {
        HKEY h = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &h);
        if (rc == ERROR_SUCCESS) key = RegKey(this, reinterpret_cast<uintptr_t>(h));
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode regOpenKey(const std::string& path, RegKey& key) override {
        HKEY h = nullptr;
        LONG rc = RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &h);
        if (rc == ERROR_SUCCESS) key = RegKey(this, reinterpret_cast<uintptr_t>(h));
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode regCreateKeyEx(const std::string& path, RegKey& key) override {
        HKEY h = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &h, nullptr);
        if (rc == ERROR_SUCCESS) key = RegKey(this, reinterpret_cast<uintptr_t>(h));
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode regCreateKey(const std::string& path, RegKey& key) override {
        HKEY h = nullptr;
        LONG rc = RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &h);
        if (rc == ERROR_SUCCESS) key = RegKey(this, reinterpret_cast<uintptr_t>(h));
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode regQueryValue(const RegKey& key, const std::string& name, std::string& data) override {
        // Start with the 2048 bytes that hold every value the system writes; ask again with the
        // size the registry reports when a value is longer.
        std::vector<BYTE> buffer(2048);
        for (;;) {
            DWORD size = static_cast<DWORD>(buffer.size());
            LONG rc = RegQueryValueExA(asKey(key), name.c_str(), nullptr, nullptr, buffer.data(), &size);
            if (rc == ERROR_SUCCESS) {
                data.assign(reinterpret_cast<const char*>(buffer.data()), size);
                return ERROR_SUCCESS;
            }
            if (rc != ERROR_MORE_DATA || size <= buffer.size()) return static_cast<ErrorCode>(rc);
            buffer.assign(size, 0);
        }
    }

    ErrorCode regSetStringValue(const RegKey& key, const std::string& name, const std::string& text) override {
        return static_cast<ErrorCode>(RegSetValueExA(asKey(key), name.c_str(), 0, REG_SZ,
                                                     reinterpret_cast<const BYTE*>(text.c_str()),
                                                     static_cast<DWORD>(text.size() + 1)));
    }

    ErrorCode regSetDwordValue(const RegKey& key, const std::string& name, uint32_t value) override {
        DWORD v = value;
        return static_cast<ErrorCode>(RegSetValueExA(asKey(key), name.c_str(), 0, REG_DWORD,
                                                     reinterpret_cast<const BYTE*>(&v), sizeof v));
    }

    ErrorCode regCreateVolatileKey(const std::string& path, RegKey& key) override {
        HKEY h = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &h, nullptr);
        if (rc == ERROR_SUCCESS) key = RegKey(this, reinterpret_cast<uintptr_t>(h));
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode regDeleteValue(const RegKey& key, const std::string& name) override {
        return static_cast<ErrorCode>(RegDeleteValueA(asKey(key), name.c_str()));
    }

    ErrorCode regDeleteKey(const RegKey& parent, const std::string& subKey) override {
        return static_cast<ErrorCode>(RegDeleteKeyA(asKey(parent), subKey.c_str()));
    }

    ErrorCode regQueryInfoKey(const RegKey& key, uint32_t& subKeys) override {
        DWORD count = 0;
        LONG rc = RegQueryInfoKeyA(asKey(key), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_SUCCESS) subKeys = count;
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode regEnumKey(const RegKey& key, uint32_t index, std::string& name) override {
        char buffer[2048] = {};
        DWORD length = sizeof buffer;
        LONG rc = RegEnumKeyExA(asKey(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_SUCCESS) name.assign(buffer, length);
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode openSCManager(uint32_t access, ScHandle& manager) override {
        SC_HANDLE h = OpenSCManagerA(nullptr, "ServicesActive", access);
        if (h == nullptr) return GetLastError();
        manager = ScHandle(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode openService(const ScHandle& manager, const std::string& name, uint32_t access,
                          ScHandle& service) override {
        SC_HANDLE h = OpenServiceA(asSc(manager), name.c_str(), access);
        if (h == nullptr) return GetLastError();
        service = ScHandle(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode createService(const ScHandle& manager, const ServiceConfig& c, ScHandle& service) override {
        SC_HANDLE h = CreateServiceA(asSc(manager), c.name.c_str(), orNullPtr(c.displayName), c.desiredAccess,
                                     c.serviceType, c.startType, c.errorControl, c.binaryPathName.c_str(),
                                     nullptr, nullptr, nullptr, orNullPtr(c.account), orNullPtr(c.password));
        if (h == nullptr) return GetLastError();
        service = ScHandle(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode changeServiceConfig(const ScHandle& service, uint32_t startType,
                                  const std::optional<std::string>& account,
                                  const std::optional<std::string>& password) override {
        BOOL ok = ChangeServiceConfigA(asSc(service), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                                       nullptr, nullptr, nullptr, orNullPtr(account), orNullPtr(password),
                                       nullptr);
        return ok ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode startService(const ScHandle& service) override {
        return StartServiceA(asSc(service), 0, nullptr) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode controlService(const ScHandle& service, uint32_t control, ServiceStatus& status) override {
        SERVICE_STATUS s{};
        BOOL ok = ControlService(asSc(service), control, &s);
        ErrorCode rc = ok ? ERROR_SUCCESS : GetLastError();
        status = fromWin32(s);
        return rc;
    }

    ErrorCode queryServiceStatus(const ScHandle& service, ServiceStatus& status) override {
        SERVICE_STATUS s{};
        if (!QueryServiceStatus(asSc(service), &s)) return GetLastError();
        status = fromWin32(s);
        return ERROR_SUCCESS;
    }

    ErrorCode deleteService(const ScHandle& service) override {
        return DeleteService(asSc(service)) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode runServiceDispatcher(const std::string& name, ServiceMain main) override {
        g_serviceMain = std::move(main);
        std::vector<char> serviceName(name.begin(), name.end());
        serviceName.push_back('\0');
        SERVICE_TABLE_ENTRYA table[] = {{serviceName.data(), serviceMainEntry}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode registerServiceCtrlHandlerEx(const std::string& name, ControlHandler handler,
                                           StatusHandle& handle) override {
        // The handler may be called for as long as the process lives: it is kept for as long.
        handlers_.push_back(std::make_unique<ControlHandler>(std::move(handler)));
        SERVICE_STATUS_HANDLE h =
            RegisterServiceCtrlHandlerExA(name.c_str(), controlHandlerEntry, handlers_.back().get());
        handle = reinterpret_cast<StatusHandle>(h);
        return h != nullptr ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode setServiceStatus(StatusHandle handle, const ServiceStatus& status) override {
        SERVICE_STATUS s = toWin32(status);
        return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) ? ERROR_SUCCESS
                                                                                     : GetLastError();
    }

    ErrorCode registerEventSource(const std::string& name, EventSource& source) override {
        HANDLE h = RegisterEventSourceA(nullptr, name.c_str());
        source = reinterpret_cast<EventSource>(h);
        return h != nullptr ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode reportEvent(EventSource source, uint16_t type, uint32_t eventId,
                          const std::vector<std::string>& insertions) override {
        std::vector<const char*> strings;
        for (const std::string& insertion : insertions) strings.push_back(insertion.c_str());
        return ReportEventA(reinterpret_cast<HANDLE>(source), type, 0, eventId, nullptr,
                            static_cast<WORD>(strings.size()), 0, strings.data(), nullptr)
                   ? ERROR_SUCCESS
                   : GetLastError();
    }

    ErrorCode createProcess(const std::string& commandLine, const std::string& workingDir, StartMode mode,
                            ProcessInfo& info) override {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        PROCESS_INFORMATION process{};
        std::vector<char> line(commandLine.begin(), commandLine.end());
        line.push_back('\0');
        DWORD flags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS;
        if (mode == StartMode::Suspended) flags |= CREATE_SUSPENDED;
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, workingDir.c_str(), &startup,
                            &process)) {
            return GetLastError();
        }
        info.process = ProcessHandle(this, reinterpret_cast<uintptr_t>(process.hProcess));
        info.thread = ProcessHandle(this, reinterpret_cast<uintptr_t>(process.hThread));
        info.processId = process.dwProcessId;
        return ERROR_SUCCESS;
    }

    ErrorCode resumeProcess(const ProcessInfo& info) override {
        return ResumeThread(asHandle(info.thread)) != static_cast<DWORD>(-1) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode terminateProcess(const ProcessHandle& process, uint32_t exitCode) override {
        return TerminateProcess(asHandle(process), exitCode) ? ERROR_SUCCESS : GetLastError();
    }

    WaitResult waitForProcess(const ProcessHandle& process, uint32_t milliseconds) override {
        DWORD rc = WaitForSingleObject(asHandle(process), milliseconds);
        if (rc == WAIT_OBJECT_0) return WaitResult::Signaled;
        if (rc == WAIT_TIMEOUT) return WaitResult::Timeout;
        return WaitResult::Failed;
    }

    WaitResult waitForAny(const std::vector<Waitable>& handles, uint32_t milliseconds, size_t& signaled) override {
        std::vector<HANDLE> raw;
        for (const Waitable& handle : handles) raw.push_back(reinterpret_cast<HANDLE>(handle.value()));
        DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(raw.size()), raw.data(), FALSE, milliseconds);
        if (rc == WAIT_TIMEOUT) return WaitResult::Timeout;
        if (rc >= WAIT_OBJECT_0 && rc < WAIT_OBJECT_0 + raw.size()) {
            signaled = rc - WAIT_OBJECT_0;
            return WaitResult::Signaled;
        }
        return WaitResult::Failed;
    }

    ErrorCode createEvent(EventHandle& event) override {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (h == nullptr) return GetLastError();
        event = EventHandle(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode setEvent(const EventHandle& event) override {
        return SetEvent(asHandle(event)) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode watchDirectory(const std::string& directory, DirectoryWatch& watch) override {
        HANDLE h = FindFirstChangeNotificationA(
            directory.c_str(), FALSE,
            FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        watch = DirectoryWatch(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode rearmDirectoryWatch(const DirectoryWatch& watch) override {
        return FindNextChangeNotification(reinterpret_cast<HANDLE>(watch.value())) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode openProcess(uint32_t pid, uint32_t access, ProcessHandle& process) override {
        HANDLE h = OpenProcess(access, FALSE, pid);
        if (h == nullptr) return GetLastError();
        process = ProcessHandle(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode getExitCodeProcess(const ProcessHandle& process, uint32_t& exitCode) override {
        DWORD code = 0;
        if (!GetExitCodeProcess(asHandle(process), &code)) return GetLastError();
        exitCode = code;
        return ERROR_SUCCESS;
    }

    void sleep(uint32_t milliseconds) override { Sleep(milliseconds); }

    uint32_t currentProcessId() override { return GetCurrentProcessId(); }

    uint64_t tickCount() override { return GetTickCount64(); }

    uint64_t systemTime() override {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        return milliseconds(now);
    }

    ErrorCode fileLastWriteTime(const std::string& path, uint64_t& time) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return GetLastError();
        time = milliseconds(data.ftLastWriteTime);
        return ERROR_SUCCESS;
    }

    ErrorCode processCreationTime(const ProcessHandle& process, uint64_t& time) override {
        FILETIME created{}, ended{}, kernel{}, user{};
        if (!GetProcessTimes(asHandle(process), &created, &ended, &kernel, &user)) return GetLastError();
        time = milliseconds(created);
        return ERROR_SUCCESS;
    }

    ErrorCode createNamedJob(const std::string& name, JobHandle& job, bool& existed) override {
        HANDLE h = CreateJobObjectA(nullptr, name.c_str());
        if (h == nullptr) return GetLastError();
        existed = GetLastError() == ERROR_ALREADY_EXISTS;
        job = JobHandle(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode createJob(JobHandle& job) override {
        HANDLE h = CreateJobObjectA(nullptr, nullptr);
        if (h == nullptr) return GetLastError();
        job = JobHandle(this, reinterpret_cast<uintptr_t>(h));
        return ERROR_SUCCESS;
    }

    ErrorCode assignProcessToJob(const JobHandle& job, const ProcessHandle& process) override {
        return AssignProcessToJobObject(asJob(job), asHandle(process)) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode jobProcessIds(const JobHandle& job, std::vector<uint32_t>& pids) override {
        // Room for the ids grows until the list fits.
        for (size_t room = 16;; room *= 4) {
            std::vector<unsigned char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + room * sizeof(ULONG_PTR));
            auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
            if (!QueryInformationJobObject(asJob(job), JobObjectBasicProcessIdList, list,
                                           static_cast<DWORD>(buffer.size()), nullptr)) {
                const DWORD rc = GetLastError();
                if (rc == ERROR_MORE_DATA && room < 65536) continue;
                return rc;
            }
            if (list->NumberOfAssignedProcesses > list->NumberOfProcessIdsInList && room < 65536) continue;
            pids.clear();
            for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
                pids.push_back(static_cast<uint32_t>(list->ProcessIdList[i]));
            }
            return ERROR_SUCCESS;
        }
    }

    ErrorCode terminateJob(const JobHandle& job, uint32_t exitCode) override {
        return TerminateJobObject(asJob(job), exitCode) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode acquireMutex(const std::string& name, uint32_t milliseconds, MutexHandle& mutex) override {
        HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
        if (h == nullptr) return GetLastError();
        const DWORD waited = WaitForSingleObject(h, milliseconds);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            mutex = MutexHandle(this, reinterpret_cast<uintptr_t>(h));
            return ERROR_SUCCESS;
        }
        const DWORD rc = waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError();
        CloseHandle(h);
        return rc;
    }

    ErrorCode osMajorVersion(uint32_t& major) override {
        OSVERSIONINFOA version{};
        version.dwOSVersionInfoSize = sizeof version;
        // The SDK marks GetVersionExA deprecated (C4996); the host wants the version the
        // system reports to this program, which is what GetVersionExA gives.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
        const BOOL got = GetVersionExA(&version);
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
        if (!got) return GetLastError();
        major = version.dwMajorVersion;
        return ERROR_SUCCESS;
    }

    ErrorCode commandLineFitsCodePage(bool& fits, uint32_t& codePage) override {
        codePage = GetACP();
        if (codePage == CP_UTF8) {
            fits = true;
            return ERROR_SUCCESS;
        }
        // The arguments begin after the program's name: a quoted name ends at its closing
        // quote, any other at the first blank or tab (the C runtime's rule for argv[0]).
        const WCHAR* line = GetCommandLineW();
        if (*line == '"') {
            ++line;
            while (*line != 0 && *line != '"') ++line;
            if (*line == '"') ++line;
        } else {
            while (*line != 0 && *line != ' ' && *line != '\t') ++line;
        }
        if (*line == 0) {
            fits = true;
            return ERROR_SUCCESS;
        }
        int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, line, -1, nullptr, 0, nullptr, nullptr);
        if (length == 0) return GetLastError();
        std::vector<char> converted(static_cast<size_t>(length));
        BOOL usedDefault = FALSE;
        if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, line, -1, converted.data(), length, nullptr,
                                &usedDefault) == 0) {
            return GetLastError();
        }
        fits = !usedDefault;
        return ERROR_SUCCESS;
    }

    std::optional<std::string> systemErrorText(ErrorCode code) override {
        // Let the system allocate, so that no text is cut at a fixed size.
        char* text = nullptr;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
        if (length == 0 || text == nullptr) return std::nullopt;
        std::string result(text, length);
        LocalFree(text);
        return result;
    }

    ErrorCode readTextFile(const std::string& path, std::string& content) override {
        SetLastError(ERROR_SUCCESS);
        std::FILE* file = std::fopen(path.c_str(), "r");
        if (file == nullptr) {
            DWORD rc = GetLastError();
            return rc != ERROR_SUCCESS ? rc : ERROR_FILE_NOT_FOUND;
        }
        content.clear();
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
        std::fclose(file);
        return ERROR_SUCCESS;
    }

    std::FILE* openAppendStream(const std::string& path) override { return std::fopen(path.c_str(), "a"); }

    ErrorCode queryServiceStatusEx(const ScHandle& service, ServiceStatus& status, uint32_t& processId) override {
        SERVICE_STATUS_PROCESS s{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(asSc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s,
                                  &needed)) {
            return GetLastError();
        }
        const SERVICE_STATUS plain{s.dwServiceType,   s.dwCurrentState,           s.dwControlsAccepted,
                                   s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint,
                                   s.dwWaitHint};
        status = fromWin32(plain);
        processId = s.dwProcessId;
        return ERROR_SUCCESS;
    }

    ErrorCode queryServiceConfig(const ScHandle& service, ServiceConfig& config) override {
        // Asked first for the size it needs, then with a buffer of that size.
        DWORD needed = 0;
        if (!QueryServiceConfigA(asSc(service), nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return GetLastError();
        }
        std::vector<BYTE> buffer(needed);
        auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (!QueryServiceConfigA(asSc(service), q, needed, &needed)) return GetLastError();
        auto text = [](const char* s) { return s ? std::optional<std::string>(s) : std::nullopt; };
        config.serviceType = q->dwServiceType;
        config.startType = q->dwStartType;
        config.errorControl = q->dwErrorControl;
        config.binaryPathName = q->lpBinaryPathName ? q->lpBinaryPathName : "";
        config.account = text(q->lpServiceStartName);
        config.displayName = text(q->lpDisplayName);
        return ERROR_SUCCESS;
    }

    ErrorCode regKeyLastWriteTime(const RegKey& key, uint64_t& time) override {
        FILETIME written{};
        LONG rc = RegQueryInfoKeyA(asKey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, &written);
        if (rc == ERROR_SUCCESS) time = milliseconds(written);
        return static_cast<ErrorCode>(rc);
    }

    ErrorCode compareStringOrdinal(const std::string& a, const std::string& b, bool ignoreCase, int& order) override {
        WideText wideA, wideB;
        if (ErrorCode rc = toUtf16(a, wideA)) return rc;
        if (ErrorCode rc = toUtf16(b, wideB)) return rc;
        int result = CompareStringOrdinal(wideA.c_str(), static_cast<int>(wideA.size()), wideB.c_str(),
                                          static_cast<int>(wideB.size()), ignoreCase ? TRUE : FALSE);
        if (result == 0) return GetLastError();
        order = result - CSTR_EQUAL;
        return ERROR_SUCCESS;
    }

    ErrorCode fileAttributes(const std::string& path, uint32_t& attributes) override {
        DWORD found = GetFileAttributesA(path.c_str());
        if (found == INVALID_FILE_ATTRIBUTES) return GetLastError();
        attributes = found;
        return ERROR_SUCCESS;
    }

    ErrorCode fileSize(const std::string& path, uint64_t& bytes) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return GetLastError();
        bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return ERROR_SUCCESS;
    }

    ErrorCode moveFile(const std::string& from, const std::string& to) override {
        return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode createDirectory(const std::string& path) override {
        return CreateDirectoryA(path.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode changeServiceDependencies(const ScHandle& service,
                                        const std::vector<std::string>& dependencies) override {
        // Each name with its terminator, then the list's: c_str() adds that last one.
        std::string list;
        for (const std::string& name : dependencies) list += name + '\0';
        if (dependencies.empty()) list += '\0';
        BOOL ok = ChangeServiceConfigA(asSc(service), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       nullptr, nullptr, nullptr, list.c_str(), nullptr, nullptr, nullptr);
        return ok ? ERROR_SUCCESS : GetLastError();
    }

    ErrorCode setDelayedAutoStart(const ScHandle& service, bool delayed) override {
        SERVICE_DELAYED_AUTO_START_INFO info{};
        info.fDelayedAutostart = delayed ? TRUE : FALSE;
        return changeConfig2(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info);
    }

    ErrorCode setFailureActions(const ScHandle& service, const FailureActions& actions) override {
        std::vector<SC_ACTION> list;
        for (const FailureAction& a : actions.actions) list.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(a.type), a.delayMs});
        // No actions, but an array: the reset period and the actions are deleted.
        SC_ACTION none{SC_ACTION_NONE, 0};
        SERVICE_FAILURE_ACTIONSA info{};
        info.dwResetPeriod = actions.resetPeriodSeconds;
        info.cActions = static_cast<DWORD>(list.size());
        info.lpsaActions = list.empty() ? &none : list.data();
        return changeConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info);
    }

    ErrorCode setFailureActionsFlag(const ScHandle& service, bool onNonCrashFailures) override {
        SERVICE_FAILURE_ACTIONS_FLAG info{};
        info.fFailureActionsOnNonCrashFailures = onNonCrashFailures ? TRUE : FALSE;
        return changeConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &info);
    }

    ErrorCode setPreshutdownTimeout(const ScHandle& service, uint32_t milliseconds) override {
        SERVICE_PRESHUTDOWN_INFO info{};
        info.dwPreshutdownTimeout = milliseconds;
        return changeConfig2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info);
    }

private:
    // The text in UTF-16, from the active code page; an invalid byte sequence is an error.
    // WCHAR is wchar_t in the Windows SDK, char16_t in some other header sets.
    using WideText = std::basic_string<WCHAR>;

    static ErrorCode toUtf16(const std::string& text, WideText& wide) {
        wide.clear();
        if (text.empty()) return ERROR_SUCCESS;
        int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
        if (length == 0) return GetLastError();
        wide.resize(static_cast<size_t>(length));
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0],
                                length) == 0) {
            return GetLastError();
        }
        return ERROR_SUCCESS;
    }

    static ErrorCode changeConfig2(const ScHandle& service, DWORD level, void* info) {
        return ChangeServiceConfig2A(asSc(service), level, info) ? ERROR_SUCCESS : GetLastError();
    }

protected:
    void closeHandle(HandleKind kind, uintptr_t value) override {
        switch (kind) {
            case HandleKind::RegistryKey: RegCloseKey(reinterpret_cast<HKEY>(value)); break;
            case HandleKind::ServiceControl: CloseServiceHandle(reinterpret_cast<SC_HANDLE>(value)); break;
            case HandleKind::Kernel:
            case HandleKind::Job: CloseHandle(reinterpret_cast<HANDLE>(value)); break;
            case HandleKind::Mutex:
                ReleaseMutex(reinterpret_cast<HANDLE>(value));
                CloseHandle(reinterpret_cast<HANDLE>(value));
                break;
            case HandleKind::DirectoryWatch: FindCloseChangeNotification(reinterpret_cast<HANDLE>(value)); break;
        }
    }

private:
    std::vector<std::unique_ptr<ControlHandler>> handlers_;
};

}  // namespace

Platform& win32Platform() {
    static Win32Platform platform;
    return platform;
}

}  // namespace vornel
