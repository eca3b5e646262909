// The state the service host's threads share: the service main thread (supervision loop,
// start script), the control thread (the control handler) and, during a stop, the stop
// thread (stop script, the wait for what the host launched).
//
// The status record and what the threads decide by are changed under one lock, and each
// report sends the record as its own thread's change left it; the flags the loop reads are
// atomic. The lock is never held across a platform call. One HostContext exists per run of
// the host, owned through a shared_ptr that the service main, the control handler and the stop
// thread hold, so a thread that outlives the dispatcher never touches freed state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "platform/platform.h"

namespace vornel::host {

// Events the host reports (their texts live in the installation's message file).
inline constexpr uint32_t kEventStartCycle = 0x20000068;
inline constexpr uint32_t kEventStartScriptReturned = 0x20000067;
inline constexpr uint32_t kEventNoNewPid = 0x2000006D;
inline constexpr uint32_t kEventStopScriptFailed = 0x20000069;
inline constexpr uint32_t kEventStopTimedOut = 0x2000006E;

// The user-defined control that ends supervision without stopping the agent.
inline constexpr uint32_t PROCESS_STOP_SERVER = 128;

// The controls the host declares whenever it accepts stops: the stop, and the preshutdown
// notification, which it treats as a stop.
inline constexpr uint32_t kAcceptedControls = win::kServiceAcceptStop | win::kServiceAcceptPreshutdown;

// Wait hints of the reports, in milliseconds.
inline constexpr uint32_t kStartWaitHint = 180000;
inline constexpr uint32_t kServiceMainWaitHint = 60000;
inline constexpr uint32_t kControlWaitHint = 40000;

// Service-specific exit codes: no pid file configured or no new pid in time; the agent is
// already running (plus its pid).
inline constexpr uint32_t kNoPidExitCode = 1;
inline constexpr uint32_t kAlreadyRunningExitCodeBase = 134217728;

// Where the service stands with a stop: none asked for, one under way (it alone changes the
// state from then on), or stopped reported (nothing is reported or launched any more).
enum class StopPhase { None, UnderWay, Reported };

// Who makes a report: while a stop is under way, the service main's reports are left out and
// no one but the stop changes the state.
enum class Reporter { Anyone, ServiceMain, Stop };

// What the threads decide by, changed under the host's lock together with the status record.
struct SharedState {
    StopPhase stop = StopPhase::None;
    uint64_t stopAskedAtMs = 0;            // tick count of the stop control
    bool startScriptRunning = false;       // the service main has launched its start script and waits for it
    std::optional<uint32_t> startScriptPid;  // the start script's process, while it is waited for
    std::optional<uint32_t> stopScriptPid;   // the stop script's process, while it is waited for
    std::optional<uint32_t> agentPid;      // the agent the service main supervises
    bool everyScriptInJob = true;          // false once a script could not be put into the job
};

class HostContext : public std::enable_shared_from_this<HostContext> {
    struct Private {};

public:
    // Always owned by a shared_ptr: the service main hands it on to the control handler.
    static std::shared_ptr<HostContext> create(Platform& platform) {
        return std::make_shared<HostContext>(Private{}, platform);
    }
    HostContext(Private, Platform& platform) : os(platform) {}
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;

    Platform& os;

    // Written by the entry before the service main thread exists; only read afterwards.
    EventSource eventSource = 0;

    std::atomic<bool> doRestartServer{true};
    std::atomic<bool> stopRequested{false};          // set by the stop control only, never cleared
    std::atomic<uint32_t> reportedState{win::kServiceRunning};  // what an interrogation reports
    // Control handlers running now, and whether any has run: the entry waits for their
    // answers before the process ends (waitForControlAnswers).
    std::atomic<int> handlersRunning{0};
    std::atomic<bool> controlHandled{false};

