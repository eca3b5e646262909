// A service's host as the tools see it, on the in-memory Windows: a live process that the
// service manager names for the service, and the values it writes into the service's Runtime
// key. The tests of the tools that wait for a service or ask about it say what the host writes,
// and when, instead of running one:
//
//     HostRuntime host(os);
//     at(os, 300, [&] { host.start(); });
//     at(os, 1200, [&] { agent = host.supervise(); });
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "common/registry.h"
#include "tests/memory/memory_platform.h"

namespace vornel::testing {

// Runs the action when the virtual clock has moved on by ms from now: a process that ends then,
// as something happening on the machine while a tool waits.
inline void at(MemoryPlatform& os, uint64_t ms, std::function<void()> action) {
    MemoryPlatform::ProcessSpec moment;
    moment.runsForMs = ms;
    moment.onExit = std::move(action);
    moment.name = "moment";
    os.spawnProcess(moment);
}

class HostRuntime {
public:
    explicit HostRuntime(MemoryPlatform& os, std::string fullName) : os_(os), fullName_(std::move(fullName)) {}

    // The host's process runs the service in the state given and writes HostPid and the phase.
    HostRuntime& start(const std::string& phase = kPhaseStarting, uint32_t state = win::kServiceRunning) {
        pid_ = os_.spawnProcess(MemoryPlatform::ProcessSpec{});
        os_.setServiceState(fullName_, state);
        os_.setServiceExitCodes(fullName_, 0, 0);
        os_.setServiceProcessId(fullName_, pid_);
        return write(kRuntimeHostPid, std::to_string(pid_)).write(kRuntimePhase, phase);
    }
    // A new agent supervised since the given time: its pid.
    uint32_t supervise(const std::string& since = "2026-12-08 00:00:00 UTC") {
        const uint32_t agent = os_.spawnProcess(MemoryPlatform::ProcessSpec{});
        write(kRuntimePhase, kPhaseSupervising).write(kRuntimeAgentPid, std::to_string(agent));
        write(kRuntimeAgentSince, since);
        return agent;
    }
    HostRuntime& write(const std::string& name, const std::string& value) {
        os_.setString(runtimeKeyPath(fullName_), name, value);
        return *this;
    }
    // The host records the outcome, reports stopped with the exit codes, and its process ends.
    void stop(const std::string& outcome, uint32_t win32ExitCode = 0, uint32_t serviceSpecificExitCode = 0) {
        write(kRuntimePhase, kPhaseStopped).write(kRuntimeOutcome, outcome);
        os_.setServiceState(fullName_, win::kServiceStopped);
        os_.setServiceExitCodes(fullName_, win32ExitCode, serviceSpecificExitCode);
        os_.endProcess(pid_);
    }
    uint32_t pid() const { return pid_; }

private:
    MemoryPlatform& os_;
    std::string fullName_;
    uint32_t pid_ = 0;
};

}  // namespace vornel::testing
