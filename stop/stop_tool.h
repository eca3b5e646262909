// StopVornelAgentService: asks the service control manager to send the service the stop
// control, and ends at once, or with -wait once the service has stopped or the time has run out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel {

// The tool's options: their positions and their table (optionTableOf<StopOptions>()).
struct StopOptions {
    enum Option : size_t { ServiceName, Userid, Password, Help, Debug, Wait, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Userid, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {Help, "help", 0},
        {Debug, "debug", 0},
        {Wait, "wait", OPTION_VALUE_OPTIONAL},
    };
};

// How long -wait waits without a value.
inline constexpr uint32_t kStopWaitSeconds = 90;

// Exit status of a stop that waited and found the service still not stopped.
inline constexpr int kStopTimedOut = 2;

// The program: 0 after the usage for -help or when the manager accepted the stop control, -1
// for an unusable command line or a failed stop.
int stopVornelAgentServiceMain(Platform& os, int argc, char** argv);

// Sends the stop control to the service. The extra-parameters line is only traced. 0 when the
// manager accepted the control, else -1. With the seconds of a wait: then waits until the
// service has stopped (0) or the time has run out (kStopTimedOut); a service that is stopped
// already, or stopping, is waited for instead of refused.
int stopService(Platform& os, const std::string& serviceName, const std::optional<std::string>& extraParams,
                std::optional<uint32_t> waitSeconds = std::nullopt);

}  // namespace vornel
