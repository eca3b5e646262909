// Processes, their launches and ends, and the files the service host reads and appends to.
#include "tests/memory/memory_internal.h"

namespace vornel {

using namespace memory;

namespace {

// A path as the file system compares it: in the case that lower() gives, with "\" for either
// separator and without a closing separator.
std::string pathKey(const std::string& path) {
    std::string key = lower(path);
    for (char& c : key) {
        if (c == '/') c = '\\';
    }
    while (key.size() > 1 && key.back() == '\\') key.pop_back();
    return key;
}

// The directory that holds the path ("c:\a" for "c:\a\b"); empty for a drive's root or a
// path without a separator.
std::string parentKey(const std::string& key) {
    const size_t slash = key.rfind('\\');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

bool isDriveRoot(const std::string& key) { return key.size() == 2 && key[1] == ':'; }

}  // namespace

void MemoryPlatform::runExits(std::vector<std::function<void()>>& exits, Lock& lock) {
    if (exits.empty()) return;
    std::vector<std::function<void()>> pending;
    pending.swap(exits);
    lock.unlock();
    for (auto& onExit : pending) onExit();
    lock.lock();
}

void MemoryPlatform::endLocked(Process& process, uint32_t exitCode, std::vector<std::function<void()>>& exits) {
    if (process.ended) return;
    process.ended = true;
    process.exitCode = exitCode;
    // A process ended while still suspended ran none of its code.
    if (process.onExit && !process.suspended) exits.push_back(std::move(process.onExit));
    process.onExit = nullptr;
    changed_.notify_all();
}

uint32_t MemoryPlatform::spawnLocked(const ProcessSpec& plan, std::vector<std::function<void()>>& exits) {
    uint32_t pid = nextPid_;
    nextPid_ += 4;
    Process& process = processes_[pid];
    process.pid = pid;
    process.name = plan.name.empty() ? "process" : plan.name;
    process.plannedExitCode = plan.exitCode;
    process.onExit = plan.onExit;
    process.createdAt = systemTimeAtStartMs_ + nowMs_;
    // A process started by a process of a job belongs to that job.
    if (plan.parent != 0) {
        auto parent = processes_.find(plan.parent);
        if (parent != processes_.end()) process.job = parent->second.job;
    }
    process.runsForMs = plan.runsForMs;
    if (plan.runsForMs) {
        process.endAt = nowMs_ + *plan.runsForMs;
        if (*plan.runsForMs == 0) endLocked(process, plan.exitCode, exits);
    }
    return pid;
}

void MemoryPlatform::setLauncher(Launcher launcher) {
    Lock lock(mutex_);
    launcher_ = std::move(launcher);
}

std::vector<MemoryPlatform::Launch> MemoryPlatform::launches() const {
    Lock lock(mutex_);
    return launches_;
}

uint32_t MemoryPlatform::spawnProcess(const ProcessSpec& plan) {
    Lock lock(mutex_);
    std::vector<std::function<void()>> exits;
    uint32_t pid = spawnLocked(plan, exits);
    runExits(exits, lock);
    if (!turn_) scheduleLocked(lock);
    return pid;
}

void MemoryPlatform::endProcess(uint32_t pid, uint32_t exitCode) {
    Lock lock(mutex_);
    auto it = processes_.find(pid);
    if (it == processes_.end()) return;
    std::vector<std::function<void()>> exits;
    endLocked(it->second, exitCode, exits);
    runExits(exits, lock);
    if (!turn_) scheduleLocked(lock);
}

std::string MemoryPlatform::processNameLocked(uint32_t pid) const {
    auto it = processes_.find(pid);
    return it == processes_.end() ? "pid " + std::to_string(pid) : it->second.name;
}

std::string MemoryPlatform::processNameLocked(const ProcessHandle& handle) const {
    auto it = handles_.find(handle.value());
    return it == handles_.end() ? "no process" : processNameLocked(it->second->pid);
}

bool MemoryPlatform::processRunning(uint32_t pid) const {
    Lock lock(mutex_);
    auto it = processes_.find(pid);
    return it != processes_.end() && !it->second.ended;
}

ErrorCode MemoryPlatform::createProcess(const std::string& commandLine, const std::string& workingDir,
                                        StartMode mode, ProcessInfo& info) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateProcess, baseName(firstToken(commandLine)), lock)) return rc;
    if (shuttingDown_) return win::kErrorFileNotFound;
    Launch launch{commandLine, workingDir, nextPid_};
    launches_.push_back(launch);
    Launcher launcher = launcher_;
    lock.unlock();
    LaunchOutcome outcome;
    if (launcher) {
        outcome = launcher(launch);
    } else {
        outcome.process.runsForMs = 0;
    }
    lock.lock();
    if (outcome.error != 0) return outcome.error;
    if (outcome.process.name.empty()) outcome.process.name = baseName(firstToken(commandLine));
    std::vector<std::function<void()>> exits;
    ProcessSpec plan = outcome.process;
    if (mode == StartMode::Suspended) plan.runsForMs.reset();  // its time starts when it is resumed
    uint32_t pid = spawnLocked(plan, exits);
    if (mode == StartMode::Suspended) {
        Process& created = processes_[pid];
        created.suspended = true;
        created.runsForMs = outcome.process.runsForMs;
    }
    Handle process;
    process.type = Handle::Type::Process;
    process.pid = pid;
    Handle thread = process;
    thread.type = Handle::Type::Thread;
    uintptr_t processHandle = newHandle(std::move(process));
    uintptr_t threadHandle = newHandle(std::move(thread));
    runExits(exits, lock);
    lock.unlock();
    // Assigned without the lock: replacing a handle the caller still held closes it.
    info.process = ProcessHandle(this, processHandle);
    info.thread = ProcessHandle(this, threadHandle);
    info.processId = pid;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::resumeProcess(const ProcessInfo& info) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ResumeProcess, processNameLocked(info.process), lock)) return rc;
    auto it = handles_.find(info.thread.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Thread) return win::kErrorInvalidHandle;
    Process& process = processes_[it->second->pid];
    if (!process.suspended || process.ended) return win::kErrorSuccess;
    process.suspended = false;
    std::vector<std::function<void()>> exits;
    if (process.runsForMs) {
        process.endAt = nowMs_ + *process.runsForMs;
        if (*process.runsForMs == 0) endLocked(process, process.plannedExitCode, exits);
    }
    runExits(exits, lock);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::terminateProcess(const ProcessHandle& handle, uint32_t exitCode) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::TerminateProcess, processNameLocked(handle), lock)) return rc;
    Process* process = processOfLocked(handle);
    if (process == nullptr) return win::kErrorInvalidHandle;
    if (process->ended) return win::kErrorAccessDenied;  // as Windows answers for a process that has ended
    std::vector<std::function<void()>> exits;
    endLocked(*process, exitCode, exits);
    runExits(exits, lock);
    return win::kErrorSuccess;
}

