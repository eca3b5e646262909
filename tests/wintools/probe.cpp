// A Windows test tool for what only the Windows API can tell about our files:
//   probe message <message file> <event id, hex> <insertion string>...
//       formats the event's message with the insertion strings, as Event Viewer does
//   probe version <file> <value name>
//       prints one value of the file's version resource (ProductName, FileVersion, ...)
//   probe manifest <file>
//       prints the file's application manifest (resource type 24, id 1)
//   probe codepage
//       prints the active code page and the OEM code page of the probe itself, which carries
//       the programs' manifest ("65001 65001")
//   probe regvalue <key under HKLM> <value name>
//       prints a string value read with the wide registry call, in UTF-8, without a line end
//   probe record <file> [arguments...]
//       writes the working directory and each argument, one a line, in UTF-8, to the file
//   probe run <working directory> <command line>
//       runs the command line as the service host runs a script (CreateProcessA without an
//       application name, no window, no standard handles) and ends with its exit status
//   probe agent <pid file>
//       a small agent for paths in any language: writes its pid into the pid file and runs
//       until <pid file>.stop exists, then removes both and ends
//   probe stopagent <pid file>
//       asks that agent to end and waits (up to 20 s) until it has: 0 when it has ended
//   probe control <service name> <control code, decimal>
//       sends the control as a client and prints what ControlService answered (0 or the error)
//   probe error <code, decimal>
//       prints the system's message text for the error code as FormatMessage gives it, its own
//       line end included (Wine has no `net helpmsg`)
//   probe config <service name>
//       prints what the service manager answers about the service, a line each: "start <type>"
//       and "depends <name>|<name>..." (QueryServiceConfigA), then "delayed <0|1>", "failure
//       <reset> <type>/<delay>...", "flag <0|1>" and "preshutdown <ms>" (QueryServiceConfig2A);
//       a query that fails prints the name and "error <code>" instead
//   probe notify <service name> <seconds>
//       asks the service manager for status-change notifications (NotifyServiceStatusChangeW,
//       every state) and prints each one as "<ms since the probe began> <state>" until the
//       seconds have passed; "notify failed <code>" when the manager refuses to notify
//   probe waitstate <service name> <state> <interval ms> <seconds>
//       a plain poll, as administrators' scripts and PowerShell's WaitForStatus (250 ms) wait:
//       QueryServiceStatus every interval until the state; 0 once reached, 1 after the seconds
//   probe hostvalues <service name> <name>=<value>...
//       writes the values into the service's Runtime key as its host would (HostPid: the
//       service's process, from QueryServiceStatusEx) and prints the system time just after
//       the write, in milliseconds since 1601
//   probe pollvalue <key under HKLM> <value name> <expected> <interval ms> <seconds>
//       reads the string value every interval until it is the expected text: 0 once it is, 1
//       after the seconds
// Exit status 0, or the system error code of the call that failed.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int formatEventMessage(const char* messageFile, const char* idText, int count, char** insertions) {
    HMODULE module = LoadLibraryExA(messageFile, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return static_cast<int>(GetLastError());
    DWORD id = std::strtoul(idText, nullptr, 16);
    std::vector<DWORD_PTR> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(reinterpret_cast<DWORD_PTR>(insertions[i]));
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  module, id, 0, reinterpret_cast<char*>(&text), 0,
                                  reinterpret_cast<va_list*>(arguments.data()));
    int rc = length == 0 ? static_cast<int>(GetLastError()) : 0;
    if (length != 0) {
        std::fwrite(text, 1, length, stdout);
        LocalFree(text);
    }
    FreeLibrary(module);
    return rc;
}

int printVersionValue(const char* file, const char* name) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (size == 0) return static_cast<int>(GetLastError());
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(file, 0, size, data.data())) return static_cast<int>(GetLastError());
    char query[128];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\040904b0\\%s", name);
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), query, reinterpret_cast<void**>(&value), &length)) return ERROR_NOT_FOUND;
    std::printf("%s\n", value);
    return 0;
}

