// The benchmark's floor: the smallest service that does what the host does with an agent
// installation, on the Windows API directly and waiting only on handles. It runs the start
// script, finds the agent's new pid in the pid file (a change notification on its folder),
// waits for the agent and starts it again at once when it ends; a stop runs the stop script
// and reports stopped once the script and the agent have ended. Each time it has opened a new
// agent it appends the host's own trace line for that moment to its trace file, so that the
// benchmark reads both the same way.
//
//   floor_service.exe <service name> <agent home with its closing backslash> <agent name> <trace file>
//
// A benchmark tool: not shipped, no logic of the system.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string g_name, g_home, g_agentName, g_trace;
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void report(DWORD state, DWORD accepted) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = accepted;
    s.dwWaitHint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 10000 : 0;
    SetServiceStatus(g_status, &s);
}

DWORD WINAPI handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) SetEvent(g_stop);
    return NO_ERROR;
}

// Runs <home>bin\<script> "<agent name>" and returns its process handle.
HANDLE runScript(const char* script) {
    std::string line = "\"" + g_home + "bin\\" + script + "\"  \"" + g_agentName + "\"";
    const std::string dir = g_home + "bin";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, dir.c_str(), &startup,
                        &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

long readPid(const std::string& path) {
    long pid = 0;
    if (std::FILE* file = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(file, "%ld", &pid) != 1) pid = 0;
        std::fclose(file);
    }
    return pid;
}

void trace(const char* text) {
    if (std::FILE* file = std::fopen(g_trace.c_str(), "a")) {
        std::fprintf(file, "%s\n", text);
        std::fclose(file);
    }
}

// Waits for the agent's new pid (the stop event ends the wait: null); the agent's handle.
HANDLE waitForAgent(const std::string& pidFile, long lastPid) {
    const std::string folder = pidFile.substr(0, pidFile.find_last_of('\\'));
    HANDLE watch = FindFirstChangeNotificationA(folder.c_str(), FALSE,
                                                FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                                                    FILE_NOTIFY_CHANGE_LAST_WRITE);
    HANDLE agent = nullptr;
    for (;;) {
        const long pid = readPid(pidFile);
        if (pid != 0 && pid != lastPid) {
            agent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
            if (agent != nullptr) break;
        }
        HANDLE waits[] = {g_stop, watch};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) break;
        FindNextChangeNotification(watch);
    }
    FindCloseChangeNotification(watch);
    return agent;
}

void WINAPI serviceMain(DWORD, LPSTR*) {
    g_status = RegisterServiceCtrlHandlerExA(g_name.c_str(), handler, nullptr);
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_START_PENDING, 0);
    const std::string pidFile = g_home + "logs\\middlewareagent\\VornelAgent.pidfile";
    HANDLE agent = nullptr;
    for (;;) {
        const long lastPid = readPid(pidFile);
        if (HANDLE script = runScript("startAgent.bat")) {
            WaitForSingleObject(script, INFINITE);
            CloseHandle(script);
        }
        report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
        agent = waitForAgent(pidFile, lastPid);
        if (agent == nullptr) break;  // stopped before the agent came
        trace("VornelAgentService - VornelAgentServiceMain - process openned successfully, about to wait.");
        HANDLE waits[] = {g_stop, agent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) break;
        CloseHandle(agent);
        agent = nullptr;
    }
    report(SERVICE_STOP_PENDING, 0);
    if (HANDLE script = runScript("stopAgent.bat")) {
        WaitForSingleObject(script, INFINITE);
        CloseHandle(script);
    }
    if (agent != nullptr) {
        WaitForSingleObject(agent, INFINITE);
        CloseHandle(agent);
    }
    report(SERVICE_STOPPED, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 87;
    g_name = argv[1];
    g_home = argv[2];
    g_agentName = argv[3];
    g_trace = argv[4];
    SERVICE_TABLE_ENTRYA table[] = {{&g_name[0], serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