    // Applies the change to the status record (and to the shared state) under the lock, and
    // reports the record as the change left it. The report itself is made after the lock is
    // released: a stopped report may wait until a running control handler returns (Wine's
    // dispatcher holds its own lock meanwhile), and that handler needs this lock for its own
    // reports. Once stopped has been reported nothing more is; while a stop is under way the
    // service main's reports are left out and only the stop changes the state. The change may
    // trace; it must not call back into the context.
    template <class Change>
    ErrorCode report(Change&& change, Reporter who = Reporter::Anyone) {
        ServiceStatus snapshot;
        StatusHandle handle = 0;
        StopPhase phaseBefore = StopPhase::None;
        uint64_t sequence = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (shared_.stop == StopPhase::Reported) return win::kErrorSuccess;
            if (shared_.stop == StopPhase::UnderWay && who == Reporter::ServiceMain) return win::kErrorSuccess;
            const uint32_t stateBefore = hostStatus_.dwCurrentState;
            const bool underWay = shared_.stop == StopPhase::UnderWay;
            apply(change, hostStatus_, shared_);
            if (underWay && who != Reporter::Stop) hostStatus_.dwCurrentState = stateBefore;
            phaseBefore = underWay ? StopPhase::UnderWay : shared_.stop;
            if (hostStatus_.dwCurrentState == win::kServiceStopped) shared_.stop = StopPhase::Reported;
            snapshot = hostStatus_;
            handle = statusHandle_;
            sequence = ++reports_;
        }
        const ErrorCode rc = os.setServiceStatus(handle, snapshot);
        if (rc != win::kErrorSuccess && snapshot.dwCurrentState == win::kServiceStopped) {
            // The service manager has not heard of it: stopped is not reported yet, and may be
            // reported again (by the next stop control, or the stop's next attempt).
            std::lock_guard<std::mutex> lock(mutex_);
            if (reports_ == sequence && shared_.stop == StopPhase::Reported) shared_.stop = phaseBefore;
        }
        return rc;
    }

    // Applies the change without reporting it.
    template <class Change>
    void update(Change&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        apply(change, hostStatus_, shared_);
    }

    ServiceStatus status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return hostStatus_;
    }

    SharedState shared() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return shared_;
    }

    StopPhase stopPhase() const { return shared().stop; }

    void setStatusHandle(StatusHandle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        statusHandle_ = handle;
    }

    void setStopServiceName(std::optional<std::string> name) {
        std::lock_guard<std::mutex> lock(mutex_);
        stopServiceName_ = std::move(name);
    }

    std::optional<std::string> stopServiceName() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopServiceName_;
    }

    // The job that holds what the host launches; null when none could be created.
    void setJob(JobHandle job) {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = std::make_shared<JobHandle>(std::move(job));
    }
    std::shared_ptr<const JobHandle> job() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return job_;
    }

    // The service main's claim to launch its start script: refused once a stop is under way or
    // stopped has been reported. While the claim holds, a stop waits for the script.
    bool claimStartScript() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shared_.stop != StopPhase::None) return false;
        shared_.startScriptRunning = true;
        return true;
    }
    void startScriptEnded() {
        std::lock_guard<std::mutex> lock(mutex_);
        shared_.startScriptRunning = false;
        shared_.startScriptPid.reset();
    }

    // The script the host waits for now, so that a forced end can end it by its pid.
    void setScriptPid(bool start, std::optional<uint32_t> pid) {
        std::lock_guard<std::mutex> lock(mutex_);
        (start ? shared_.startScriptPid : shared_.stopScriptPid) = pid;
    }

    void setAgentPid(std::optional<uint32_t> pid) {
        std::lock_guard<std::mutex> lock(mutex_);
        shared_.agentPid = pid;
    }

    void scriptOutsideJob() {
        std::lock_guard<std::mutex> lock(mutex_);
        shared_.everyScriptInJob = false;
    }

private:
    template <class Change>
    static void apply(Change& change, ServiceStatus& status, SharedState& shared) {
        if constexpr (std::is_invocable_v<Change&, ServiceStatus&, SharedState&>) {
            change(status, shared);
        } else {
            change(status);
        }
    }

    mutable std::mutex mutex_;
    ServiceStatus hostStatus_;  // all fields 0 at start
    SharedState shared_;
    StatusHandle statusHandle_ = 0;
    std::optional<std::string> stopServiceName_;
    std::shared_ptr<JobHandle> job_;
    uint64_t reports_ = 0;  // reports made so far
};

// Reports one event with the insertion string, unless no event source could be registered.
void reportHostEvent(HostContext& host, uint16_t type, uint32_t eventId, const std::string& insertion);

// Flushes the console and error output, so that what the host wrote reaches its files even
// when the process ends right after a stopped report.
void flushConsole();

}  // namespace vornel::host
