#include "common/service_wait.h"

#include <algorithm>

#include "common/service_control.h"
#include "common/text.h"
#include "common/trace.h"

namespace vornel {
namespace {

// The line a look is traced with: only the parts a wait decides on.
std::string describe(const ServiceView& view) {
    return std::string("state = ") + serviceStateWord(view.status.dwCurrentState) +
           ", process = " + std::to_string(view.processId) + ", phase = " + orNull(view.runtime.phase) +
           (view.current ? "" : " (not of this process)") + ", agent pid = " + orNull(view.runtime.agentPid);
}

}  // namespace

std::optional<uint32_t> waitSeconds(const std::optional<std::string>& value, uint32_t byDefault) {
    if (!value) return byDefault;
    return parseDecimal(value);
}

void reportInvalidWait(const std::string& value) { writeErr("'%s' is not a valid argument for -wait.\n", value.c_str()); }

bool readWaitOption(const OptionTable& table, size_t position, uint32_t byDefault, std::optional<uint32_t>& seconds) {
    seconds.reset();
    if (!isOptionSet(table, position)) return true;
    const std::optional<std::string> given = getOptionValue(table, position);
    seconds = waitSeconds(given, byDefault);
    if (!seconds) {
        reportInvalidWait(*given);
        return false;
    }
    traceMessage("CommonVornelAgentService - readWaitOption - wait = %u s", static_cast<unsigned>(*seconds));
    return true;
}

ServiceWait waitForService(Platform& os, const ScHandle& service, const std::string& fullServiceName,
                           uint32_t seconds, const std::function<bool(const ServiceView&)>& reached,
                           const char* traceHead) {
    const uint64_t deadline = os.tickCount() + uint64_t{seconds} * 1000;
    ServiceWait wait;
    std::string traced;
    uint32_t process = 0;  // the process seen running the service
    for (;;) {
        ServiceView view;
        if (ErrorCode rc = lookAtService(os, service, fullServiceName, view)) {
            traceMessage("%s - the status query failed (%u)", traceHead, static_cast<unsigned>(rc));
            wait.end = WaitEnd::Failed;
            wait.error = rc;
            return wait;
        }
        const std::string seen = describe(view);
        if (seen != traced) traceMessage("%s - %s", traceHead, seen.c_str());
        traced = seen;
        const bool replaced = process != 0 && view.processId != 0 && view.processId != process;
        if (view.processId != 0 && !replaced) {
            process = view.processId;
            wait.earlier = view;
        }
        wait.last = view;
        if (reached(view)) {
            wait.end = WaitEnd::Reached;
            return wait;
        }
        if (view.status.dwCurrentState == win::kServiceStopped || replaced) {
            wait.end = replaced ? WaitEnd::Restarted : WaitEnd::Stopped;
            return wait;
        }
        const uint64_t now = os.tickCount();
        if (now >= deadline) {
            wait.end = WaitEnd::TimedOut;
            return wait;
        }
        os.sleep(static_cast<uint32_t>(std::min<uint64_t>(kWaitPollMs, deadline - now)));
    }
}

}  // namespace vornel