int sendControl(const char* service, const char* codeText) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return static_cast<int>(GetLastError());
    SC_HANDLE handle = OpenServiceA(manager, service,
                                    SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                                        SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS);
    if (handle == nullptr) {
        const int rc = static_cast<int>(GetLastError());
        CloseServiceHandle(manager);
        return rc;
    }
    SERVICE_STATUS status{};
    const BOOL sent = ControlService(handle, std::strtoul(codeText, nullptr, 10), &status);
    // The result, then the status that came with the answer: state, checkpoint, wait hint.
    std::printf("%lu %lu %lu %lu\n", sent ? 0UL : GetLastError(), status.dwCurrentState, status.dwCheckPoint,
                status.dwWaitHint);
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    return 0;
}

int printManifest(const char* file) {
    HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return static_cast<int>(GetLastError());
    int rc = 0;
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) {
        rc = static_cast<int>(GetLastError() != 0 ? GetLastError() : ERROR_RESOURCE_DATA_NOT_FOUND);
    } else {
        std::fwrite(data, 1, SizeofResource(module, resource), stdout);
    }
    FreeLibrary(module);
    return rc;
}

// Wide text as UTF-8 bytes.
std::vector<char> utf8(const wchar_t* text, int length) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::vector<char> bytes(static_cast<size_t>(size > 0 ? size : 0));
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::vector<wchar_t> wide(const char* text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::vector<wchar_t> chars(static_cast<size_t>(size > 0 ? size : 1), L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, chars.data(), size);
    return chars;
}

int printRegistryValue(const char* keyPath, const char* valueName) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(keyPath).data(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    DWORD size = 0;
    std::vector<wchar_t> name = wide(valueName);
    rc = RegQueryValueExW(key, name.data(), nullptr, nullptr, nullptr, &size);
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExW(key, name.data(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size);
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    std::vector<char> text = utf8(data.data(), -1);
    if (!text.empty()) std::fwrite(text.data(), 1, text.size() - 1, stdout);
    return 0;
}

int recordArguments(int argc, char** argv) {
    std::FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr) return static_cast<int>(GetLastError());
    wchar_t directory[MAX_PATH * 4] = {};
    GetCurrentDirectoryW(MAX_PATH * 4, directory);
    std::vector<char> cwd = utf8(directory, -1);
    std::fprintf(file, "%s\n", cwd.data());
    for (int i = 3; i < argc; ++i) std::fprintf(file, "%s\n", argv[i]);
    std::fclose(file);
    return 0;
}

