// Owners of the platform's handles: move-only types that close their handle when they go
// out of scope, so no early return can leak a key, a service handle or a process handle.
#pragma once

#include <cstdint>
#include <utility>

namespace vornel {

enum class HandleKind { RegistryKey, ServiceControl, Kernel, Job, Mutex, DirectoryWatch };

// What closes a handle: the platform that gave it out.
class HandleCloser {
protected:
    ~HandleCloser() = default;
    template <HandleKind>
    friend class OwnedHandle;
    virtual void closeHandle(HandleKind kind, uintptr_t value) = 0;
};

// A move-only owner of one platform handle.
template <HandleKind Kind>
class OwnedHandle {
public:
    OwnedHandle() = default;
    OwnedHandle(HandleCloser* os, uintptr_t value) : os_(os), value_(value) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept
        : os_(other.os_), value_(std::exchange(other.value_, 0)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            os_ = other.os_;
            value_ = std::exchange(other.value_, 0);
        }
        return *this;
    }
    bool valid() const { return value_ != 0; }
    uintptr_t value() const { return value_; }
    void reset() {
        if (value_ != 0 && os_ != nullptr) os_->closeHandle(Kind, value_);
        value_ = 0;
    }

private:
    HandleCloser* os_ = nullptr;
    uintptr_t value_ = 0;
};

using RegKey = OwnedHandle<HandleKind::RegistryKey>;        // closed with RegCloseKey
using ScHandle = OwnedHandle<HandleKind::ServiceControl>;   // closed with CloseServiceHandle
using ProcessHandle = OwnedHandle<HandleKind::Kernel>;      // closed with CloseHandle
using JobHandle = OwnedHandle<HandleKind::Job>;             // closed with CloseHandle
using MutexHandle = OwnedHandle<HandleKind::Mutex>;         // released (ReleaseMutex), then closed
using EventHandle = OwnedHandle<HandleKind::Kernel>;        // an event; closed with CloseHandle
using DirectoryWatch = OwnedHandle<HandleKind::DirectoryWatch>;  // closed with FindCloseChangeNotification

// One of the handles a wait can be on: a process, an event, a directory watch.
class Waitable {
public:
    Waitable(const ProcessHandle& handle) : value_(handle.value()) {}   // NOLINT: a view of the handle
    Waitable(const DirectoryWatch& handle) : value_(handle.value()) {}  // NOLINT: a view of the handle
    uintptr_t value() const { return value_; }

private:
    uintptr_t value_;
};

// The status handle of RegisterServiceCtrlHandlerA and the handle of RegisterEventSourceA
// are never closed by the programs; 0 stands for null.
using StatusHandle = uintptr_t;
using EventSource = uintptr_t;

// What CreateProcessA gives back.
struct ProcessInfo {
    ProcessHandle process;
    ProcessHandle thread;
    uint32_t processId = 0;
};

}  // namespace vornel
