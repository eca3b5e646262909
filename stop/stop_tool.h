// StopVornelAgentService: asks the service control manager to send the service the stop
// control, and ends at once; it does not wait for the stopped state.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel {

// The tool's options: their positions and their table (optionTableOf<StopOptions>()).
struct StopOptions {
    enum Option : size_t { ServiceName, Userid, Password, Help, Debug, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Userid, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {Help, "help", 0},
        {Debug, "debug", 0},
    };
};

// The program: 0 after the usage for -help or when the manager accepted the stop control, -1
// for an unusable command line or a failed stop.
int stopVornelAgentServiceMain(Platform& os, int argc, char** argv);

// Sends the stop control to the service. The extra-parameters line is only traced. 0 when the
// manager accepted the control, else -1.
int stopService(Platform& os, const std::string& serviceName, const std::optional<std::string>& extraParams);

}  // namespace vornel
