#include "info/service_details.h"

#include "common/naming.h"
#include "common/runtime.h"
#include "common/service_control.h"
#include "common/trace.h"
#include "info/info_tool.h"

namespace vornel {
namespace {

void detail(const char* key, const std::string& value) { writeOut("%s: %s\n", key, value.c_str()); }

void detailIf(const char* key, const std::optional<std::string>& value) {
    if (value) detail(key, *value);
}

// The time as stored and how long ago it was: "2026-12-09 02:11:05 UTC (5 min 3 s ago)"; the
// text alone when it is not such a time or lies ahead.
std::string withTimeSince(Platform& os, const std::string& stored) {
    const std::optional<uint64_t> at = parseSystemTime(stored);
    const uint64_t now = os.systemTime();
    if (!at || *at > now) return stored;
    return stored + " (" + formatDuration(now - *at) + " ago)";
}

// The host's values a look shows: all of those of the running host; of a stopped service what
// its last host left of its end, and the agent only while that process still lives (an agent
// left running by a host that died). A service in any other state whose values are not of its
// running host shows none.
void printRuntimeDetails(Platform& os, const ServiceView& view) {
    const RuntimeValues& r = view.runtime;
    if (!view.current && view.status.dwCurrentState != win::kServiceStopped) return;
    const std::optional<uint32_t> agent = parsePid(r.agentPid);
    const bool agentShown = r.agentPid && (view.current || (agent && processAlive(os, *agent)));
    detailIf("Phase", r.phase);
    if (view.current) detailIf("Host pid", r.hostPid);
    if (agentShown) {
        detail("Agent pid", *r.agentPid);
        if (r.agentSince) detail("Agent running since", withTimeSince(os, *r.agentSince));
    }
    detailIf("Agent starts", r.starts);
    detailIf("Last agent exit", r.lastExit);
    if (view.current) detailIf("Restart at", r.restartAt);
    detailIf("Outcome", r.outcome);
}

}  // namespace

int openForQuestion(Platform& os, const char* routine, const std::string& fullServiceName, uint32_t access,
                    bool report, ScHandle& manager, ScHandle& service) {
    if (openServiceManager(os, manager) != win::kErrorSuccess) {
        traceMessage("VornelAgentServiceInfo.%s - could not open service manager", routine);
        return kStatusFailed;
    }
    if (ErrorCode rc = openServiceByName(os, manager, fullServiceName, access, service)) {
        traceMessage("VornelAgentServiceInfo.%s - could not open service", routine);
        if (report) reportOpenServiceFailure(os, fullServiceName, rc);
        manager.reset();
        return kStatusNotRegistered;
    }
    return 0;
}

int serviceDetails(Platform& os, const std::string& shortName) {
    traceMessage("VornelAgentServiceInfo.serviceDetails - entry  service name = %s", shortName.c_str());
    const std::string fullServiceName = getFullServiceName(shortName);
    ScHandle manager;
    ScHandle service;
    if (int rc = openForQuestion(os, "serviceDetails", fullServiceName, kInfoToolServiceAccess, true, manager,
                                 service)) {
        return rc;
    }
    ServiceView view;
    if (ErrorCode rc = lookAtService(os, service, fullServiceName, view)) {
        reportStatusQueryFailure("serviceDetails", rc);
        return kStatusFailed;
    }
    const uint32_t state = view.status.dwCurrentState;
    detail("Service", fullServiceName);
    detail("State", serviceStateWord(state));
    printRuntimeDetails(os, view);
    writeOut("Exit codes: %u / %u\n", static_cast<unsigned>(view.status.dwWin32ExitCode),
             static_cast<unsigned>(view.status.dwServiceSpecificExitCode));
    const int rc = supervisedAgent(os, view)             ? kDetailsAgentSupervised
                   : state == win::kServiceStopped ? kDetailsStopped
                                                         : kDetailsOtherState;
    traceMessage("VornelAgentServiceInfo.serviceDetails - exit - rc = %d", rc);
    return rc;
}

int agentPidAnswer(Platform& os, const std::string& shortName) {
    traceMessage("VornelAgentServiceInfo.agentPid - entry  service name = %s", shortName.c_str());
    const std::string fullServiceName = getFullServiceName(shortName);
    std::optional<uint32_t> agent;
    ScHandle manager;
    ScHandle service;
    ServiceView view;
    if (openForQuestion(os, "agentPid", fullServiceName, kInfoToolServiceAccess, false, manager, service) == 0 &&
        lookAtService(os, service, fullServiceName, view) == win::kErrorSuccess) {
        agent = supervisedAgent(os, view);
    }
    const std::optional<std::string> shown = agent ? std::optional<std::string>(std::to_string(*agent)) : std::nullopt;
    traceMessage("VornelAgentServiceInfo.agentPid - returning agent pid = %s", orNull(shown));
    writeOut("Agent Pid - %s", orNull(shown));
    return 0;
}

}  // namespace vornel
