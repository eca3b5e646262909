// An in-memory Windows for native tests.
//
// It holds a registry tree (case-insensitive key and value names, typed values), a service
// database with configuration and status, a service dispatcher that runs the service main on
// a thread of its own and delivers queued controls one at a time on a control thread (as
// Wine does), processes with pids and exit codes that tests control, files, an event log, and
// a virtual clock.
//
// A service process runs deterministically. Its threads (the process's main thread, the
// service main, the control thread and any thread the program creates) take turns: one runs
// at a time, and each platform call is a point where the next thread in line takes over.
// Virtual time passes only when every thread of the process waits: the clock then jumps to
// the earliest end of a wait (a sleep, a timed-out wait, a process that ends by itself). So the
// same scenario makes the same calls in the same order every run, and a 31-second pid wait
// takes milliseconds. A thread outside the process (the test's own) runs freely; when it waits
// in a platform call while the process runs, it takes its turn like the process's threads.
//
// As under Wine, a stopped report made on another thread while a control handler runs
// returns only when the handler has returned; the control's sender hears back when the
// handler returns, or gets ERROR_SERVICE_REQUEST_TIMEOUT after ten seconds.
//
// Fault injection: make the next call of a given operation fail with a given code, or the Nth
// platform call of a run; every call is counted and recorded with what it was for.
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
#include <set>
#include <string>
#include <utility>
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
        RunServiceDispatcher, RegisterServiceCtrlHandlerEx, SetServiceStatus,
        RegisterEventSource, ReportEvent,
        CreateProcess, ResumeProcess, TerminateProcess, WaitForProcess, OpenProcess, GetExitCodeProcess, Sleep,
        TickCount, SystemTime, FileLastWriteTime, ProcessCreationTime, CurrentProcessId,
        CreateJob, AssignProcessToJob, TerminateJob, AcquireMutex,
        OsMajorVersion, CommandLineFitsCodePage,
        SystemErrorText, ReadTextFile, OpenAppendStream, CloseHandle,
        WaitForAny, CreateEvent, SetEvent, WatchDirectory, RearmDirectoryWatch, JobProcessIds,
        CompareStringOrdinal, FileAttributes, CreateDirectory, ChangeServiceDependencies, SetDelayedAutoStart,
        SetFailureActions, SetFailureActionsFlag, SetPreshutdownTimeout,
        RegCreateVolatileKey, RegDeleteValue, CreateNamedJob, FileSize, MoveFile,
        QueryServiceStatusEx, QueryServiceConfig, RegKeyLastWriteTime,
        Count
    };
    static const char* opName(Op op);

    // One platform call: the operation, what it was for (a value name, a script, a process,
    // a state...) and the thread that made it ("main", "service main", "control", "test"...).
    struct Call {
        Op op = Op::Count;
        std::string subject;
        std::string thread;
        uint64_t atMs = 0;  // virtual time of the call
    };

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
        // The optional settings, absent until a client sets them.
        std::vector<std::string> dependencies;  // services, and groups with their "+"
        std::optional<bool> delayedAutoStart;
        std::optional<FailureActions> failureActions;  // absent also once deleted
        std::optional<bool> failureActionsOnNonCrashFailures;
        std::optional<uint32_t> preshutdownTimeoutMs;
        uint32_t processId = 0;          // the service's process while it is not stopped
    };

    // What a launched process does. A process without a run time runs until a test ends it.
    struct ProcessSpec {
        std::optional<uint64_t> runsForMs;
        uint32_t exitCode = 0;
        std::function<void()> onExit;  // runs at its end, unless still suspended, without the platform's lock
        std::string name;              // what the call records call it; "process" when empty
        uint32_t parent = 0;           // the process that starts it: it joins its parent's job
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
        bool fromHandler = false;   // made by the control handler, on the control thread
    };

    // A client's control and its answer, with the virtual times of both.
    struct ControlAnswer {
        uint32_t control = 0;
        ErrorCode result = 0;
        uint64_t sentAtMs = 0;
        uint64_t answeredAtMs = 0;
        std::string client;  // the thread that sent it
    };

    struct Event {
        std::string source;
        uint16_t type = 0;
        uint32_t id = 0;
        std::string insertion;                // the first insertion string
        std::vector<std::string> insertions;  // all of them
    };

    MemoryPlatform();
    ~MemoryPlatform() override;
    MemoryPlatform(const MemoryPlatform&) = delete;
    MemoryPlatform& operator=(const MemoryPlatform&) = delete;

    // --- Fault injection and call records. ---
    void failNext(Op op, ErrorCode code, unsigned times = 1);
    void failCall(uint64_t n, ErrorCode code);  // the nth call (1-based) after resetCalls fails
    void resetCalls();
    uint64_t callCount() const;
    uint64_t callCount(Op op) const;
    std::vector<Op> callLog() const;
    std::vector<Call> calls() const;

    // --- Registry, for tests. Paths relative to HKEY_LOCAL_MACHINE. ---
    void createKey(const std::string& path);
    void setString(const std::string& path, const std::string& name, const std::string& text);
    void setDword(const std::string& path, const std::string& name, uint32_t value);
    void setValue(const std::string& path, const std::string& name, const RegValue& value);
    std::optional<RegValue> value(const std::string& path, const std::string& name) const;
    // A string value's text up to its first zero byte.
    std::optional<std::string> stringValue(const std::string& path, const std::string& name) const;
    bool keyExists(const std::string& path) const;
    bool keyIsVolatile(const std::string& path) const;
    std::vector<std::string> subKeys(const std::string& path) const;  // in enumeration order
    std::vector<std::string> valueNames(const std::string& path) const;
    void deleteTree(const std::string& path);
    size_t openHandleCount() const;

    // --- Services, for tests. ---
    // Creates a service entry as CreateServiceA would (with its registry key).
    void addService(const ServiceConfig& config);
    std::optional<ServiceRecord> service(const std::string& name) const;
    void setServiceState(const std::string& name, uint32_t state);
    // The service's exit codes, as its last status report gave them.
    void setServiceExitCodes(const std::string& name, uint32_t win32ExitCode, uint32_t serviceSpecificExitCode);
    // The process that QueryServiceStatusEx names for the service until it is stopped.
    void setServiceProcessId(const std::string& name, uint32_t pid);
    // Replaces what StartServiceA does after its checks (default: the service reports running).
    void setStartHandler(std::function<ErrorCode(const std::string& name)> handler);
    // Replaces what a stop control does to a running service whose process the platform does
    // not run (default: the service is stopped at once); its result is ControlService's.
    void setStopHandler(std::function<ErrorCode(const std::string& name)> handler);

    // --- The service process, for tests. ---
    // Whether the process counts as launched by the service manager (otherwise the dispatcher
    // fails with 1063), and the start arguments its service main receives after the name.
    void setLaunchedByManager(bool launched, std::vector<std::string> startArguments = {});
    // Runs the entry on a new thread, the process's main thread. When it returns, the process
    // has ended: its other threads never run again (they are released, to unwind, only by
    // shutdown), as Windows ends a process whose main returns.
    void startServiceProcess(std::function<int()> entry);
    // Waits (in real time) until the entry has returned; its result, or absent after the limit.
    std::optional<int> waitServiceProcess(std::chrono::milliseconds realTimeout = std::chrono::seconds(20));
    bool serviceProcessEnded() const;
    // Runs the body (say a stop tool's entry) on a thread of its own that takes turns with the
    // service process's threads, as another program on the same machine; the name shows in
    // the call records. It goes on when the service process has ended.
    void startClient(const std::string& name, std::function<void()> body);
    // Several clients at once: all are in line before any of them runs (the test's own thread
    // does not take turns, so clients started one call after another may meet a clock that has
    // moved on in between). They run in the order given.
    using Client = std::pair<std::string, std::function<void()>>;
    void startClients(std::vector<Client> clients);
    // Waits (in real time) until every client has finished; false after the limit.
    bool waitClients(std::chrono::milliseconds realTimeout = std::chrono::seconds(20));
    void postControl(uint32_t control);  // queued for the control thread; nobody waits for the answer
    // Calls the registered control handler on the calling thread.
    void callControlHandler(uint32_t control);
    bool hasControlHandler() const;
    std::vector<StatusReport> statusReports() const;
    std::vector<ControlAnswer> controlAnswers() const;
    std::vector<Event> events() const;
    // Runs on the reporting thread after each event has been logged (without the platform's
    // lock), so that a test can act at the moment the program reports something.
    void setEventHook(std::function<void(const Event&)> hook);
    std::vector<std::string> eventSources() const;
    // Waits until the service main that the dispatcher started has returned, or cannot run any
    // more because its process has ended.
    void joinServiceThread();
    // True from the dispatcher's start of the service main until the service main returns.
    bool serviceMainRunning() const;
    // True when the service process can only go on once a test acts: it runs, and none of its
    // threads can run or will wake when time passes.
    bool serviceAwaitsTest() const;

    // --- Processes, for tests. ---
    void setLauncher(Launcher launcher);
    std::vector<Launch> launches() const;
    uint32_t spawnProcess(const ProcessSpec& plan);
    void endProcess(uint32_t pid, uint32_t exitCode = 0);
    bool processRunning(uint32_t pid) const;
    std::optional<uint32_t> exitCodeOf(uint32_t pid) const;  // absent while the process runs
    void setProcessCreationTime(uint32_t pid, uint64_t systemTime);
    // The job the process belongs to (0: none).
    uint64_t jobOf(uint32_t pid) const;
    // A job of the given name, as an earlier process would have made it, holding the process;
    // it lives while the process does.
    void putIntoNamedJob(const std::string& name, uint32_t pid);
    // False: no process can be put into a job (AssignProcessToJobObject fails with access
    // denied), as for a host that itself runs in a job that allows no nesting.
    void setJobsWork(bool work);
    void setOsMajorVersion(uint32_t major);
    // The pid of the process that asks (the service process, a tool): 4 by default, which no
    // spawned process gets.
    void setCurrentProcessId(uint32_t pid);
    // The active code page and whether it represents the process's arguments (by default
    // 65001, UTF-8, which represents every character: a system that honours the manifest).
    void setCommandLineCodePage(uint32_t codePage, bool fits);

    // --- Files, for tests (names compared without regard to case). ---
    // Writes the file now: its last write time is the current system time.
    void writeFile(const std::string& path, const std::string& content);
    void setFileWriteTime(const std::string& path, uint64_t systemTime);
    std::optional<std::string> fileContent(const std::string& path) const;
    void removeFile(const std::string& path);
    // Directories: a drive's root and every directory that holds a file or a directory exist
    // without being made; these make and tell others (a share's root, say, or an empty one).
    void makeDirectory(const std::string& path);
    bool directoryExists(const std::string& path) const;

    // --- Clock. ---
    uint64_t nowMs() const;
    void advance(uint64_t ms);
    // How long the system had been running when the platform was made (tickCount is this plus
    // the virtual time since); an hour unless set.
    void setUptimeAtStart(uint64_t ms);
    // The system time (milliseconds since 1601, as FILETIME / 10000) now; it advances with
    // the virtual clock. The system started uptime milliseconds before the platform was made.
    uint64_t systemTimeNow() const;
    // Whether time that passes also takes a thousandth of its length in real time (on by
    // default, so that a test's own thread gets to act in between). The sweep and the fuzzers
    // turn it off: the virtual clock still advances by the full length.
    void setRealPauses(bool on);

    // Polls the condition (without the platform's lock) until it holds or the real time-out passes.
    bool waitUntil(const std::function<bool()>& condition,
                   std::chrono::milliseconds realTimeout = std::chrono::seconds(20)) const;
    // True when a wait gave up after its real-time safety limit (a hang in a test).
    bool hangDetected() const { return hangDetected_; }

    // Ends every process, lets every thread of the service process run to its end and joins
    // the threads the platform started.
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
    ErrorCode regCreateVolatileKey(const std::string& path, RegKey& key) override;
    ErrorCode regDeleteValue(const RegKey& key, const std::string& name) override;
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
    ErrorCode registerServiceCtrlHandlerEx(const std::string& name, ControlHandler handler,
                                           StatusHandle& handle) override;
    ErrorCode setServiceStatus(StatusHandle handle, const ServiceStatus& status) override;

    ErrorCode registerEventSource(const std::string& name, EventSource& source) override;
    ErrorCode reportEvent(EventSource source, uint16_t type, uint32_t eventId,
                          const std::vector<std::string>& insertions) override;

    ErrorCode createProcess(const std::string& commandLine, const std::string& workingDir, StartMode mode,
                            ProcessInfo& info) override;
    ErrorCode resumeProcess(const ProcessInfo& info) override;
    ErrorCode terminateProcess(const ProcessHandle& process, uint32_t exitCode) override;
    WaitResult waitForProcess(const ProcessHandle& process, uint32_t milliseconds) override;
    WaitResult waitForAny(const std::vector<Waitable>& handles, uint32_t milliseconds, size_t& signaled) override;
    ErrorCode createEvent(EventHandle& event) override;
    ErrorCode setEvent(const EventHandle& event) override;
    ErrorCode watchDirectory(const std::string& directory, DirectoryWatch& watch) override;
    ErrorCode rearmDirectoryWatch(const DirectoryWatch& watch) override;
    ErrorCode jobProcessIds(const JobHandle& job, std::vector<uint32_t>& pids) override;
    ErrorCode openProcess(uint32_t pid, uint32_t access, ProcessHandle& process) override;
    ErrorCode getExitCodeProcess(const ProcessHandle& process, uint32_t& exitCode) override;
    void sleep(uint32_t milliseconds) override;
    uint32_t currentProcessId() override;
    uint64_t tickCount() override;
    uint64_t systemTime() override;
    ErrorCode fileLastWriteTime(const std::string& path, uint64_t& time) override;
    ErrorCode processCreationTime(const ProcessHandle& process, uint64_t& time) override;
    ErrorCode createJob(JobHandle& job) override;
    ErrorCode createNamedJob(const std::string& name, JobHandle& job, bool& existed) override;
    ErrorCode assignProcessToJob(const JobHandle& job, const ProcessHandle& process) override;
    ErrorCode terminateJob(const JobHandle& job, uint32_t exitCode) override;
    ErrorCode acquireMutex(const std::string& name, uint32_t milliseconds, MutexHandle& mutex) override;
    ErrorCode osMajorVersion(uint32_t& major) override;
    ErrorCode commandLineFitsCodePage(bool& fits, uint32_t& codePage) override;
    std::optional<std::string> systemErrorText(ErrorCode code) override;
    ErrorCode readTextFile(const std::string& path, std::string& content) override;
    std::FILE* openAppendStream(const std::string& path) override;
    ErrorCode compareStringOrdinal(const std::string& a, const std::string& b, bool ignoreCase, int& order) override;
    ErrorCode fileAttributes(const std::string& path, uint32_t& attributes) override;
    ErrorCode createDirectory(const std::string& path) override;
    ErrorCode fileSize(const std::string& path, uint64_t& bytes) override;
    ErrorCode moveFile(const std::string& from, const std::string& to) override;
    ErrorCode changeServiceDependencies(const ScHandle& service, const std::vector<std::string>& dependencies) override;
    ErrorCode setDelayedAutoStart(const ScHandle& service, bool delayed) override;
    ErrorCode setFailureActions(const ScHandle& service, const FailureActions& actions) override;
    ErrorCode setFailureActionsFlag(const ScHandle& service, bool onNonCrashFailures) override;
    ErrorCode setPreshutdownTimeout(const ScHandle& service, uint32_t milliseconds) override;
    ErrorCode queryServiceStatusEx(const ScHandle& service, ServiceStatus& status, uint32_t& processId) override;
    ErrorCode queryServiceConfig(const ScHandle& service, ServiceConfig& config) override;
    ErrorCode regKeyLastWriteTime(const RegKey& key, uint64_t& time) override;

