// The service side: the dispatcher, the control thread and the control handler, status reports.
#include "tests/memory/memory_internal.h"

namespace vornel {

using namespace memory;

void MemoryPlatform::setLaunchedByManager(bool launched, std::vector<std::string> startArguments) {
    Lock lock(mutex_);
    launchedByManager_ = launched;
    startArguments_ = std::move(startArguments);
}

namespace {

std::string stateName(uint32_t state) {
    static const char* const names[] = {"state 0",        "stopped",          "start pending", "stop pending",
                                        "running",        "continue pending", "pause pending", "paused"};
    return state < 8 ? names[state] : "state " + std::to_string(state);
}

}  // namespace

ErrorCode MemoryPlatform::runServiceDispatcher(const std::string& name, ServiceMain main) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RunServiceDispatcher, name, lock)) return rc;
    if (!launchedByManager_) return win::kErrorFailedServiceControllerConnect;
    if (dispatcherRunning_) return win::kErrorServiceAlreadyRunning;
    // A thread of the test that runs a dispatcher becomes the main thread of a service process.
    const bool joined = !takesTurnsLocked();
    if (joined) joinProcessLocked("main", lock);
    dispatcherRunning_ = true;
    dispatcherService_ = name;
    stoppedReported_ = false;
    serviceArgs_.assign(1, name);
    serviceArgs_.insert(serviceArgs_.end(), startArguments_.begin(), startArguments_.end());
    serviceArgv_.clear();
    for (std::string& arg : serviceArgs_) serviceArgv_.push_back(&arg[0]);
    serviceArgv_.push_back(nullptr);
    const int argc = static_cast<int>(serviceArgs_.size());
    char** argv = serviceArgv_.data();
    serviceMainRunning_ = true;
    startProcessThread("service main", [this, main, argc, argv] {
        main(argc, argv);
        Lock ended(mutex_);
        serviceMainRunning_ = false;
        changed_.notify_all();
    });
    // As under Wine, controls are handled one at a time on a thread of their own.
    startProcessThread("control", [this] { deliverControls(); });

    // The dispatcher returns as soon as the service has reported stopped.
    waitLocked(lock, [&] { return stoppedReported_; }, std::nullopt);
    dispatcherRunning_ = false;
    changed_.notify_all();
    if (joined) leaveProcessLocked(lock);
    return win::kErrorSuccess;
}

void MemoryPlatform::deliverControls() {
    Lock lock(mutex_);
    for (;;) {
        // Controls reach the service once its handler is registered.
        waitLocked(lock, [&] { return (!controlQueue_.empty() && handler_) || stoppedReported_; }, std::nullopt);
        if (shuttingDown_) return;
        if (stoppedReported_) {
            // The service has stopped: controls still queued are never answered.
            for (size_t i = 0; i < controlQueue_.size(); ++i) lostReplies_.insert(++controlsDelivered_);
            controlQueue_.clear();
            changed_.notify_all();
            return;
        }
        const uint32_t control = controlQueue_.front();
        controlQueue_.erase(controlQueue_.begin());
        ControlHandler handler = handler_;
        handlerRunning_ = true;
        lock.unlock();
        // As under Wine, what the handler answers does not reach the sender.
        if (handler) (void)handler(control);
        lock.lock();
        handlerRunning_ = false;
        ++controlsDelivered_;
        auto service = services_.find(lower(handlerService_));
        if (service != services_.end()) answeredStatus_[controlsDelivered_] = service->second.status;
        changed_.notify_all();
    }
}

ErrorCode MemoryPlatform::registerServiceCtrlHandlerEx(const std::string& name, ControlHandler handler,
                                                       StatusHandle& handle) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegisterServiceCtrlHandlerEx, name, lock)) {
        handle = 0;
        return rc;
    }
    handler_ = std::move(handler);
    handlerService_ = name;
    statusHandle_ = statusHandle_ == 0 ? 0x5000 : statusHandle_ + 4;
    handle = statusHandle_;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::setServiceStatus(StatusHandle handle, const ServiceStatus& status) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::SetServiceStatus, stateName(status.dwCurrentState), lock)) return rc;
    if (handle == 0 || handle != statusHandle_) return win::kErrorInvalidHandle;
    const bool fromHandler = handlerRunning_ && threadNameLocked() == "control";
    reports_.push_back(StatusReport{status, nowMs_, fromHandler});
    auto it = services_.find(lower(handlerService_));
    if (it != services_.end()) it->second.status = status;
    if (status.dwCurrentState == win::kServiceStopped) stoppedReported_ = true;
    changed_.notify_all();
    // As under Wine, whose dispatcher holds its lock while a control handler runs: a stopped
    // report from another thread returns only once the handler has returned.
    if (status.dwCurrentState == win::kServiceStopped && handlerRunning_ && !fromHandler) {
        // The process ends at this report, under the running handler: the sender of the
        // control never hears back (ControlService gives ERROR_NO_DATA).
        lostReplies_.insert(controlsDelivered_ + 1);
        waitLocked(lock, [&] { return !handlerRunning_; }, std::nullopt);
    }
    return win::kErrorSuccess;
}

void MemoryPlatform::postControl(uint32_t control) {
    Lock lock(mutex_);
    controlQueue_.push_back(control);
    ++controlsQueued_;
    changed_.notify_all();
    if (!turn_) scheduleLocked(lock);
}

void MemoryPlatform::callControlHandler(uint32_t control) {
    ControlHandler handler;
    {
        Lock lock(mutex_);
        handler = handler_;
    }
    if (handler) handler(control);
}

bool MemoryPlatform::hasControlHandler() const {
    Lock lock(mutex_);
    return static_cast<bool>(handler_);
}

std::vector<MemoryPlatform::StatusReport> MemoryPlatform::statusReports() const {
    Lock lock(mutex_);
    return reports_;
}

std::vector<MemoryPlatform::Event> MemoryPlatform::events() const {
    Lock lock(mutex_);
    return events_;
}

std::vector<std::string> MemoryPlatform::eventSources() const {
    Lock lock(mutex_);
    std::vector<std::string> names;
    for (const auto& source : eventSources_) names.push_back(source.second);
    return names;
}

}  // namespace vornel
