// The info tool's questions about a service as it runs: its details (the service manager's
// status beside its host's Runtime values), the pid of the agent it supervises, and the
// installer command line that recreates it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vornel {

// Exit statuses of -getservicedetails, beside -1 (no service manager, or the query failed) and
// 3 (the service cannot be opened).
inline constexpr int kDetailsAgentSupervised = 0;
inline constexpr int kDetailsStopped = 1;
inline constexpr int kDetailsOtherState = 2;

// Prints one "Key: value" line for each detail that has a value and returns the exit status.
int serviceDetails(Platform& os, const std::string& shortName);

// "Agent Pid - <pid>", or "<null>" when no agent is supervised (or the service cannot be asked);
// always 0.
int agentPidAnswer(Platform& os, const std::string& shortName);

// Prints the installer command line that recreates the service as it is stored, and returns 0;
// 3 when the service cannot be opened, -1 when its settings cannot be read.
int installCommand(Platform& os, const std::string& shortName);

// The open step of these questions, traced under the routine's name: 0 with both handles
// open; -1 when the manager cannot be opened; 3 when the service cannot be, after the
// open-failure report when report is true.
int openForQuestion(Platform& os, const char* routine, const std::string& fullServiceName, uint32_t access,
                    bool report, ScHandle& manager, ScHandle& service);

}  // namespace vornel
