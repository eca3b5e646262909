// The event log: sources and the events reported under them.
#include <cstdio>

#include "tests/memory/memory_internal.h"

namespace vornel {

using namespace memory;

namespace {

std::string hexId(uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
    return text;
}

}  // namespace

ErrorCode MemoryPlatform::registerEventSource(const std::string& name, EventSource& source) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegisterEventSource, name, lock)) {
        source = 0;
        return rc;
    }
    source = 0x7000 + 4 * (eventSources_.size() + 1);
    eventSources_[source] = name;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::reportEvent(EventSource source, uint16_t type, uint32_t eventId,
                                      const std::vector<std::string>& insertions) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ReportEvent, hexId(eventId), lock)) return rc;
    auto it = eventSources_.find(source);
    if (it == eventSources_.end()) return win::kErrorInvalidHandle;
    events_.push_back(Event{it->second, type, eventId, insertions.empty() ? std::string() : insertions[0], insertions});
    if (eventHook_) {
        const Event event = events_.back();
        const std::function<void(const Event&)> hook = eventHook_;
        lock.unlock();
        hook(event);
    }
    return win::kErrorSuccess;
}

void MemoryPlatform::setEventHook(std::function<void(const Event&)> hook) {
    Lock lock(mutex_);
    eventHook_ = std::move(hook);
}

}  // namespace vornel
