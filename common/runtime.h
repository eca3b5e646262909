// The host's account of itself, as the tools read it: the values of the service's Runtime key
// beside what the service manager says of the service at the same moment.
//
// The host writes the Runtime key at every change while its service runs and leaves its last
// values there once the service has stopped (the key is volatile: it is gone after a reboot).
// A tool takes the values as the running host's only while the key's HostPid is the process
// that the service manager names for the service and that process lives; values left by an
// earlier run, or by a host that has died, say nothing about the service as it is now.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace vornel {

// Every value of the Runtime key, each absent when it cannot be read.
struct RuntimeValues {
    std::optional<std::string> hostPid;
    std::optional<std::string> phase;
    std::optional<std::string> agentPid;
    std::optional<std::string> agentSince;
    std::optional<std::string> starts;
    std::optional<std::string> lastExit;
    std::optional<std::string> restartAt;
    std::optional<std::string> outcome;
    std::optional<uint64_t> lastWrite;  // when the key was last written (system time); absent when unknown
};

// The values, read through one open of the key and without a trace line per value; all
// absent when the key cannot be opened.
RuntimeValues readRuntimeValues(Platform& os, const std::string& fullServiceName);

// A service at one moment: its status, its process and the host's values.
struct ServiceView {
    ServiceStatus status;
    uint32_t processId = 0;  // 0: no process (stopped)
    RuntimeValues runtime;
    bool current = false;  // the values are those of the host that runs now
};

// Queries the service (an open handle with SERVICE_QUERY_STATUS) and reads its Runtime key;
// the error of the status query, 0 when the view was taken.
ErrorCode lookAtService(Platform& os, const ScHandle& service, const std::string& fullServiceName,
                        ServiceView& view);

// A pid as the host writes it: decimal digits only, not 0, within 32 bits; absent otherwise.
std::optional<uint32_t> parsePid(const std::optional<std::string>& text);

// Whether a process of this pid runs: it can be waited for and has not ended, or it exists
// but may not be opened.
bool processAlive(Platform& os, uint32_t pid);

// The pid of the agent that the running host supervises: the service runs, its host's Phase is
// "supervising" and the AgentPid names a live process. Absent otherwise.
std::optional<uint32_t> supervisedAgent(Platform& os, const ServiceView& view);

// What the service is doing, in words: the running host's Phase, else the state's word.
std::string activityOf(const ServiceView& view);

// A time as the host writes it, "2026-12-09 02:11:05 UTC", in milliseconds since 1601 as
// systemTime counts; absent for any other text.
std::optional<uint64_t> parseSystemTime(const std::string& text);

// A length of time in words, to the second: "42 s", "5 min 3 s", "2 h 5 min", "3 d 4 h".
std::string formatDuration(uint64_t milliseconds);

}  // namespace vornel
