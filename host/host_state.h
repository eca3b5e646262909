// What the service host's threads share, and the values its reports and events use.
//
// Two threads matter: the supervisor (the service main thread), which owns the host's state
// and makes every status report, and the control thread, on which the control handler runs.
// They share only the ControlInbox: the handler records a control there and returns at once;
// the supervisor takes it. One HostContext exists per run of the host; the handler holds the
// inbox through a shared_ptr, so a control that comes late never touches freed state.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vornel::host {

// Events the host reports (their texts live in the installation's message file).
inline constexpr uint32_t kEventStartCycle = 0x20000068;
inline constexpr uint32_t kEventStartScriptReturned = 0x20000067;
inline constexpr uint32_t kEventNoNewPid = 0x2000006D;
inline constexpr uint32_t kEventStopScriptFailed = 0x20000069;
inline constexpr uint32_t kEventStopTimedOut = 0x2000006E;
inline constexpr uint32_t kEventAgentEnded = 0x2000006F;
inline constexpr uint32_t kEventStartRefused = 0x20000070;
inline constexpr uint32_t kEventRestartDelayed = 0x20000071;
inline constexpr uint32_t kEventAgentNotStartedHere = 0x20000072;
inline constexpr uint32_t kEventAgentTakenBack = 0x20000073;
inline constexpr uint32_t kEventStartScriptNotRun = 0x20000074;

// The user-defined control that ends supervision without stopping the agent.
inline constexpr uint32_t PROCESS_STOP_SERVER = 128;

// The controls the host accepts whenever it takes stops: the stop, and the preshutdown
// notification, which it treats as a stop. While a restart waits it takes pause and continue too.
inline constexpr uint32_t kAcceptedControls = win::kServiceAcceptStop | win::kServiceAcceptPreshutdown;
inline constexpr uint32_t kAcceptedWhilePaused = kAcceptedControls | win::kServiceAcceptPauseContinue;

// The exit code of what the host ends by force.
inline constexpr uint32_t kForcedExitCode = 1;

// Wait hints of the pending states, in milliseconds.
inline constexpr uint32_t kStartWaitHint = 180000;
inline constexpr uint32_t kStopWaitHint = 40000;

// Service-specific exit codes: no pid file configured or no new pid in time; the start script
// could not be run; the agent is already running (plus its pid).
inline constexpr uint32_t kNoPidExitCode = 1;
// The start script could not be run (it cannot be launched, or no safe command line can be made).
inline constexpr uint32_t kStartScriptNotRunExitCode = 2;
inline constexpr uint32_t kAlreadyRunningExitCodeBase = 134217728;

// The controls the handler has recorded and the supervisor has not taken yet, with the event
// that wakes the supervisor. The handler's side may be called on any thread at any time.
class ControlInbox {
public:
    // Creates the event; without it the supervisor cannot be woken and runs nothing.
    ErrorCode open(Platform& os);
    // The handler: records the control and wakes the supervisor. NO_ERROR for a control the
    // host takes, ERROR_CALL_NOT_IMPLEMENTED for one it does not (it is still recorded, so
    // that the trace shows it).
    uint32_t post(uint32_t control);
    // The supervisor: every control recorded so far, in order.
    std::vector<uint32_t> take();
    const EventHandle& event() const { return event_; }

    // Handlers running now, and whether any has run: the entry waits for their answers before
    // the process ends (waitForControlAnswers).
    std::atomic<int> handlersRunning{0};
    std::atomic<bool> controlHandled{false};

private:
    Platform* os_ = nullptr;
    EventHandle event_;
    std::mutex mutex_;
    std::deque<uint32_t> controls_;
};

struct HostContext {
    explicit HostContext(Platform& platform) : os(platform), inbox(std::make_shared<ControlInbox>()) {}
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;

    Platform& os;
    // Written by the entry before the service main thread exists; only read afterwards.
    EventSource eventSource = 0;
    std::shared_ptr<ControlInbox> inbox;
    // Written by the service main before the supervisor runs.
    StatusHandle statusHandle = 0;
    JobHandle job;  // what the host launches belongs to it; not valid when none could be created
};

// Reports one event with its insertion strings, unless no event source could be registered.
void reportHostEvent(HostContext& host, uint16_t type, uint32_t eventId, const std::vector<std::string>& insertions);

// Flushes the console and error output, so that what the host wrote reaches its files even
// when the process ends right after a stopped report.
void flushConsole();

// The trace's separator lines: 81 of the character.
void traceSeparator(char c);

}  // namespace vornel::host
