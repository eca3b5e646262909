// UninstallVornelAgentService: removes a stopped service and then its event-log source.
#pragma once

#include <cstddef>
#include <string>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel {

// The tool's options: their positions and their table (optionTableOf<UninstallOptions>()).
struct UninstallOptions {
    enum Option : size_t { ServiceName, Help, Debug, Count };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {Help, "help", 0},
        {Debug, "debug", 0},
    };
};

// The program: -1 for an unusable command line; 0 once the command line is accepted, whatever
// the outcome of the removal, which the printed lines tell.
int uninstallVornelAgentServiceMain(Platform& os, int argc, char** argv);

// Deletes the service when the manager reports it stopped, then its event-log source key.
// Every outcome is reported on the console.
void removeService(Platform& os, const std::string& serviceName);

// Deletes the service's event-log source key. False when the parent key cannot be opened or
// the deletion fails.
bool unregisterEventLog(Platform& os, const std::string& fullServiceName);

}  // namespace vornel