int runAsTheHostDoes(const char* workingDir, const char* commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process{};
    std::vector<char> line(commandLine, commandLine + std::strlen(commandLine) + 1);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS,
                        nullptr, workingDir, &startup, &process)) {
        std::printf("CreateProcessA failed: %lu\n", GetLastError());
        return 1000;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

std::string stopFileOf(const char* pidFile) { return std::string(pidFile) + ".stop"; }

int runAgent(const char* pidFile) {
    const std::string temporary = std::string(pidFile) + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return static_cast<int>(GetLastError());
    std::fprintf(file, "%lu\n", GetCurrentProcessId());
    std::fclose(file);
    if (!MoveFileExA(temporary.c_str(), pidFile, MOVEFILE_REPLACE_EXISTING)) return static_cast<int>(GetLastError());
    const std::string stop = stopFileOf(pidFile);
    while (GetFileAttributesA(stop.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(100);
    DeleteFileA(pidFile);
    DeleteFileA(stop.c_str());
    return 0;
}

int stopAgent(const char* pidFile) {
    std::FILE* file = std::fopen(pidFile, "r");
    if (file == nullptr) return 0;  // no agent
    unsigned long pid = 0;
    const bool read = std::fscanf(file, "%lu", &pid) == 1;
    std::fclose(file);
    if (!read) return 0;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    std::FILE* stop = std::fopen(stopFileOf(pidFile).c_str(), "w");
    if (stop != nullptr) std::fclose(stop);
    if (process == nullptr) return 0;
    const DWORD waited = WaitForSingleObject(process, 20000);
    CloseHandle(process);
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}

int printErrorText(const char* codeText) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, std::strtoul(codeText, nullptr, 10), 0, reinterpret_cast<char*>(&text), 0,
                                  nullptr);
    if (length == 0 || text == nullptr) return static_cast<int>(GetLastError());
    std::fwrite(text, 1, length, stdout);
    LocalFree(text);
    return 0;
}

// One QueryServiceConfig2A level into a buffer of the size it asks for; false after its
// "<label> error <code>" line.
bool queryConfig2(SC_HANDLE service, DWORD level, const char* label, std::vector<BYTE>& buffer) {
    DWORD needed = 0;
    QueryServiceConfig2A(service, level, nullptr, 0, &needed);
    buffer.assign(needed > 0 ? needed : 1, 0);
    if (!QueryServiceConfig2A(service, level, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
        std::printf("%s error %lu\n", label, GetLastError());
        return false;
    }
    return true;
}

int printServiceConfig(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return static_cast<int>(GetLastError());
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        const int rc = static_cast<int>(GetLastError());
        CloseServiceHandle(manager);
        return rc;
    }
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed > 0 ? needed : 1);
    if (QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                            static_cast<DWORD>(buffer.size()), &needed)) {
        const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer.data());
        std::printf("start %lu\ndepends ", config->dwStartType);
        for (const char* d = config->lpDependencies; d != nullptr && *d != 0; d += std::strlen(d) + 1) {
            std::printf("%s%s", d == config->lpDependencies ? "" : "|", d);
        }
        std::printf("\n");
    } else {
        std::printf("start error %lu\n", GetLastError());
    }
    if (queryConfig2(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, "delayed", buffer)) {
        std::printf("delayed %d\n", reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(buffer.data())->fDelayedAutostart);
    }
    if (queryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, "failure", buffer)) {
        const auto* actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
        std::printf("failure %lu", actions->dwResetPeriod);
        for (DWORD i = 0; i < actions->cActions; ++i) {
            std::printf(" %d/%lu", static_cast<int>(actions->lpsaActions[i].Type), actions->lpsaActions[i].Delay);
        }
        std::printf("\n");
    }
    if (queryConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, "flag", buffer)) {
        std::printf("flag %d\n",
                    reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buffer.data())->fFailureActionsOnNonCrashFailures);
    }
    if (queryConfig2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, "preshutdown", buffer)) {
        std::printf("preshutdown %lu\n", reinterpret_cast<SERVICE_PRESHUTDOWN_INFO*>(buffer.data())->dwPreshutdownTimeout);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

uint64_t systemTimeMs() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000;
}

SC_HANDLE openForQuery(const char* serviceName) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, "ServicesActive", SC_MANAGER_CONNECT);
    if (manager == nullptr) return nullptr;
    SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    return service;
}

void CALLBACK notified(void* parameter) {
    auto* notify = static_cast<SERVICE_NOTIFYW*>(parameter);
    const uint64_t* began = static_cast<const uint64_t*>(notify->pContext);
    std::printf("%llu %lu\n", static_cast<unsigned long long>(GetTickCount64() - *began),
                notify->ServiceStatus.dwCurrentState);
    std::fflush(stdout);
}

int printNotifications(const char* serviceName, const char* secondsText) {
    SC_HANDLE service = openForQuery(serviceName);
    if (service == nullptr) return static_cast<int>(GetLastError());
    const uint64_t began = GetTickCount64();
    const uint64_t end = began + std::strtoull(secondsText, nullptr, 10) * 1000;
    const DWORD every = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_START_PENDING | SERVICE_NOTIFY_STOP_PENDING |
                        SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_CONTINUE_PENDING | SERVICE_NOTIFY_PAUSE_PENDING |
                        SERVICE_NOTIFY_PAUSED;
    SERVICE_NOTIFYW notify{};
    while (GetTickCount64() < end) {
        notify = SERVICE_NOTIFYW{};
        notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
        notify.pfnNotifyCallback = notified;
        notify.pContext = const_cast<uint64_t*>(&began);
        DWORD rc = NotifyServiceStatusChangeW(service, every, &notify);
        if (rc != ERROR_SUCCESS) {
            std::printf("notify failed %lu\n", rc);
            CloseServiceHandle(service);
            return static_cast<int>(rc);
        }
        // The callback runs as an APC while the thread waits alertably.
        while (SleepEx(static_cast<DWORD>(std::min<uint64_t>(100, end - std::min(end, GetTickCount64()))), TRUE) !=
                   WAIT_IO_COMPLETION &&
               GetTickCount64() < end) {
        }
    }
    CloseServiceHandle(service);
    return 0;
}

