// StartVornelAgentService: brings the service host's trace settings up to date and asks the
// service control manager to start the service. With -wait it then waits until the host
// supervises an agent, the service stops, or the time runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel {

// The tool's options: their positions and their table (optionTableOf<StartOptions>()).
struct StartOptions {
    enum Option : size_t { ServiceName, Userid, Password, Help, Debug, ServiceTrace, Wait, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Userid, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {Help, "help", 0},
        {Debug, "debug", 0},
        {ServiceTrace, "servicetrace", OPTION_VALUE_REQUIRED},
        {Wait, "wait", OPTION_VALUE_OPTIONAL},
    };
};

// How long -wait waits without a value.
inline constexpr uint32_t kStartWaitSeconds = 120;

// Exit statuses of a start that waits, beside 0 (the agent runs) and -1 (the start failed).
inline constexpr int kStartServiceStopped = 1;  // the service stopped before an agent ran
inline constexpr int kStartTimedOut = 2;        // no agent ran within the time

// The program: 0 after the usage for -help or when the manager accepted the start, -1 for an
// unusable command line or a failed start.
int startVornelAgentServiceMain(Platform& os, int argc, char** argv);

// Completes the trace settings, then starts the service without arguments. The extra-parameters
// line is only traced. 0 when the manager accepted the start, else -1. With the seconds of a
// wait: then waits for the agent, and gives 0 once it runs (also for a service whose host
// already supervised its agent), kStartServiceStopped or kStartTimedOut.
int startService(Platform& os, const std::string& serviceName, const std::optional<std::string>& extraParams,
                 const std::optional<std::string>& serviceTrace, std::optional<uint32_t> waitSeconds = std::nullopt);

// Fills in missing trace-file paths under the stored AgentLogRoot and stores the service trace
// ("on" or "off") as DebugTrace, or "off" when DebugTrace does not exist and none is given.
// Existing trace-file paths are kept. Nothing is stored when the Parameters key does not exist.
void setServiceTrace(Platform& os, const std::string& fullServiceName, const std::optional<std::string>& serviceTrace);

}  // namespace vornel
