// An in-memory Windows for native tests.
//
// It holds a registry tree (case-insensitive key and value names, typed values), a service
// database with configuration and status, a service dispatcher that runs the service main on
// a thread of its own and delivers queued controls one at a time on the dispatcher thread,
// processes with pids and exit codes that tests control, files, an event log, and a fast
// virtual clock: sleeps and timed-out waits advance it by their full length while taking about
// a thousandth of that in real time, so a 31-second pid wait takes milliseconds.
//
// As under Wine, a stopped report made on another thread while a control handler runs on the
// dispatcher thread returns only when the handler has returned.
//
// Fault injection: make the next call of a given operation fail with a given code, or the Nth
// platform call of a run; every call is counted and logged.
//
// The test-facing methods (setup and inspection) bypass counting and fault injection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace vornel {

class MemoryPlatform final : public Platform {
public:
    // Every platform operation, for counting and fault injection.
    enum class Op {
        RegOpenKeyEx, RegOpenKey, RegCreateKeyEx, RegCreateKey, RegQueryValue, RegSetValue, RegDeleteKey,
        RegQueryInfoKey, RegEnumKey,
        OpenSCManager, OpenService, CreateService, ChangeServiceConfig, StartService, ControlService,
        QueryServiceStatus, DeleteService,
        RunServiceDispatcher, RegisterServiceCtrlHandler, SetServiceStatus,
        RegisterEventSource, ReportEvent,
        CreateProcess, WaitForProcess, OpenProcess, GetExitCodeProcess, Sleep, OsMajorVersion,
        SystemErrorText, ReadTextFile, OpenAppendStream, CloseHandle,
        Count
    };
    static const char* opName(Op op);

    struct RegValue {
        uint32_t type = 0;  // REG_SZ 1, REG_EXPAND_SZ 2, REG_BINARY 3, REG_DWORD 4
        std::string data;   // raw bytes; strings carry their terminating zero
    };

    struct ServiceRecord {
        ServiceConfig config;  // the password as last given to create or change, for tests to see
        ServiceStatus status;
        bool deletePending = false;
        unsigned startRequests = 0;
        std::vector<uint32_t> controls;  // every control a client sent
    };

    // What a launched process does. A process without a run time runs until a test ends it.
    struct ProcessSpec {
        std::optional<uint64_t> runsForMs;
        uint32_t exitCode = 0;
        std::function<void()> onExit;  // runs when the process ends, without the platform's lock
    };

    struct Launch {
        std::string commandLine;
        std::string workingDir;
        uint32_t pid = 0;
    };

    // The outcome of a launch: an error code, or a process.
    struct LaunchOutcome {
        ErrorCode error = 0;
        ProcessSpec process;
    };
    using Launcher = std::function<LaunchOutcome(const Launch&)>;

    struct StatusReport {
        ServiceStatus status;
        uint64_t atMs = 0;          // virtual time of the report
        bool onDispatcherThread = false;
    };

    struct Event {
        std::string source;
        uint16_t type = 0;
        uint32_t id = 0;
        std::string insertion;
    };

    MemoryPlatform();
    ~MemoryPlatform() override;
    MemoryPlatform(const MemoryPlatform&) = delete;
    MemoryPlatform& operator=(const MemoryPlatform&) = delete;

    // --- Fault injection and call counting. ---
    void failNext(Op op, ErrorCode code, unsigned times = 1);
    void failCall(uint64_t n, ErrorCode code);  // the nth call (1-based) after resetCalls fails
    void resetCalls();
    uint64_t callCount() const;
    uint64_t callCount(Op op) const;
    std::vector<Op> callLog() const;

    // --- Registry, for tests. Paths relative to HKEY_LOCAL_MACHINE. ---
    void createKey(const std::string& path);
    void setString(const std::string& path, const std::string& name, const std::string& text);
    void setDword(const std::string& path, const std::string& name, uint32_t value);
    void setValue(const std::string& path, const std::string& name, const RegValue& value);
    std::optional<RegValue> value(const std::string& path, const std::string& name) const;
    // A string value's text up to its first zero byte.
    std::optional<std::string> stringValue(const std::string& path, const std::string& name) const;
    bool keyExists(const std::string& path) const;
    std::vector<std::string> subKeys(const std::string& path) const;  // in enumeration order
    std::vector<std::string> valueNames(const std::string& path) const;
    void deleteTree(const std::string& path);
    size_t openHandleCount() const;

    // --- Services, for tests. ---
    // Creates a service entry as CreateServiceA would (with its registry key).
    void addService(const ServiceConfig& config);
    std::optional<ServiceRecord> service(const std::string& name) const;
    void setServiceState(const std::string& name, uint32_t state);
    // Replaces what StartServiceA does after its checks (default: the service reports running).
    void setStartHandler(std::function<ErrorCode(const std::string& name)> handler);