MemoryPlatform::Process* MemoryPlatform::processOfLocked(const ProcessHandle& handle) {
    auto it = handles_.find(handle.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Process) return nullptr;
    auto process = processes_.find(it->second->pid);
    return process == processes_.end() ? nullptr : &process->second;
}

uint64_t MemoryPlatform::jobOfLocked(const JobHandle& handle) const {
    auto it = handles_.find(handle.value());
    return it == handles_.end() || it->second->type != Handle::Type::Job ? 0 : it->second->job;
}

ErrorCode MemoryPlatform::createJob(JobHandle& job) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateJob, "", lock)) return rc;
    Handle handle;
    handle.type = Handle::Type::Job;
    handle.job = nextJob_++;
    return give(job, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::createNamedJob(const std::string& name, JobHandle& job, bool& existed) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateNamedJob, name, lock)) return rc;
    // A named job lives while a handle to it or a process of it does.
    auto alive = [this](uint64_t id) {
        for (const auto& handle : handles_) {
            if (handle.second->type == Handle::Type::Job && handle.second->job == id) return true;
        }
        for (const auto& process : processes_) {
            if (process.second.job == id && !process.second.ended) return true;
        }
        return false;
    };
    auto known = namedJobs_.find(lower(name));
    existed = known != namedJobs_.end() && alive(known->second);
    Handle handle;
    handle.type = Handle::Type::Job;
    handle.job = existed ? known->second : nextJob_++;
    namedJobs_[lower(name)] = handle.job;
    return give(job, newHandle(std::move(handle)), lock);
}