int pollState(const char* serviceName, const char* stateText, const char* intervalText, const char* secondsText) {
    SC_HANDLE service = openForQuery(serviceName);
    if (service == nullptr) return static_cast<int>(GetLastError());
    const DWORD state = std::strtoul(stateText, nullptr, 10);
    const DWORD interval = std::strtoul(intervalText, nullptr, 10);
    const uint64_t end = GetTickCount64() + std::strtoull(secondsText, nullptr, 10) * 1000;
    int rc = 1;
    for (;;) {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) {
            rc = 0;
            break;
        }
        if (GetTickCount64() >= end) break;
        Sleep(interval);
    }
    CloseServiceHandle(service);
    return rc;
}

int writeHostValues(const char* serviceName, int count, char** values) {
    SC_HANDLE service = openForQuery(serviceName);
    if (service == nullptr) return static_cast<int>(GetLastError());
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const BOOL queried = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                              sizeof status, &needed);
    CloseServiceHandle(service);
    if (!queried) return static_cast<int>(GetLastError());
    const std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\") + serviceName + "\\Runtime";
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    auto set = [key](const std::string& name, const std::string& text) {
        return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    };
    rc = set("HostPid", std::to_string(status.dwProcessId));
    for (int i = 0; i < count && rc == ERROR_SUCCESS; ++i) {
        const std::string pair = values[i];
        const size_t equals = pair.find('=');
        rc = equals == std::string::npos ? ERROR_INVALID_PARAMETER : set(pair.substr(0, equals), pair.substr(equals + 1));
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return static_cast<int>(rc);
    std::printf("%llu\n", static_cast<unsigned long long>(systemTimeMs()));
    return 0;
}

int pollValue(const char* keyPath, const char* valueName, const char* expected, const char* intervalText,
              const char* secondsText) {
    const DWORD interval = std::strtoul(intervalText, nullptr, 10);
    const uint64_t end = GetTickCount64() + std::strtoull(secondsText, nullptr, 10) * 1000;
    for (;;) {
        char data[2048] = {};
        DWORD size = sizeof data - 1;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, keyPath, valueName, RRF_RT_REG_SZ, nullptr, data, &size) ==
                ERROR_SUCCESS &&
            std::strcmp(data, expected) == 0) {
            return 0;
        }
        if (GetTickCount64() >= end) return 1;
        Sleep(interval);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "message") == 0) {
        return formatEventMessage(argv[2], argv[3], argc - 4, argv + 4);
    }
    if (argc == 4 && std::strcmp(argv[1], "version") == 0) return printVersionValue(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "manifest") == 0) return printManifest(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "codepage") == 0) {
        std::printf("%u %u\n", GetACP(), GetOEMCP());
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "regvalue") == 0) return printRegistryValue(argv[2], argv[3]);
    if (argc >= 3 && std::strcmp(argv[1], "record") == 0) return recordArguments(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "run") == 0) return runAsTheHostDoes(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "agent") == 0) return runAgent(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "stopagent") == 0) return stopAgent(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "control") == 0) return sendControl(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "error") == 0) return printErrorText(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "config") == 0) return printServiceConfig(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "notify") == 0) return printNotifications(argv[2], argv[3]);
    if (argc == 6 && std::strcmp(argv[1], "waitstate") == 0) return pollState(argv[2], argv[3], argv[4], argv[5]);
    if (argc >= 3 && std::strcmp(argv[1], "hostvalues") == 0) return writeHostValues(argv[2], argc - 3, argv + 3);
    if (argc == 7 && std::strcmp(argv[1], "pollvalue") == 0) {
        return pollValue(argv[2], argv[3], argv[4], argv[5], argv[6]);
    }
    std::fprintf(stderr,
                 "usage: probe message <file> <id> <insertion>... | version <file> <value> | manifest <file> | "
                 "codepage | regvalue <key> <value> | record <file> [arguments...] | run <dir> <command line> | "
                 "agent <pid file> | stopagent <pid file> | control <service> <code> | error <code> | "
                 "config <service> | "

                 "notify <service> <s> | waitstate <service> <state> <ms> <s> | hostvalues <service> <name=value>... | "
                 "pollvalue <key> <value> <expected> <ms> <s>\n");
    return 87;
}