    // --- Service side, for tests. ---
    // Whether the process counts as launched by the service manager (otherwise the dispatcher
    // fails with 1063), and the start arguments its service main receives after the name.
    void setLaunchedByManager(bool launched, std::vector<std::string> startArguments = {});
    void postControl(uint32_t control);  // queued for the dispatcher thread
    // Calls the registered control handler on the calling thread.
    void callControlHandler(uint32_t control);
    bool hasControlHandler() const;
    std::vector<StatusReport> statusReports() const;
    std::vector<Event> events() const;
    std::vector<std::string> eventSources() const;
    // Joins the service main thread that the dispatcher started.
    void joinServiceThread();
    // True from the dispatcher's start of the service main until the service main returns.
    bool serviceMainRunning() const;
    // True when the service process can only go on once a test acts: the dispatcher runs and
    // has no stopped report to return on, no control is queued or being handled, and the
    // service main has returned or waits without a time limit for a process that only a test
    // can end.
    bool serviceAwaitsTest() const;

    // --- Processes, for tests. ---
    void setLauncher(Launcher launcher);
    std::vector<Launch> launches() const;
    uint32_t spawnProcess(const ProcessSpec& plan);
    void endProcess(uint32_t pid, uint32_t exitCode = 0);
    bool processRunning(uint32_t pid) const;
    void setOsMajorVersion(uint32_t major);

    // --- Files, for tests (names compared without regard to case). ---
    void writeFile(const std::string& path, const std::string& content);
    std::optional<std::string> fileContent(const std::string& path) const;
    void removeFile(const std::string& path);

    // --- Clock. ---
    uint64_t nowMs() const;
    void advance(uint64_t ms);
    // Whether sleeps and timed-out waits also take a thousandth of their length in real time
    // (on by default, so that other threads get to run). A single-threaded user, such as a
    // fuzzer, may turn it off: the virtual clock still advances by the full length.
    void setRealPauses(bool on);

    // Polls the condition (without the platform's lock) until it holds or the real time-out passes.
    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds realTimeout = std::chrono::seconds(20)) const;
    // True when an unbounded wait gave up after its real-time safety limit (a hang in a test).
    bool hangDetected() const { return hangDetected_; }

    // Ends every process and joins every thread the platform started.
    void shutdown();

    // --- Platform. ---
    ErrorCode regOpenKeyEx(const std::string& path, uint32_t access, RegKey& key) override;
    ErrorCode regOpenKey(const std::string& path, RegKey& key) override;
    ErrorCode regCreateKeyEx(const std::string& path, RegKey& key) override;
    ErrorCode regCreateKey(const std::string& path, RegKey& key) override;
    ErrorCode regQueryValue(const RegKey& key, const std::string& name, std::string& data) override;
    ErrorCode regSetStringValue(const RegKey& key, const std::string& name, const std::string& text) override;
    ErrorCode regSetDwordValue(const RegKey& key, const std::string& name, uint32_t value) override;
    ErrorCode regDeleteKey(const RegKey& parent, const std::string& subKey) override;
    ErrorCode regQueryInfoKey(const RegKey& key, uint32_t& subKeys) override;
    ErrorCode regEnumKey(const RegKey& key, uint32_t index, std::string& name) override;

    ErrorCode openSCManager(uint32_t access, ScHandle& manager) override;
    ErrorCode openService(const ScHandle& manager, const std::string& name, uint32_t access,
                          ScHandle& service) override;
    ErrorCode createService(const ScHandle& manager, const ServiceConfig& config, ScHandle& service) override;
    ErrorCode changeServiceConfig(const ScHandle& service, uint32_t startType,
                                  const std::optional<std::string>& account,
                                  const std::optional<std::string>& password) override;
    ErrorCode startService(const ScHandle& service) override;
    ErrorCode controlService(const ScHandle& service, uint32_t control, ServiceStatus& status) override;
    ErrorCode queryServiceStatus(const ScHandle& service, ServiceStatus& status) override;
    ErrorCode deleteService(const ScHandle& service) override;

    ErrorCode runServiceDispatcher(const std::string& name, ServiceMain main) override;
    ErrorCode registerServiceCtrlHandler(const std::string& name, ControlHandler handler,
                                         StatusHandle& handle) override;
    ErrorCode setServiceStatus(StatusHandle handle, const ServiceStatus& status) override;

    ErrorCode registerEventSource(const std::string& name, EventSource& source) override;
    ErrorCode reportEvent(EventSource source, uint16_t type, uint32_t eventId,
                          const std::string& insertion) override;

    ErrorCode createProcess(const std::string& commandLine, const std::string& workingDir,
                            ProcessInfo& info) override;
    WaitResult waitForProcess(const ProcessHandle& process, uint32_t milliseconds) override;
    ErrorCode openProcess(uint32_t pid, uint32_t access, ProcessHandle& process) override;
    ErrorCode getExitCodeProcess(const ProcessHandle& process, uint32_t& exitCode) override;
    void sleep(uint32_t milliseconds) override;
    ErrorCode osMajorVersion(uint32_t& major) override;
    std::optional<std::string> systemErrorText(ErrorCode code) override;
    ErrorCode readTextFile(const std::string& path, std::string& content) override;
    std::FILE* openAppendStream(const std::string& path) override;

