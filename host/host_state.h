// The state the service host's two threads share: the dispatcher thread (control handler,
// stop script) and the service main thread (supervision loop, start script).
//
// The status record is changed under one lock and each report sends the record as its own
// thread's change left it; the flags are atomic. One HostContext exists per run of the
// host, owned through a shared_ptr that the service main and the control handler hold, so a
// service main that outlives the dispatcher never touches freed state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace vornel::host {

// Events the host reports (their texts live in the installation's message file).
inline constexpr uint32_t kEventStartCycle = 0x20000068;
inline constexpr uint32_t kEventStartScriptReturned = 0x20000067;
inline constexpr uint32_t kEventNoNewPid = 0x2000006D;
inline constexpr uint32_t kEventStopScriptFailed = 0x20000069;

// The user-defined control that ends supervision without stopping the agent.
inline constexpr uint32_t PROCESS_STOP_SERVER = 128;

// Wait hints of the reports, in milliseconds.
inline constexpr uint32_t kStartWaitHint = 180000;
inline constexpr uint32_t kServiceMainWaitHint = 60000;
inline constexpr uint32_t kControlWaitHint = 40000;

// Service-specific exit codes: no pid file configured or no new pid in time; the agent is
// already running (plus its pid).
inline constexpr uint32_t kNoPidExitCode = 1;
inline constexpr uint32_t kAlreadyRunningExitCodeBase = 134217728;

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
    // From a stop control in the running state until the stop script has failed to launch:
    // the end of the stop script reports the service stopped, not the service main. The
    // process may end at a stopped report; made from the service main while the handler still
    // runs, it would cut the handler off, and the stop would reach its sender as a failure.
    std::atomic<bool> stopScriptReportsStopped{false};
    std::atomic<uint32_t> reportedState{win::kServiceRunning};  // what an interrogation reports
    // Control handlers running now, and whether any has run: the entry waits for their
    // answers before the process ends (waitForControlAnswers).
    std::atomic<int> handlersRunning{0};
    std::atomic<bool> controlHandled{false};

    // Applies the change to the status record under the lock and reports the record as the
    // change left it. The report itself is made after the lock is released: a stopped report
    // may wait until a running control handler returns (Wine's dispatcher holds its own lock
    // meanwhile), and that handler needs this lock for its own reports.
    // The change may trace; it must not call back into the context.
    template <class Change>
    ErrorCode report(Change&& change) {
        ServiceStatus snapshot;
        StatusHandle handle = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            change(hostStatus_);
            snapshot = hostStatus_;
            handle = statusHandle_;
        }
        return os.setServiceStatus(handle, snapshot);
    }

    // Applies the change without reporting it.
    template <class Change>
    void update(Change&& change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(hostStatus_);
    }

    ServiceStatus status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return hostStatus_;
    }

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

private:
    mutable std::mutex mutex_;
    ServiceStatus hostStatus_;  // all fields 0 at start
    StatusHandle statusHandle_ = 0;
    std::optional<std::string> stopServiceName_;
};

// Reports one event with the insertion string, unless no event source could be registered.
void reportHostEvent(HostContext& host, uint16_t type, uint32_t eventId, const std::string& insertion);

// Flushes the console and error output, so that what the host wrote reaches its files even
// when the process ends right after a stopped report.
void flushConsole();

}  // namespace vornel::host
