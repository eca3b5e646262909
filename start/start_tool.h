// StartVornelAgentService: brings the service host's trace settings up to date and asks the
// service control manager to start the service. It does not wait for the running state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel {

// The tool's options: their positions and their table (optionTableOf<StartOptions>()).
struct StartOptions {
    enum Option : size_t { ServiceName, Userid, Password, Help, Debug, ServiceTrace, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Userid, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {Help, "help", 0},
        {Debug, "debug", 0},
        {ServiceTrace, "servicetrace", OPTION_VALUE_REQUIRED},
    };
};

// The program: 0 after the usage for -help or when the manager accepted the start, -1 for an
// unusable command line or a failed start.
int startVornelAgentServiceMain(Platform& os, int argc, char** argv);

// Completes the trace settings, then starts the service without arguments. The extra-parameters
// line is only traced. 0 when the manager accepted the start, else -1.
int startService(Platform& os, const std::string& serviceName, const std::optional<std::string>& extraParams,
                 const std::optional<std::string>& serviceTrace);

// Fills in missing trace-file paths under the stored AgentLogRoot and stores the service trace
// ("on" or "off") as DebugTrace, or "off" when DebugTrace does not exist and none is given.
// Existing trace-file paths are kept. Nothing is stored when the Parameters key does not exist.
void setServiceTrace(Platform& os, const std::string& fullServiceName, const std::optional<std::string>& serviceTrace);

}  // namespace vornel
