// The service process's threads and the virtual clock.
//
// One thread of the service process runs at a time: the one whose turn it is. A thread gives
// up its turn at every platform call (and waits in line, ready) or when it waits for
// something (a condition, a virtual deadline). The next turn goes to the ready thread that
// has waited longest; a waiting thread becomes ready, in the order it began to wait, once its
// condition holds or its deadline has come. When no thread is ready the clock moves on to the
// next thing that time brings: the earliest deadline of a waiting thread or the end of a
// process that ends by itself. When nothing can come, the process waits for the test.
#include <algorithm>
#include <vector>

#include "tests/memory/memory_internal.h"

namespace vornel {

using memory::kHangLimit;

namespace {

// Thrown at the platform call where a thread of an ended process waits, when the platform
// shuts down: the thread stops there, as Windows stops the threads of a process that has
// ended, and unwinds to where the platform started it.
struct ProcessEnded {};

}  // namespace

bool MemoryPlatform::takesTurnsLocked() const {
    auto it = threads_.find(std::this_thread::get_id());
    return it != threads_.end() && it->second.kind != SimThread::Kind::Visitor && !it->second.frozen;
}

bool MemoryPlatform::processActiveLocked() const {
    if (shuttingDown_) return false;
    return std::any_of(threads_.begin(), threads_.end(), [](const auto& entry) {
        return entry.second.kind != SimThread::Kind::Visitor && !entry.second.frozen;
    });
}

std::string MemoryPlatform::threadNameLocked() const {
    auto it = threads_.find(std::this_thread::get_id());
    return it == threads_.end() ? "test" : it->second.name;
}

void MemoryPlatform::joinProcessLocked(const std::string& name, Lock& lock) {
    const std::thread::id me = std::this_thread::get_id();
    SimThread& thread = threads_[me];
    thread.name = name;
    thread.kind = SimThread::Kind::Process;
    thread.ready = true;
    thread.readySince = ++turnSequence_;
    scheduleLocked(lock);
    changed_.wait(lock, [&] { return shuttingDown_ || turn_ == me; });
}

void MemoryPlatform::leaveProcessLocked(Lock& lock) {
    const std::thread::id me = std::this_thread::get_id();
    threads_.erase(me);
    if (turn_ == me) turn_.reset();
    changed_.notify_all();
    scheduleLocked(lock);
}

void MemoryPlatform::startProcessThread(const std::string& name, std::function<void()> body, bool client) {
    // Called with the lock held, by a thread whose turn it is: the new thread is in line before
    // its creator goes on, so its place does not depend on how fast it starts.
    std::thread thread([this, body = std::move(body)] {
        try {
            {
                Lock lock(mutex_);
                const std::thread::id me = std::this_thread::get_id();
                changed_.wait(lock, [&] { return shuttingDown_ || turn_ == me || threads_[me].frozen; });
                stopIfProcessEndedLocked(lock);
            }
            body();
        } catch (const ProcessEnded&) {
        }
        Lock lock(mutex_);
        leaveProcessLocked(lock);
    });
    SimThread& sim = threads_[thread.get_id()];
    sim.name = name;
    sim.kind = client ? SimThread::Kind::Client : SimThread::Kind::Process;
    sim.ready = true;
    sim.readySince = ++turnSequence_;
    started_.push_back(std::move(thread));
}

void MemoryPlatform::yieldLocked(Lock& lock) {
    if (!takesTurnsLocked() || shuttingDown_) return;
    const std::thread::id me = std::this_thread::get_id();
    SimThread& thread = threads_[me];
    thread.ready = true;
    thread.readySince = ++turnSequence_;
    if (turn_ == me) turn_.reset();
    scheduleLocked(lock);
    changed_.wait(lock, [&] { return shuttingDown_ || turn_ == me || threads_[me].frozen; });
    stopIfProcessEndedLocked(lock);
}

void MemoryPlatform::stopIfProcessEndedLocked(Lock& lock) {
    const std::thread::id me = std::this_thread::get_id();
    auto it = threads_.find(me);
    if (it == threads_.end() || !it->second.frozen) return;
    // A thread of a process that has ended waits here until the test shuts the platform down,
    // and then runs no further.
    changed_.wait(lock, [&] { return shuttingDown_; });
    threads_.erase(me);
    throw ProcessEnded{};
}

bool MemoryPlatform::waitLocked(Lock& lock, const Condition& until, std::optional<uint64_t> deadline) {
    if (until()) return true;
    if (deadline && *deadline <= nowMs_) return false;
    const std::thread::id me = std::this_thread::get_id();
    const bool takesTurns = takesTurnsLocked();
    if (!takesTurns && !processActiveLocked()) {
        // Nobody takes turns: the clock moves on from one event to the next for this wait alone.
        while (!until()) {
            if (shuttingDown_) return until();
            std::optional<uint64_t> next = deadline;
            for (const auto& entry : processes_) {
                const Process& p = entry.second;
                if (!p.ended && p.endAt && *p.endAt > nowMs_ && (!next || *p.endAt < *next)) next = p.endAt;
            }
            if (!next) {
                // Only another thread of the test can end this wait.
                if (!changed_.wait_for(lock, kHangLimit, [&] { return until() || shuttingDown_; })) {
                    hangDetected_ = true;
                    return false;
                }
                continue;
            }
            const uint64_t step = *next - nowMs_;
            realPause(step, lock);
            if (until()) return true;
            advanceLocked(*next > nowMs_ ? *next - nowMs_ : 0, lock);
            if (deadline && nowMs_ >= *deadline) return until();
        }
        return true;
    }
    // Waits in line with the process's threads until the condition holds or the deadline comes.
    SimThread& thread = threads_[me];
    if (!takesTurns) {
        thread.name = "test";
        thread.kind = SimThread::Kind::Visitor;
    }
    thread.ready = false;
    thread.until = until;
    thread.deadline = deadline;
    thread.readySince = ++turnSequence_;
    if (turn_ == me) turn_.reset();
    scheduleLocked(lock);
    const bool unbounded = !deadline;
    auto myTurn = [&] { return shuttingDown_ || turn_ == me || threads_[me].frozen; };
    if (unbounded && !takesTurns) {
        if (!changed_.wait_for(lock, kHangLimit, myTurn)) hangDetected_ = true;
    } else {
        changed_.wait(lock, myTurn);
    }
    stopIfProcessEndedLocked(lock);
    auto it = threads_.find(me);
    if (it != threads_.end()) {
        it->second.until = nullptr;
        it->second.deadline.reset();
    }
    const bool held = until();
    if (!takesTurns) {
        threads_.erase(me);
        if (turn_ == me) turn_.reset();
        scheduleLocked(lock);
    }
    return held;
}

void MemoryPlatform::scheduleLocked(Lock& lock) {
    while (!turn_ && !movingClock_ && !shuttingDown_) {
        // Waiting threads whose condition holds or whose deadline has come join the line, in
        // the order they began to wait.
        std::vector<std::pair<uint64_t, std::thread::id>> waking;
        for (auto& entry : threads_) {
            SimThread& t = entry.second;
            if (t.frozen || t.ready || !t.until) continue;
            if (t.until() || (t.deadline && *t.deadline <= nowMs_)) waking.emplace_back(t.readySince, entry.first);
        }
        std::sort(waking.begin(), waking.end());
        for (const auto& w : waking) {
            SimThread& t = threads_[w.second];
            t.ready = true;
            t.readySince = ++turnSequence_;
        }
        const std::thread::id* next = nullptr;
        uint64_t since = 0;
        for (auto& entry : threads_) {
            const SimThread& t = entry.second;
            if (t.frozen || !t.ready) continue;
            if (next == nullptr || t.readySince < since) {
                next = &entry.first;
                since = t.readySince;
            }
        }
        if (next != nullptr) {
            turn_ = *next;
            threads_[*next].ready = false;
            changed_.notify_all();
            return;
        }
        // Nobody can run: time passes until the next thing it brings.
        std::optional<uint64_t> event;
        bool anyWaiting = false;
        for (const auto& entry : threads_) {
            const SimThread& t = entry.second;
            if (t.frozen || !t.until) continue;
            anyWaiting = true;
            if (t.deadline && (!event || *t.deadline < *event)) event = t.deadline;
        }
        if (!anyWaiting) return;
        for (const auto& entry : processes_) {
            const Process& p = entry.second;
            if (!p.ended && p.endAt && (!event || *p.endAt < *event)) event = p.endAt;
        }
        if (!event) return;  // the process waits for the test
        movingClock_ = true;
        const uint64_t step = *event > nowMs_ ? *event - nowMs_ : 0;
        realPause(step, lock);
        // The test may have acted in the pause; whoever can run now goes first.
        bool woken = false;
        for (const auto& entry : threads_) {
            const SimThread& t = entry.second;
            if (!t.frozen && !t.ready && t.until && t.until()) woken = true;
        }
        if (!woken) advanceLocked(*event > nowMs_ ? *event - nowMs_ : 0, lock);
        movingClock_ = false;
    }
}

void MemoryPlatform::endServiceProcessLocked(Lock& lock) {
    processEnded_ = true;
    serviceMainRunning_ = false;
    for (auto& entry : threads_) {
        if (entry.second.kind == SimThread::Kind::Process) entry.second.frozen = true;
    }
    turn_.reset();
    changed_.notify_all();
    // Threads of the test that wait for an answer from the process go on without it.
    scheduleLocked(lock);
}

void MemoryPlatform::startServiceProcess(std::function<int()> entry) {
    Lock lock(mutex_);
    processRunning_ = true;
    processEnded_ = false;
    processExitStatus_.reset();
    startProcessThread("main", [this, entry = std::move(entry)] {
        const int status = entry();
        Lock done(mutex_);
        processExitStatus_ = status;
        endServiceProcessLocked(done);
    });
    scheduleLocked(lock);
}

void MemoryPlatform::startClient(const std::string& name, std::function<void()> body) {
    std::vector<Client> one;
    one.emplace_back(name, std::move(body));
    startClients(std::move(one));
}

void MemoryPlatform::startClients(std::vector<Client> clients) {
    Lock lock(mutex_);
    for (Client& client : clients) startProcessThread(client.first, std::move(client.second), true);
    if (!turn_) scheduleLocked(lock);
}

bool MemoryPlatform::waitClients(std::chrono::milliseconds realTimeout) {
    Lock lock(mutex_);
    return changed_.wait_for(lock, realTimeout, [&] {
        return shuttingDown_ || std::none_of(threads_.begin(), threads_.end(), [](const auto& entry) {
                   return entry.second.kind == SimThread::Kind::Client;
               });
    });
}

std::optional<int> MemoryPlatform::waitServiceProcess(std::chrono::milliseconds realTimeout) {
    Lock lock(mutex_);
    if (!changed_.wait_for(lock, realTimeout, [&] { return processExitStatus_.has_value(); })) {
        return std::nullopt;
    }
    return processExitStatus_;
}

bool MemoryPlatform::serviceProcessEnded() const {
    Lock lock(mutex_);
    return processEnded_;
}

void MemoryPlatform::advanceLocked(uint64_t ms, Lock& lock) {
    const uint64_t target = nowMs_ + ms;
    // Processes end in the order of their end times, each at its own time.
    for (;;) {
        Process* first = nullptr;
        for (auto& entry : processes_) {
            Process& p = entry.second;
            if (!p.ended && p.endAt && *p.endAt <= target && (first == nullptr || *p.endAt < *first->endAt)) {
                first = &p;
            }
        }
        if (first == nullptr) break;
        nowMs_ = std::max(nowMs_, *first->endAt);
        std::vector<std::function<void()>> exits;
        endLocked(*first, first->plannedExitCode, exits);
        runExits(exits, lock);
    }
    nowMs_ = std::max(nowMs_, target);
    changed_.notify_all();
}

void MemoryPlatform::realPause(uint64_t virtualMs, Lock& lock) {
    if (!realPauses_) return;
    // A thousandth of the virtual time, so that the test's own thread gets to act in between.
    changed_.wait_for(lock, std::chrono::microseconds(std::max<uint64_t>(virtualMs, 20)));
}

uint64_t MemoryPlatform::nowMs() const {
    Lock lock(mutex_);
    return nowMs_;
}

void MemoryPlatform::setRealPauses(bool on) {
    Lock lock(mutex_);
    realPauses_ = on;
}

void MemoryPlatform::advance(uint64_t ms) {
    Lock lock(mutex_);
    advanceLocked(ms, lock);
    if (!turn_) scheduleLocked(lock);
}

bool MemoryPlatform::serviceMainRunning() const {
    Lock lock(mutex_);
    return serviceMainRunning_;
}

bool MemoryPlatform::serviceAwaitsTest() const {
    Lock lock(mutex_);
    if (!processActiveLocked() || turn_ || movingClock_) return false;
    for (const auto& entry : threads_) {
        const SimThread& t = entry.second;
        if (t.frozen) continue;
        if (t.ready || !t.until || t.until() || t.deadline) return false;
    }
    for (const auto& entry : processes_) {
        if (!entry.second.ended && entry.second.endAt) return false;
    }
    return true;
}

void MemoryPlatform::joinServiceThread() {
    Lock lock(mutex_);
    if (!changed_.wait_for(lock, kHangLimit, [&] { return !serviceMainRunning_ || shuttingDown_; })) {
        hangDetected_ = true;
    }
}

bool MemoryPlatform::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds realTimeout) const {
    auto deadline = std::chrono::steady_clock::now() + realTimeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void MemoryPlatform::shutdown() {
    std::vector<std::thread> threads;
    {
        Lock lock(mutex_);
        shuttingDown_ = true;
        std::vector<std::function<void()>> exits;
        for (auto& entry : processes_) endLocked(entry.second, entry.second.plannedExitCode, exits);
        changed_.notify_all();
        runExits(exits, lock);
        changed_.notify_all();
    }
    // Threads may start others while they unwind: join until none is left.
    for (;;) {
        {
            Lock lock(mutex_);
            threads.swap(started_);
        }
        if (threads.empty()) break;
        for (std::thread& thread : threads) {
            if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
        }
        threads.clear();
    }
    // The process is gone, and with it what its control handler held (its handles close, as
    // Windows closes the handles of a process that has ended). Released without the lock.
    ControlHandler handler;
    {
        Lock lock(mutex_);
        handler = std::move(handler_);
        handler_ = nullptr;
    }
}

}  // namespace vornel
