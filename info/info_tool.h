// The info tool VornelAgentServiceInfo: one question per run, answered on standard output
// for scripts. The status query also answers through the exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/options.h"
#include "platform/types.h"
#include "platform/platform.h"

namespace vornel {

// The tool's options: their positions and their table (optionTableOf<InfoOptions>()).
struct InfoOptions {
    enum Option : size_t {
        ServiceName,  // accepted, read by no step
        AgentName,
        AgentHome,
        GetServiceStatus,
        GetServiceName,
        GetServiceLogRoot,
        GetAgentName,
        GetAgentHome,
        Help,
        Debug,
        GetServiceDetails,
        GetAgentPid,
        GetInstallCommand,
        Count
    };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {AgentName, "agentname", OPTION_VALUE_REQUIRED},
        {AgentHome, "agenthome", OPTION_VALUE_REQUIRED},
        {GetServiceStatus, "getservicestatus", OPTION_VALUE_REQUIRED},
        {GetServiceName, "getservicename", 0},
        {GetServiceLogRoot, "getservicelogroot", OPTION_VALUE_REQUIRED},
        {GetAgentName, "getagentname", OPTION_VALUE_REQUIRED},
        {GetAgentHome, "getagenthome", OPTION_VALUE_REQUIRED},
        {Help, "help", 0},
        {Debug, "debug", 0},
        {GetServiceDetails, "getservicedetails", OPTION_VALUE_REQUIRED},
        {GetAgentPid, "getagentpid", OPTION_VALUE_REQUIRED},
        {GetInstallCommand, "getinstallcommand", OPTION_VALUE_REQUIRED},
    };
};

// Exit statuses of the status query.
inline constexpr int kStatusObtained = 2;       // whatever the state
inline constexpr int kStatusNotRegistered = 3;  // the service cannot be opened, or no name
inline constexpr int kStatusFailed = -1;        // no service manager, or the query failed

// Prints the state of the service with this short name (or why it could not be obtained)
// and returns one of the exit statuses above.
int serviceStatus(Platform& os, const std::optional<std::string>& shortName);

// The answer to a status query that failed, by its error code: "Failed to get status: Access
// Denied", "... Invalid Handle" or "... Unknown reason" on the output stream, without a line
// end, and its trace line under the routine's name.
void reportStatusQueryFailure(const char* routine, ErrorCode rc);

// The exit status for a state that has been obtained: the same for every state, so scripts
// tell states apart by the printed sentence.
int statusRCForServiceStatus(uint32_t state);

// The program: argc and argv as main receives them; returns the exit status.
int vornelAgentServiceInfoMain(Platform& os, int argc, char** argv);

}  // namespace vornel
