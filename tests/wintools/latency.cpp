// The benchmark's stopwatch inside Wine: it makes the request itself and watches, every
// millisecond, for what ends the latency, so that neither a process start nor a poll from
// outside is part of the time.
//   latency stop <service>
//       ControlService(STOP), then the status until STOPPED: milliseconds from the request
//   latency start <service> <trace file> <pid file>
//       StartServiceA, then the trace file until it holds one more line saying the service
//       opened its agent: milliseconds from the request, and from the pid file's change to it
//   latency restart <trace file> <pid file>
//       ends the agent the pid file names, then the trace file as for start: milliseconds from
//       the agent's end, and from the pid file's change
// Prints the numbers on one line; exit status 0, or the error code of the call that failed.
// A benchmark tool: not shipped.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kSupervised[] = "process openned successfully, about to wait.";

double nowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string content(const char* path) {
    std::string text;
    if (std::FILE* file = std::fopen(path, "rb")) {
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

size_t supervisedLines(const char* traceFile) {
    const std::string text = content(traceFile);
    size_t count = 0;
    for (size_t at = text.find(kSupervised); at != std::string::npos; at = text.find(kSupervised, at + 1)) ++count;
    return count;
}

// Watches, every millisecond for at most two minutes, until the trace has one more line of the
// agent opened; the moment the pid file's content changed meanwhile, or 0.
bool watchUntilSupervised(const char* traceFile, const char* pidFile, size_t before, double& pidChangedAt,
                          double& supervisedAt) {
    const std::string pidBefore = content(pidFile);
    pidChangedAt = 0;
    const double deadline = nowMs() + 120000;
    while (nowMs() < deadline) {
        if (pidChangedAt == 0 && content(pidFile) != pidBefore) pidChangedAt = nowMs();
        if (supervisedLines(traceFile) > before) {
            supervisedAt = nowMs();
            if (pidChangedAt == 0) pidChangedAt = supervisedAt;
            return true;
        }
        Sleep(1);
    }
    return false;
}

int stop(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    if (service == nullptr) return static_cast<int>(GetLastError());
    SERVICE_STATUS status{};
    const double began = nowMs();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return static_cast<int>(GetLastError());
    while (status.dwCurrentState != SERVICE_STOPPED && nowMs() < began + 120000) {
        Sleep(1);
        if (!QueryServiceStatus(service, &status)) return static_cast<int>(GetLastError());
    }
    std::printf("%.1f\n", nowMs() - began);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : ERROR_TIMEOUT;
}

int start(const char* name, const char* traceFile, const char* pidFile) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name, SERVICE_START) : nullptr;
    if (service == nullptr) return static_cast<int>(GetLastError());
    const size_t before = supervisedLines(traceFile);
    const double began = nowMs();
    if (!StartServiceA(service, 0, nullptr)) return static_cast<int>(GetLastError());
    double pidChangedAt = 0, supervisedAt = 0;
    if (!watchUntilSupervised(traceFile, pidFile, before, pidChangedAt, supervisedAt)) return ERROR_TIMEOUT;
    std::printf("%.1f %.1f\n", supervisedAt - began, supervisedAt - pidChangedAt);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int restart(const char* traceFile, const char* pidFile) {
    const DWORD pid = std::strtoul(content(pidFile).c_str(), nullptr, 10);
    HANDLE agent = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (agent == nullptr) return static_cast<int>(GetLastError());
    const size_t before = supervisedLines(traceFile);
    if (!TerminateProcess(agent, 1)) return static_cast<int>(GetLastError());
    WaitForSingleObject(agent, INFINITE);
    const double ended = nowMs();
    CloseHandle(agent);
    double pidChangedAt = 0, supervisedAt = 0;
    if (!watchUntilSupervised(traceFile, pidFile, before, pidChangedAt, supervisedAt)) return ERROR_TIMEOUT;
    std::printf("%.1f %.1f\n", supervisedAt - ended, supervisedAt - pidChangedAt);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "stop") == 0) return stop(argv[2]);
    if (argc == 5 && std::strcmp(argv[1], "start") == 0) return start(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::strcmp(argv[1], "restart") == 0) return restart(argv[2], argv[3]);
    std::fprintf(stderr, "usage: latency stop <service> | start <service> <trace file> <pid file> | restart <trace "
                         "file> <pid file>\n");
    return 87;
}
