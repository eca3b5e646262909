#include "info/info_tool.h"

#include <cstddef>

#include "common/naming.h"
#include "common/options.h"
#include "common/service_control.h"
#include "common/trace.h"
#include "info/info_lookups.h"

namespace vornel {
namespace {

// The option table's rows, in table order.
enum InfoOption : size_t {
    SERVICENAME,  // accepted, read by no step
    AGENTNAME,
    AGENTHOME,
    GETSERVICESTATUS,
    GETSERVICENAME,
    GETSERVICELOGROOT,
    GETAGENTNAME,
    GETAGENTHOME,
    HELP,
    DEBUG,
};

}  // namespace

OptionTable infoOptionTable() {
    return OptionTable{
        {"servicename", {}, OPTION_VALUE_REQUIRED},
        {"agentname", {}, OPTION_VALUE_REQUIRED},
        {"agenthome", {}, OPTION_VALUE_REQUIRED},
        {"getservicestatus", {}, OPTION_VALUE_REQUIRED},
        {"getservicename", {}, 0},
        {"getservicelogroot", {}, OPTION_VALUE_REQUIRED},
        {"getagentname", {}, OPTION_VALUE_REQUIRED},
        {"getagenthome", {}, OPTION_VALUE_REQUIRED},
        {"help", {}, 0},
        {"debug", {}, 0},
    };
}

namespace {

// The questions, in the order in which the first present one is taken.
constexpr InfoOption kQuestions[] = {GETSERVICESTATUS, GETAGENTNAME, GETAGENTHOME, GETSERVICELOGROOT, GETSERVICENAME};

void printUsage(const OptionTable& table) {
    writeOut("\r\nUsage: VornelAgentServiceInfo.exe (with no arguments displays this help)");
    writeOut("\r\n          -%s <service name>", table.entries[GETSERVICESTATUS].name);
    writeOut("\r\n          -%s <service name>", table.entries[GETSERVICELOGROOT].name);
    writeOut("\r\n          -%s <service name>", table.entries[GETAGENTNAME].name);
    writeOut("\r\n          -%s <service name>", table.entries[GETAGENTHOME].name);
    writeOut("\r\n          -%s -%s <agent name> -%s <agent home>", table.entries[GETSERVICENAME].name,
             table.entries[AGENTNAME].name, table.entries[AGENTHOME].name);
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
    switch (rc) {
        case win::kErrorAccessDenied:
            traceMessage("VornelAgentServiceInfo.serviceStatus: last error = Access Denied");
            writeOut("Failed to get status: Access Denied");
            break;
        case win::kErrorInvalidHandle:
            traceMessage("VornelAgentServiceInfo.serviceStatus: last error = Invalid Handle ");
            writeOut("Failed to get status: Invalid Handle");
            break;
        default:
            traceMessage("VornelAgentServiceInfo.serviceStatus: unknown last error ");
            writeOut("Failed to get status: Unknown reason");
            break;
    }
    return kStatusFailed;
}

// One answer line, without a line end: the label and the value, the empty text or "<null>".
int answer(const char* label, const LookupResult& result) {
    writeOut("%s - %s", label, shownText(result));
    return 0;
}

int answerQuestion(Platform& os, const OptionTable& table, InfoOption question) {
    switch (question) {
        case GETSERVICESTATUS:
            return serviceStatus(os, getOptionValue(table, GETSERVICESTATUS));
        case GETAGENTNAME:
            return answer("Agent Name", getAgentName(os, getOptionValue(table, GETAGENTNAME)));
        case GETAGENTHOME:
            return answer("Agent Home", getAgentHome(os, getOptionValue(table, GETAGENTHOME)));
        case GETSERVICELOGROOT:
            return answer("Service Log Root", getServiceLogRoot(os, getOptionValue(table, GETSERVICELOGROOT)));
        case GETSERVICENAME:
            if (!isOptionSet(table, AGENTNAME)) {
                writeOut("Required argument [-agentname] not specified!");
                printUsage(table);
                return -1;
            }
            if (!isOptionSet(table, AGENTHOME)) {
                writeOut("Required argument [-agenthome] not specified!");
                printUsage(table);
                return -1;
            }
            return answer("Service Name",
                          getServiceName(os, getOptionValue(table, AGENTNAME), getOptionValue(table, AGENTHOME)));
        default:  // not a question: as when none is asked
            printUsage(table);
            return 0;
    }
}

}  // namespace

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
    OptionTable table = infoOptionTable();
    if (!parseOptions(table, argc, argv)) {
        printUsage(table);
        return -1;
    }
    std::optional<std::string> unknown = getUnknownParams(table, argc, argv);
    if (isOptionSet(table, DEBUG)) {
        enableTrace();
    } else {
        disableTrace();
    }
    traceParameters("VornelAgentServiceInfo.main", argc, argv);
    traceMessage("Processed parameters, unknown params: %s", orNull(unknown));
    if (isOptionSet(table, HELP)) {
        printUsage(table);
        return 0;
    }
    for (InfoOption question : kQuestions) {
        if (!isOptionSet(table, question)) continue;
        if (unknown) {
            writeErr("Unrecognized parameters encountered on the command line: '%s'\n", unknown->c_str());
            printUsage(table);
            return -1;
        }
        return answerQuestion(os, table, question);
    }
    printUsage(table);
    return 0;
}

}  // namespace vornel
