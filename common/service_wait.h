// Waiting for a service to reach what a tool's -wait asks for, looking at it a few times a
// second: its status and process from the service manager, and its host's Runtime values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/options.h"
#include "common/runtime.h"
#include "platform/platform.h"

namespace vornel {

// How often a wait looks at the service: often enough that it answers within a quarter of a
// second of the change it waits for.
inline constexpr uint32_t kWaitPollMs = 100;

// The seconds a -wait option asks for: the default when it has no value; absent when its value
// is not one to nine decimal digits.
std::optional<uint32_t> waitSeconds(const std::optional<std::string>& value, uint32_t byDefault);

// "'%s' is not a valid argument for -wait.\n" on the error stream; the tool follows it with its
// usage text and -1.
void reportInvalidWait(const std::string& value);

// A tool's -wait option, at its position in the table: the seconds when it was given (the
// default without a value). False, after reportInvalidWait, for a value that is not seconds.
bool readWaitOption(const OptionTable& table, size_t position, uint32_t byDefault, std::optional<uint32_t>& seconds);

// How a wait ended.
enum class WaitEnd {
    Reached,    // the service reached what the wait was for
    Stopped,    // the service stopped first
    Restarted,  // another process runs the service: it stopped, and was started again, between two looks
    TimedOut,   // the time ran out
    Failed,     // the status could not be queried
};

struct ServiceWait {
    WaitEnd end = WaitEnd::Failed;
    ServiceView last;     // the last look at the service
    ServiceView earlier;  // Restarted: the last look while the earlier process ran it
    ErrorCode error = 0;  // Failed: the error of the status query
};

// Looks at the service (an open handle with SERVICE_QUERY_STATUS) at once and then every
// kWaitPollMs, until reached says so of a look, the service has stopped, another process runs
// it, or the seconds have passed (the last look is made then). Each time what it sees changes,
// it traces the state, the process, the phase and the agent's pid after the trace head.
ServiceWait waitForService(Platform& os, const ScHandle& service, const std::string& fullServiceName,
                           uint32_t seconds, const std::function<bool(const ServiceView&)>& reached,
                           const char* traceHead);

}  // namespace vornel