void MemoryPlatform::putIntoNamedJob(const std::string& name, uint32_t pid) {
    Lock lock(mutex_);
    auto known = namedJobs_.find(lower(name));
    const uint64_t id = known != namedJobs_.end() ? known->second : nextJob_++;
    namedJobs_[lower(name)] = id;
    auto process = processes_.find(pid);
    if (process != processes_.end()) process->second.job = id;
}

ErrorCode MemoryPlatform::assignProcessToJob(const JobHandle& job, const ProcessHandle& handle) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::AssignProcessToJob, processNameLocked(handle), lock)) return rc;
    const uint64_t id = jobOfLocked(job);
    Process* process = processOfLocked(handle);
    if (id == 0 || process == nullptr) return win::kErrorInvalidHandle;
    if (!jobsWork_) return win::kErrorAccessDenied;
    process->job = id;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::terminateJob(const JobHandle& job, uint32_t exitCode) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::TerminateJob, "", lock)) return rc;
    const uint64_t id = jobOfLocked(job);
    if (id == 0) return win::kErrorInvalidHandle;
    std::vector<std::function<void()>> exits;
    for (auto& entry : processes_) {
        if (entry.second.job == id) endLocked(entry.second, exitCode, exits);
    }
    runExits(exits, lock);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::acquireMutex(const std::string& name, uint32_t milliseconds, MutexHandle& mutex) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::AcquireMutex, name, lock)) return rc;
    const std::string key = lower(name);
    const bool free = waitLocked(lock, [&] { return mutexOwners_.count(key) == 0; }, nowMs_ + milliseconds);
    if (!free) return win::kWaitTimeout;
    Handle handle;
    handle.type = Handle::Type::Mutex;
    handle.mutexName = key;
    const uintptr_t value = newHandle(std::move(handle));
    mutexOwners_[key] = value;
    return give(mutex, value, lock);
}

uint64_t MemoryPlatform::systemTime() {
    Lock lock(mutex_);
    (void)enter(Op::SystemTime, "", lock);  // GetSystemTimeAsFileTime cannot fail
    return systemTimeAtStartMs_ + nowMs_;
}

uint64_t MemoryPlatform::systemTimeNow() const {
    Lock lock(mutex_);
    return systemTimeAtStartMs_ + nowMs_;
}

ErrorCode MemoryPlatform::fileLastWriteTime(const std::string& path, uint64_t& time) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::FileLastWriteTime, baseName(path), lock)) return rc;
    auto it = fileTimes_.find(lower(path));
    if (files_.count(lower(path)) == 0 || it == fileTimes_.end()) return win::kErrorFileNotFound;
    time = it->second;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::processCreationTime(const ProcessHandle& handle, uint64_t& time) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ProcessCreationTime, processNameLocked(handle), lock)) return rc;
    Process* process = processOfLocked(handle);
    if (process == nullptr) return win::kErrorInvalidHandle;
    time = process->createdAt;
    return win::kErrorSuccess;
}

void MemoryPlatform::setProcessCreationTime(uint32_t pid, uint64_t systemTime) {
    Lock lock(mutex_);
    auto it = processes_.find(pid);
    if (it != processes_.end()) it->second.createdAt = systemTime;
}

uint32_t MemoryPlatform::currentProcessId() {
    Lock lock(mutex_);
    (void)enter(Op::CurrentProcessId, "", lock);  // GetCurrentProcessId cannot fail
    return currentPid_;
}

void MemoryPlatform::setCurrentProcessId(uint32_t pid) {
    Lock lock(mutex_);
    currentPid_ = pid;
}

uint64_t MemoryPlatform::tickCount() {
    Lock lock(mutex_);
    (void)enter(Op::TickCount, "", lock);  // GetTickCount64 cannot fail
    return uptimeAtStartMs_ + nowMs_;
}

void MemoryPlatform::setUptimeAtStart(uint64_t ms) {
    Lock lock(mutex_);
    uptimeAtStartMs_ = ms;
}

