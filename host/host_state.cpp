#include "host/host_state.h"

#include <cstdio>

#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {

ErrorCode ControlInbox::open(Platform& os) {
    os_ = &os;
    return os.createEvent(event_);
}

uint32_t ControlInbox::post(uint32_t control) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        controls_.push_back(control);
    }
    // The supervisor may wait for nothing else: a set that fails is tried once more.
    if (os_ != nullptr && event_.valid() && os_->setEvent(event_) != win::kErrorSuccess) (void)os_->setEvent(event_);
    switch (control) {
        case win::kServiceControlStop:
        case win::kServiceControlPause:
        case win::kServiceControlContinue:
        case win::kServiceControlInterrogate:
        case win::kServiceControlShutdown:
        case win::kServiceControlPreshutdown:
        case PROCESS_STOP_SERVER: return win::kErrorSuccess;
        default: return win::kErrorCallNotImplemented;
    }
}

std::vector<uint32_t> ControlInbox::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> taken(controls_.begin(), controls_.end());
    controls_.clear();
    return taken;
}

void reportHostEvent(HostContext& host, uint16_t type, uint32_t eventId, const std::vector<std::string>& insertions) {
    if (host.eventSource == 0) return;
    // A failed report is not examined: the host goes on without it.
    (void)host.os.reportEvent(host.eventSource, type, eventId, insertions);
}

void flushConsole() {
    if (std::FILE* out = consoleOut()) std::fflush(out);
    if (std::FILE* err = consoleErr()) std::fflush(err);
}

void traceSeparator(char c) { traceMessage("%s", std::string(81, c).c_str()); }

}  // namespace vornel::host
