// A Windows test tool for what only the Windows API can tell about our files:
//   probe message <message file> <event id, hex> <insertion string>
//       formats the event's message with the insertion string, as Event Viewer does
//   probe version <file> <value name>
//       prints one value of the file's version resource (ProductName, FileVersion, ...)
//   probe control <service name> <control code, decimal>
//       sends the control as a client and prints what ControlService answered (0 or the error)
//   probe error <code, decimal>
//       prints the system's message text for the error code as FormatMessage gives it, its own
//       line end included (Wine has no `net helpmsg`)
// Exit status 0, or the system error code of the call that failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int formatEventMessage(const char* messageFile, const char* idText, const char* insertion) {
    HMODULE module = LoadLibraryExA(messageFile, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return static_cast<int>(GetLastError());
    DWORD id = std::strtoul(idText, nullptr, 16);
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(insertion)};
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  module, id, 0, reinterpret_cast<char*>(&text), 0,
                                  reinterpret_cast<va_list*>(arguments));
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
                                    SERVICE_STOP | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL |
                                        SERVICE_QUERY_STATUS);
    if (handle == nullptr) {
        const int rc = static_cast<int>(GetLastError());
        CloseServiceHandle(manager);
        return rc;
    }
    SERVICE_STATUS status{};
    const BOOL sent = ControlService(handle, std::strtoul(codeText, nullptr, 10), &status);
    std::printf("%lu\n", sent ? 0UL : GetLastError());
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    return 0;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "message") == 0) return formatEventMessage(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "version") == 0) return printVersionValue(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "control") == 0) return sendControl(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "error") == 0) return printErrorText(argv[2]);
    std::fprintf(stderr,
                 "usage: probe message <file> <id> <insertion> | probe version <file> <value> | "
                 "probe control <service> <code> | probe error <code>\n");
    return 87;
}
