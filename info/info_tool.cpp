#include "info/info_tool.h"

#include <cstddef>

#include "common/command_line.h"
#include "common/naming.h"
#include "common/options.h"
#include "common/service_control.h"
#include "common/trace.h"
#include "info/info_lookups.h"
#include "info/service_details.h"

namespace vornel {
namespace {

// The questions, in the order in which the first present one is taken.
constexpr InfoOptions::Option kQuestions[] = {
    InfoOptions::GetServiceStatus, InfoOptions::GetAgentName,      InfoOptions::GetAgentHome,
    InfoOptions::GetServiceLogRoot, InfoOptions::GetServiceName,   InfoOptions::GetServiceDetails,
    InfoOptions::GetAgentPid,       InfoOptions::GetInstallCommand};

void printUsage(const OptionTable& table) {
    writeOut("\r\nUsage: VornelAgentServiceInfo.exe (with no arguments displays this help)");
    writeOut("\r\n          -%s <service name>", table.entries[InfoOptions::GetServiceStatus].name);
    writeOut("\r\n          -%s <service name>", table.entries[InfoOptions::GetServiceLogRoot].name);
    writeOut("\r\n          -%s <service name>", table.entries[InfoOptions::GetAgentName].name);
    writeOut("\r\n          -%s <service name>", table.entries[InfoOptions::GetAgentHome].name);
    writeOut("\r\n          -%s -%s <agent name> -%s <agent home>", table.entries[InfoOptions::GetServiceName].name,
             table.entries[InfoOptions::AgentName].name, table.entries[InfoOptions::AgentHome].name);
    writeOut("\r\n          -%s <service name>", table.entries[InfoOptions::GetServiceDetails].name);
    writeOut("\r\n          -%s <service name>", table.entries[InfoOptions::GetAgentPid].name);
    writeOut("\r\n          -%s <service name>", table.entries[InfoOptions::GetInstallCommand].name);
}

// Opens the manager and the service, queries the state and prints it; the handles are closed
// (service, then manager) before the caller traces the outcome.
int queryAndPrintStatus(Platform& os, const std::string& fullServiceName) {
    ScHandle manager;
    if (openServiceManager(os, manager) != win::kErrorSuccess) {
        traceMessage("VornelAgentServiceInfo.serviceStatus: could not open service manager");
        return kStatusFailed;
    }
    traceMessage("VornelAgentServiceInfo.serviceStatus: service manager successfully openned");
    ScHandle service;
    if (ErrorCode rc = openServiceByName(os, manager, fullServiceName, kInfoToolServiceAccess, service)) {
        traceMessage("VornelAgentServiceInfo.serviceStatus: could not open service");
        reportOpenServiceFailure(os, fullServiceName, rc);
        return kStatusNotRegistered;
    }
    traceMessage("VornelAgentServiceInfo.serviceStatus: service %s successfully openned", fullServiceName.c_str());
    ServiceStatus status;
    ErrorCode rc = os.queryServiceStatus(service, status);
    if (rc == win::kErrorSuccess) {
        traceMessage("VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned true");
        writeOut("%s\n", serviceStateText(status.dwCurrentState));
        traceMessage("VornelAgentServiceInfo.serviceStatus: current state = %d",
                     static_cast<int>(status.dwCurrentState));
        return statusRCForServiceStatus(status.dwCurrentState);
    }
    traceMessage("VornelAgentServiceInfo.serviceStatus: QueryServiceStatus returned false");
    reportStatusQueryFailure("serviceStatus", rc);
    return kStatusFailed;
}

// One answer line, without a line end: the label and the value, the empty text or "<null>".
int answer(const char* label, const LookupResult& result) {
    writeOut("%s - %s", label, shownText(result));
    return 0;
}

int answerQuestion(Platform& os, const OptionTable& table, InfoOptions::Option question) {
    switch (question) {
        case InfoOptions::GetServiceStatus:
            return serviceStatus(os, getOptionValue(table, InfoOptions::GetServiceStatus));
        case InfoOptions::GetAgentName:
            return answer("Agent Name", getAgentName(os, getOptionValue(table, InfoOptions::GetAgentName)));
        case InfoOptions::GetAgentHome:
            return answer("Agent Home", getAgentHome(os, getOptionValue(table, InfoOptions::GetAgentHome)));
        case InfoOptions::GetServiceLogRoot:
            return answer("Service Log Root",
                          getServiceLogRoot(os, getOptionValue(table, InfoOptions::GetServiceLogRoot)));
        case InfoOptions::GetServiceName:
            if (!isOptionSet(table, InfoOptions::AgentName)) {
                reportMissingAgentName(Console::Out);
                printUsage(table);
                return -1;
            }
            if (!isOptionSet(table, InfoOptions::AgentHome)) {
                writeOut("Required argument [-agenthome] not specified!");
                printUsage(table);
                return -1;
            }
            return answer("Service Name", getServiceName(os, getOptionValue(table, InfoOptions::AgentName),
                                                         getOptionValue(table, InfoOptions::AgentHome)));
        case InfoOptions::GetServiceDetails:
            return serviceDetails(os, getOptionValue(table, InfoOptions::GetServiceDetails).value_or(std::string()));
        case InfoOptions::GetAgentPid:
            return agentPidAnswer(os, getOptionValue(table, InfoOptions::GetAgentPid).value_or(std::string()));
        case InfoOptions::GetInstallCommand:
            return installCommand(os, getOptionValue(table, InfoOptions::GetInstallCommand).value_or(std::string()));
        default:  // not a question: as when none is asked
            printUsage(table);
            return 0;
    }
}

}  // namespace

void reportStatusQueryFailure(const char* routine, ErrorCode rc) {
    switch (rc) {
        case win::kErrorAccessDenied:
            traceMessage("VornelAgentServiceInfo.%s: last error = Access Denied", routine);
            writeOut("Failed to get status: Access Denied");
            break;
        case win::kErrorInvalidHandle:
            traceMessage("VornelAgentServiceInfo.%s: last error = Invalid Handle ", routine);
            writeOut("Failed to get status: Invalid Handle");
            break;
        default:
            traceMessage("VornelAgentServiceInfo.%s: unknown last error ", routine);
            writeOut("Failed to get status: Unknown reason");
            break;
    }
}

int statusRCForServiceStatus(uint32_t state) {
    traceMessage("VornelAgentServiceInfo.statusRCForServiceStatus - entry  sstat = %d", static_cast<int>(state));
    traceMessage("VornelAgentServiceInfo.statusRCForServiceStatus - exit  rc = %d", kStatusObtained);
    return kStatusObtained;
}

int serviceStatus(Platform& os, const std::optional<std::string>& shortName) {
    int rc = kStatusFailed;
    traceMessage("VornelAgentServiceInfo.serviceStatus: entry - service name = %s", orNull(shortName));
    if (!shortName) {
        traceMessage("VornelAgentServiceInfo.serviceStatus: entry - service name = null - returning not registered");
        rc = kStatusNotRegistered;
    } else {
        rc = queryAndPrintStatus(os, getFullServiceName(shortName));
    }
    traceMessage("VornelAgentServiceInfo.serviceStatus: exit - rc = %d", rc);
    return rc;
}

int vornelAgentServiceInfoMain(Platform& os, int argc, char** argv) {
    OptionTable table = optionTableOf<InfoOptions>();
    std::optional<std::string> unknown;
    if (!readCommandLine(table, argc, argv, InfoOptions::Debug, unknown)) {
        printUsage(table);
        return -1;
    }
    traceParameters("VornelAgentServiceInfo.main", argc, argv);
    traceMessage("Processed parameters, unknown params: %s", orNull(unknown));
    if (isOptionSet(table, InfoOptions::Help)) {
        printUsage(table);
        return 0;
    }
    for (InfoOptions::Option question : kQuestions) {
        if (!isOptionSet(table, question)) continue;
        if (unknown) {
            reportUnrecognizedParameters(*unknown);
            printUsage(table);
            return -1;
        }
        return answerQuestion(os, table, question);
    }
    printUsage(table);
    return 0;
}

}  // namespace vornel