uint64_t MemoryPlatform::jobOf(uint32_t pid) const {
    Lock lock(mutex_);
    auto it = processes_.find(pid);
    return it == processes_.end() ? 0 : it->second.job;
}

void MemoryPlatform::setJobsWork(bool work) {
    Lock lock(mutex_);
    jobsWork_ = work;
}

std::optional<uint32_t> MemoryPlatform::exitCodeOf(uint32_t pid) const {
    Lock lock(mutex_);
    auto it = processes_.find(pid);
    if (it == processes_.end() || !it->second.ended) return std::nullopt;
    return it->second.exitCode;
}

WaitResult MemoryPlatform::waitForProcess(const ProcessHandle& handle, uint32_t milliseconds) {
    Lock lock(mutex_);
    if (enter(Op::WaitForProcess, processNameLocked(handle), lock) != 0) return WaitResult::Failed;
    auto it = handles_.find(handle.value());
    if (it == handles_.end() ||
        (it->second->type != Handle::Type::Process && it->second->type != Handle::Type::Thread)) {
        return WaitResult::Failed;
    }
    const Process& process = processes_[it->second->pid];
    auto ended = [&process] { return process.ended; };
    if (milliseconds == win::kInfinite) {
        // Fails only when the wait gave up: a hang in the test, or the platform shutting down.
        return waitLocked(lock, ended, std::nullopt) ? WaitResult::Signaled : WaitResult::Failed;
    }
    return waitLocked(lock, ended, nowMs_ + milliseconds) ? WaitResult::Signaled : WaitResult::Timeout;
}

ErrorCode MemoryPlatform::openProcess(uint32_t pid, uint32_t access, ProcessHandle& handle) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::OpenProcess, processNameLocked(pid), lock)) return rc;
    if (pid == 0 || processes_.count(pid) == 0) return win::kErrorInvalidParameter;
    Handle process;
    process.type = Handle::Type::Process;
    process.pid = pid;
    process.access = access;
    return give(handle, newHandle(std::move(process)), lock);
}

ErrorCode MemoryPlatform::getExitCodeProcess(const ProcessHandle& handle, uint32_t& exitCode) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::GetExitCodeProcess, processNameLocked(handle), lock)) return rc;
    auto it = handles_.find(handle.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Process) return win::kErrorInvalidHandle;
    const Process& process = processes_[it->second->pid];
    exitCode = process.ended ? process.exitCode : STILL_ACTIVE;
    return win::kErrorSuccess;
}

bool MemoryPlatform::signaledLocked(uintptr_t value, bool consume) {
    auto it = handles_.find(value);
    if (it == handles_.end()) return false;
    Handle& handle = *it->second;
    switch (handle.type) {
        case Handle::Type::Process:
        case Handle::Type::Thread: {
            auto process = processes_.find(handle.pid);
            return process != processes_.end() && process->second.ended;
        }
        case Handle::Type::Event: {
            const bool set = handle.signaled;
            if (consume) handle.signaled = false;  // an auto-reset event
            return set;
        }
        case Handle::Type::Watch: return handle.signaled;
        default: return false;
    }
}

WaitResult MemoryPlatform::waitForAny(const std::vector<Waitable>& handles, uint32_t milliseconds, size_t& signaled) {
    Lock lock(mutex_);
    if (enter(Op::WaitForAny, std::to_string(handles.size()) + " handles", lock) != 0) return WaitResult::Failed;
    if (handles.empty() || handles.size() > 64) return WaitResult::Failed;
    for (const Waitable& handle : handles) {
        if (handles_.count(handle.value()) == 0) return WaitResult::Failed;
    }
    auto any = [&] {
        for (const Waitable& handle : handles) {
            if (signaledLocked(handle.value(), false)) return true;
        }
        return false;
    };
    const std::optional<uint64_t> deadline =
        milliseconds == win::kInfinite ? std::nullopt : std::optional<uint64_t>(nowMs_ + milliseconds);
    if (!waitLocked(lock, any, deadline)) return milliseconds == win::kInfinite ? WaitResult::Failed : WaitResult::Timeout;
    for (size_t i = 0; i < handles.size(); ++i) {
        if (signaledLocked(handles[i].value(), true)) {
            signaled = i;
            return WaitResult::Signaled;
        }
    }
    return WaitResult::Failed;
}

