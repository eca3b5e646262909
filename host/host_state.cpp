#include "host/host_state.h"

#include <cctype>
#include <cstdio>

#include "common/trace.h"

namespace vornel::host {

void reportHostEvent(HostContext& host, uint16_t type, uint32_t eventId, const std::vector<std::string>& insertions) {
    if (host.eventSource == 0) return;
    // A failed report is not examined: the host goes on without it.
    (void)host.os.reportEvent(host.eventSource, type, eventId, insertions);
}

std::optional<uint32_t> parseSeconds(const std::optional<std::string>& stored) {
    if (!stored || stored->empty() || stored->size() > 9) return std::nullopt;
    uint32_t seconds = 0;
    for (char c : *stored) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        seconds = seconds * 10 + static_cast<uint32_t>(c - '0');
    }
    return seconds;
}

void flushConsole() {
    if (std::FILE* out = consoleOut()) std::fflush(out);
    if (std::FILE* err = consoleErr()) std::fflush(err);
}

}  // namespace vornel::host