protected:
    void closeHandle(HandleKind kind, uintptr_t value) override;

private:
    struct Node;
    struct Handle;
    struct Process;
    struct AppendCookie;
    using Lock = std::unique_lock<std::mutex>;

    ErrorCode enter(Op op);  // counts the call; the injected fault, or 0
    void advanceLocked(uint64_t ms, Lock& lock);
    void realPause(uint64_t virtualMs, Lock& lock);

    std::shared_ptr<Node> findKey(const std::string& path, ErrorCode& rc) const;
    std::shared_ptr<Node> createKeyLocked(const std::string& path, ErrorCode& rc);
    ErrorCode openKeyLocked(const std::string& path, uint32_t access, bool create, RegKey& key, Lock& lock);
    template <class Owned>
    ErrorCode give(Owned& out, uintptr_t value, Lock& lock);
    std::shared_ptr<Node> keyOf(const RegKey& key, uint32_t* access = nullptr) const;
    void writeServiceKeyLocked(const ServiceRecord& record);
    ErrorCode createServiceLocked(const ServiceConfig& config);
    ServiceRecord* serviceOf(const ScHandle& handle, uint32_t* access = nullptr);
    void removeServiceIfDueLocked(const std::string& name);
    uintptr_t newHandle(Handle handle);
    uint32_t spawnLocked(const ProcessSpec& plan, std::vector<std::function<void()>>& exits);
    void endLocked(Process& process, uint32_t exitCode, std::vector<std::function<void()>>& exits);
    static void runExits(std::vector<std::function<void()>>& exits, Lock& lock);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;

    // Calls and faults.
    uint64_t calls_ = 0;
    std::vector<uint64_t> callsPerOp_;
    std::vector<Op> callLog_;
    std::map<Op, std::pair<ErrorCode, unsigned>> failNext_;
    uint64_t failAt_ = 0;
    ErrorCode failAtCode_ = 0;

    // Registry and handles.
    std::shared_ptr<Node> root_;
    std::map<uintptr_t, std::shared_ptr<Handle>> handles_;
    uintptr_t nextHandle_ = 0x100;

    // Services.
    std::map<std::string, ServiceRecord> services_;  // keyed by lower-case name
    std::function<ErrorCode(const std::string&)> startHandler_;

    // Service side.
    bool launchedByManager_ = false;
    std::vector<std::string> startArguments_;
    std::vector<std::string> serviceArgs_;
    std::vector<char*> serviceArgv_;
    std::string dispatcherService_;
    bool dispatcherRunning_ = false;
    std::thread::id dispatcherThread_;
    std::thread serviceThread_;
    std::thread::id serviceThreadId_;
    bool serviceMainRunning_ = false;
    uint32_t serviceMainAwaits_ = 0;  // the process the service main waits for without a limit
    std::vector<uint32_t> controlQueue_;
    bool stoppedReported_ = false;
    bool handlerRunning_ = false;
    bool handlerReplyLost_ = false;  // the process "ended" under the running handler
    ControlHandler handler_;
    std::string handlerService_;
    StatusHandle statusHandle_ = 0;  // the last one handed out
    std::vector<StatusReport> reports_;
    std::map<EventSource, std::string> eventSources_;
    std::vector<Event> events_;

    // Processes.
    std::map<uint32_t, Process> processes_;
    uint32_t nextPid_ = 1000;
    Launcher launcher_;
    std::vector<Launch> launches_;
    uint32_t osMajor_ = 6;

    // Files.
    std::map<std::string, std::string> files_;  // keyed by lower-case path
    std::vector<std::unique_ptr<AppendCookie>> cookies_;

    // Clock.
    uint64_t nowMs_ = 0;
    bool realPauses_ = true;
    bool shuttingDown_ = false;
    std::atomic<bool> hangDetected_{false};
};

}  // namespace vornel