ErrorCode MemoryPlatform::createEvent(EventHandle& event) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateEvent, "", lock)) return rc;
    Handle handle;
    handle.type = Handle::Type::Event;
    return give(event, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::setEvent(const EventHandle& event) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::SetEvent, "", lock)) return rc;
    auto it = handles_.find(event.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Event) return win::kErrorInvalidHandle;
    it->second->signaled = true;
    changed_.notify_all();
    if (!turn_) scheduleLocked(lock);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::watchDirectory(const std::string& directory, DirectoryWatch& watch) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::WatchDirectory, baseName(directory), lock)) return rc;
    const std::string key = pathKey(directory);
    if (!directoryExistsLocked(key)) return win::kErrorPathNotFound;
    Handle handle;
    handle.type = Handle::Type::Watch;
    handle.directory = key;
    return give(watch, newHandle(std::move(handle)), lock);
}

ErrorCode MemoryPlatform::rearmDirectoryWatch(const DirectoryWatch& watch) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RearmDirectoryWatch, "", lock)) return rc;
    auto it = handles_.find(watch.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Watch) return win::kErrorInvalidHandle;
    it->second->signaled = false;
    return win::kErrorSuccess;
}

void MemoryPlatform::fileChangedLocked(const std::string& path) {
    const std::string directory = parentKey(pathKey(path));
    for (auto& entry : handles_) {
        Handle& handle = *entry.second;
        if (handle.type == Handle::Type::Watch && handle.directory == directory) handle.signaled = true;
    }
    changed_.notify_all();
}

ErrorCode MemoryPlatform::jobProcessIds(const JobHandle& job, std::vector<uint32_t>& pids) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::JobProcessIds, "", lock)) return rc;
    const uint64_t id = jobOfLocked(job);
    if (id == 0) return win::kErrorInvalidHandle;
    pids.clear();
    for (const auto& entry : processes_) {
        if (entry.second.job == id && !entry.second.ended) pids.push_back(entry.first);
    }
    return win::kErrorSuccess;
}

void MemoryPlatform::sleep(uint32_t milliseconds) {
    Lock lock(mutex_);
    (void)enter(Op::Sleep, std::to_string(milliseconds), lock);
    waitLocked(lock, [] { return false; }, nowMs_ + milliseconds);
}

// --- Files ---

void MemoryPlatform::writeFile(const std::string& path, const std::string& content) {
    Lock lock(mutex_);
    files_[lower(path)] = content;
    fileTimes_[lower(path)] = systemTimeAtStartMs_ + nowMs_;
    fileChangedLocked(lower(path));
    if (!turn_) scheduleLocked(lock);
}

void MemoryPlatform::setFileWriteTime(const std::string& path, uint64_t systemTime) {
    Lock lock(mutex_);
    fileTimes_[lower(path)] = systemTime;
}

std::optional<std::string> MemoryPlatform::fileContent(const std::string& path) const {
    Lock lock(mutex_);
    auto it = files_.find(lower(path));
    if (it == files_.end()) return std::nullopt;
    return it->second;
}

void MemoryPlatform::removeFile(const std::string& path) {
    Lock lock(mutex_);
    files_.erase(lower(path));
    fileChangedLocked(lower(path));
    if (!turn_) scheduleLocked(lock);
}


bool MemoryPlatform::fileExistsLocked(const std::string& key) const {
    for (const auto& file : files_) {
        if (pathKey(file.first) == key) return true;
    }
    return false;
}

bool MemoryPlatform::directoryExistsLocked(const std::string& key) const {
    if (isDriveRoot(key) || directories_.count(key) != 0) return true;
    const std::string inside = key + "\\";
    for (const auto& file : files_) {
        if (pathKey(file.first).compare(0, inside.size(), inside) == 0) return true;
    }
    auto it = directories_.lower_bound(inside);
    return it != directories_.end() && it->compare(0, inside.size(), inside) == 0;
}

void MemoryPlatform::makeDirectory(const std::string& path) {
    Lock lock(mutex_);
    directories_.insert(pathKey(path));
}

bool MemoryPlatform::directoryExists(const std::string& path) const {
    Lock lock(mutex_);
    return directoryExistsLocked(pathKey(path));
}