protected:
    void closeHandle(HandleKind kind, uintptr_t value) override;

private:
    struct Node;
    struct Handle;
    struct Process;
    struct AppendCookie;
    struct SimThread;
    using Lock = std::unique_lock<std::mutex>;
    using Condition = std::function<bool()>;

    // --- Calls (memory_platform.cpp) ---
    // Counts and records the call and lets the next thread of the service process take its
    // turn; the injected fault, or 0.
    ErrorCode enter(Op op, std::string subject, Lock& lock);

    // --- Threads and time (memory_scheduler.cpp) ---
    // Makes the calling thread one of the service process's threads; it runs once it has its turn.
    void joinProcessLocked(const std::string& name, Lock& lock);
    void leaveProcessLocked(Lock& lock);
    // Starts a thread of the service process, or a client thread.
    void startProcessThread(const std::string& name, std::function<void()> body, bool client = false);
    // The calling thread gives up its turn and waits until it has it again.
    void yieldLocked(Lock& lock);
    // Waits until the condition holds or the virtual deadline has come; true when the condition
    // holds. A thread outside the service process waits its turn for as long.
    bool waitLocked(Lock& lock, const Condition& until, std::optional<uint64_t> deadline);
    // Lets the next thread in line run, moving the clock on when every thread waits for time.
    void scheduleLocked(Lock& lock);
    bool processActiveLocked() const;
    bool takesTurnsLocked() const;
    std::string threadNameLocked() const;
    void endServiceProcessLocked(Lock& lock);
    // A thread of a process that has ended stops at its platform call.
    void stopIfProcessEndedLocked(Lock& lock);
    // The control thread: runs the handler for each queued control, one at a time.
    void deliverControls();
    void advanceLocked(uint64_t ms, Lock& lock);
    void realPause(uint64_t virtualMs, Lock& lock);

    // --- Registry (memory_registry.cpp) ---
    std::shared_ptr<Node> findKey(const std::string& path, ErrorCode& rc) const;
    std::shared_ptr<Node> createKeyLocked(const std::string& path, ErrorCode& rc);
    ErrorCode openKeyLocked(const std::string& path, uint32_t access, bool create, RegKey& key, Lock& lock);
    std::shared_ptr<Node> keyOf(const RegKey& key, uint32_t* access = nullptr) const;
    // RegSetValueEx of either type: the key must be open for setting values.
    ErrorCode setValueOf(const RegKey& key, const std::string& name, RegValue value);
    void deleteChildLocked(const std::shared_ptr<Node>& parent, const std::string& name);

    // --- Service manager (memory_services.cpp) ---
    void writeServiceKeyLocked(const ServiceRecord& record);
    ErrorCode createServiceLocked(const ServiceConfig& config);
    ServiceRecord* serviceOf(const ScHandle& handle, uint32_t* access = nullptr);
    // What ControlService does once its call is counted.
    ErrorCode deliverControlLocked(const ScHandle& service, uint32_t control, ServiceStatus& status, Lock& lock);
    void removeServiceIfDueLocked(const std::string& name);
    // The record of a service handle with the rights to change its configuration (and to start
    // it, when asked), or the error of ChangeServiceConfig2 and the like.
    ErrorCode changeableServiceLocked(const ScHandle& service, uint32_t rights, ServiceRecord*& record);

    // --- Handles (memory_platform.cpp) ---
    template <class Owned>
    ErrorCode give(Owned& out, uintptr_t value, Lock& lock);
    uintptr_t newHandle(Handle handle);

    // --- Processes (memory_processes.cpp) ---
    uint32_t spawnLocked(const ProcessSpec& plan, std::vector<std::function<void()>>& exits);
    void endLocked(Process& process, uint32_t exitCode, std::vector<std::function<void()>>& exits);
    static void runExits(std::vector<std::function<void()>>& exits, Lock& lock);
    std::string processNameLocked(const ProcessHandle& handle) const;
    std::string processNameLocked(uint32_t pid) const;
    Process* processOfLocked(const ProcessHandle& handle);
    uint64_t jobOfLocked(const JobHandle& handle) const;
    // A file of the directory was created, written or removed: its watches are signaled.
    void fileChangedLocked(const std::string& lowerPath);
    // Whether a wait on the handle would end now; an event it ends is reset.
    bool signaledLocked(uintptr_t handle, bool consume);
    // Files and directories by their pathKey.
    bool fileExistsLocked(const std::string& key) const;
    bool directoryExistsLocked(const std::string& key) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;

    // Calls and faults.
    uint64_t calls_ = 0;
    std::vector<uint64_t> callsPerOp_;
    std::vector<Call> callRecords_;
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
    std::function<ErrorCode(const std::string&)> stopHandler_;

    // The service process and its threads.
    std::map<std::thread::id, SimThread> threads_;  // the service process's threads, and outside waiters
    std::optional<std::thread::id> turn_;           // the thread whose turn it is
    bool movingClock_ = false;                      // time passes: nobody's turn meanwhile
    uint64_t turnSequence_ = 0;
    std::vector<std::thread> started_;              // threads the platform started, joined at shutdown
    bool processRunning_ = false;
    bool processEnded_ = false;
    std::optional<int> processExitStatus_;

    // Service side.
    bool launchedByManager_ = false;
    std::vector<std::string> startArguments_;
    std::vector<std::string> serviceArgs_;
    std::vector<char*> serviceArgv_;
    std::string dispatcherService_;
    bool dispatcherRunning_ = false;
    bool serviceMainRunning_ = false;
    std::vector<uint32_t> controlQueue_;
    uint64_t controlsQueued_ = 0;     // controls sent to the service so far
    uint64_t controlsDelivered_ = 0;  // of them, those whose handler has returned (in order)
    std::set<uint64_t> lostReplies_;  // controls whose sender never hears back
    bool stoppedReported_ = false;
    bool handlerRunning_ = false;
    ControlHandler handler_;
    std::string handlerService_;
    // The status the service had reported when the handler of each control returned.
    std::map<uint64_t, ServiceStatus> answeredStatus_;
    StatusHandle statusHandle_ = 0;  // the last one handed out
    std::vector<StatusReport> reports_;
    std::vector<ControlAnswer> answers_;
    std::map<EventSource, std::string> eventSources_;
    std::vector<Event> events_;

    // Processes.
    std::map<uint32_t, Process> processes_;
    uint32_t nextPid_ = 1000;
    uint64_t nextJob_ = 1;
    std::map<std::string, uint64_t> namedJobs_;  // lower-case name -> job
    std::map<std::string, uintptr_t> mutexOwners_;  // named mutexes owned now, by the handle that owns them
    bool jobsWork_ = true;
    Launcher launcher_;
    std::function<void(const Event&)> eventHook_;
    std::vector<Launch> launches_;
    uint32_t osMajor_ = 6;
    uint32_t currentPid_ = 4;
    uint32_t codePage_ = 65001;
    bool commandLineFits_ = true;

    // Files.
    std::set<std::string> directories_;         // made ones, lower-case, without a closing separator
    std::map<std::string, std::string> files_;  // keyed by lower-case path
    std::map<std::string, uint64_t> fileTimes_;  // last write times, keyed by lower-case path
    std::vector<std::unique_ptr<AppendCookie>> cookies_;

    // Clock.
    uint64_t nowMs_ = 0;
    uint64_t uptimeAtStartMs_ = 3600000;
    // 2026-12-08 00:00 UTC, in milliseconds since 1601.
    uint64_t systemTimeAtStartMs_ = 13441161600000;
    bool realPauses_ = true;
    bool shuttingDown_ = false;
    std::atomic<bool> hangDetected_{false};
};

}  // namespace vornel
