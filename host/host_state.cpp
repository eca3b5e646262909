#include "host/host_state.h"

#include <cstdio>

#include "common/trace.h"

namespace vornel::host {

void reportHostEvent(HostContext& host, uint16_t type, uint32_t eventId, const std::string& insertion) {
    if (host.eventSource == 0) return;
    // A failed report is not examined: the host goes on without it.
    (void)host.os.reportEvent(host.eventSource, type, eventId, insertion);
}

void flushConsole() {
    if (std::FILE* out = consoleOut()) std::fflush(out);
    if (std::FILE* err = consoleErr()) std::fflush(err);
}

}  // namespace vornel::host