ErrorCode MemoryPlatform::fileSize(const std::string& path, uint64_t& bytes) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::FileSize, baseName(path), lock)) return rc;
    auto it = files_.find(lower(path));
    if (it == files_.end()) {
        return directoryExistsLocked(parentKey(pathKey(path))) ? win::kErrorFileNotFound : win::kErrorPathNotFound;
    }
    bytes = it->second.size();
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::moveFile(const std::string& from, const std::string& to) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::MoveFile, baseName(from) + " to " + baseName(to), lock)) return rc;
    auto it = files_.find(lower(from));
    if (it == files_.end()) return win::kErrorFileNotFound;
    if (!directoryExistsLocked(parentKey(pathKey(to)))) return win::kErrorPathNotFound;
    // As Windows: a file that a stream of this process holds open cannot be renamed.
    for (const auto& cookie : cookies_) {
        if (cookie->key == lower(from) && cookie->open) return win::kErrorSharingViolation;
    }
    std::string content = std::move(it->second);
    files_.erase(it);
    files_[lower(to)] = std::move(content);
    fileTimes_[lower(to)] = fileTimes_[lower(from)];
    fileTimes_.erase(lower(from));
    fileChangedLocked(from);
    fileChangedLocked(to);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::fileAttributes(const std::string& path, uint32_t& attributes) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::FileAttributes, baseName(path), lock)) return rc;
    const std::string key = pathKey(path);
    if (fileExistsLocked(key)) {
        attributes = FILE_ATTRIBUTE_ARCHIVE;
        return win::kErrorSuccess;
    }
    if (directoryExistsLocked(key)) {
        attributes = win::kFileAttributeDirectory;
        return win::kErrorSuccess;
    }
    return directoryExistsLocked(parentKey(key)) ? win::kErrorFileNotFound : win::kErrorPathNotFound;
}

ErrorCode MemoryPlatform::createDirectory(const std::string& path) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::CreateDirectory, path, lock)) return rc;
    const std::string key = pathKey(path);
    if (fileExistsLocked(key) || directoryExistsLocked(key)) return win::kErrorAlreadyExists;
    if (!directoryExistsLocked(parentKey(key))) return win::kErrorPathNotFound;
    directories_.insert(key);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::readTextFile(const std::string& path, std::string& content) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::ReadTextFile, baseName(path), lock)) return rc;
    auto it = files_.find(lower(path));
    if (it == files_.end()) return win::kErrorFileNotFound;
    // Text mode: CR LF reads as LF, and a Ctrl-Z (0x1A) ends the file.
    content.clear();
    const std::string& raw = it->second;
    for (size_t i = 0; i < raw.size() && raw[i] != '\x1a'; ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        content.push_back(raw[i]);
    }
    return win::kErrorSuccess;
}

std::FILE* MemoryPlatform::openAppendStream(const std::string& path) {
    Lock lock(mutex_);
    if (enter(Op::OpenAppendStream, baseName(path), lock) != 0) return nullptr;
    // As fopen: a file in a folder that does not exist cannot be made.
    if (!directoryExistsLocked(parentKey(pathKey(path)))) return nullptr;
    cookies_.push_back(std::make_unique<AppendCookie>(AppendCookie{this, lower(path), true}));
    files_[lower(path)];  // "a" creates the file
    fileTimes_[lower(path)] = systemTimeAtStartMs_ + nowMs_;
    fileChangedLocked(lower(path));
    cookie_io_functions_t io{};
    io.write = [](void* cookie, const char* data, size_t size) -> ssize_t {
        auto* c = static_cast<AppendCookie*>(cookie);
        Lock inner(c->platform->mutex_);
        c->platform->files_[c->key].append(data, size);
        c->platform->fileChangedLocked(c->key);
        return static_cast<ssize_t>(size);
    };
    io.close = [](void* cookie) -> int {
        auto* c = static_cast<AppendCookie*>(cookie);
        Lock inner(c->platform->mutex_);
        c->open = false;
        return 0;
    };
    std::FILE* stream = fopencookie(cookies_.back().get(), "a", io);
    if (stream != nullptr) setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

}  // namespace vornel
