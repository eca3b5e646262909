// VornelAgent: a small stand-in for a real agent, for the demo and the end-to-end tests.
//
// Run mode (started by bin\startAgent.bat):
//   VornelAgent.exe -pidFile <path> [agent name] [-exitAfter <s>] [-exitCode <n>]
//                   [-pid <n> | -noPid] [-sleepOnly] [-stopDelay <s>] [-ignoreStop] [-child]
// writes its process id in decimal and a line end into the pid file, atomically (a temporary
// file renamed over the pid file, so a reader never sees half a pid), then runs until a stop
// is requested or -exitAfter seconds have passed, and ends with -exitCode (0 by default).
// -pid writes the given number instead of its own pid; -noPid writes nothing. -sleepOnly
// writes nothing and only sleeps (for -exitAfter seconds, or an hour): a plain idle process.
//
// While it runs the agent holds <pid file>.lock open, denying all sharing; the system releases
// it when the process ends, however it ends. A stop is requested by creating <pid file>.stop,
// which the agent looks for four times a second; on a requested stop it removes its pid file
// (when it still names this process) and then the stop file, and ends. -stopDelay makes it
// take that many seconds to shut down once asked; -ignoreStop makes it go on as if it had not
// been asked. -child makes it start a process of its own, another VornelAgent in run mode for
// <pid file>.child that writes no pid and runs until it is ended (its lock: <pid file>.child.lock).
//
// Stop mode (used by bin\stopAgent.bat):
//   VornelAgent.exe -stop -pidFile <path> [-timeout <s>]
// requests the stop and waits until the agent has ended (its lock is free again). Exit
// status 0 when no agent was running or it has ended, 1 when it is still running after the
// time-out (20 s by default). With -wait instead of -stop it only waits.
//
// Unknown arguments are ignored, so the agent accepts whatever start arguments it is given.
// Only the C++ standard library and the C runtime are used.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kPollInterval = std::chrono::milliseconds(250);
constexpr int kStatusOk = 0;
constexpr int kStatusStillRunning = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusAlreadyRunning = 3;
constexpr int kStatusFileError = 4;

struct Options {
    enum class Mode { Run, Stop, Wait } mode = Mode::Run;
    std::optional<std::string> pidFile;
    std::optional<std::string> agentName;
    std::optional<long> exitAfterSeconds;
    int exitCode = 0;
    std::optional<long> pidToWrite;
    bool writePid = true;
    bool sleepOnly = false;
    long timeoutSeconds = 20;
    long stopDelaySeconds = 0;
    bool ignoreStop = false;
    bool startChild = false;
    std::string self;  // this program, as it was started
};

bool sameOption(const char* argument, const char* name) {
    return argument[0] == '-' && _stricmp(argument + 1, name) == 0;
}

bool parseNumber(const char* text, long& value) {
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') return false;
    value = parsed;
    return true;
}

// Fills the options; false (with a message) when an option lacks its value.
bool parseArguments(int argc, char** argv, Options& options) {
    if (argc > 0) options.self = argv[0];
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        auto number = [&](long& value) {
            if (i + 1 >= argc || !parseNumber(argv[i + 1], value)) {
                std::fprintf(stderr, "VornelAgent: %s needs a number\n", arg);
                return false;
            }
            ++i;
            return true;
        };
        long value = 0;
        if (sameOption(arg, "stop")) {
            options.mode = Options::Mode::Stop;
        } else if (sameOption(arg, "wait")) {
            options.mode = Options::Mode::Wait;
        } else if (sameOption(arg, "pidFile")) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "VornelAgent: -pidFile needs a path\n");
                return false;
            }
            options.pidFile = argv[++i];
        } else if (sameOption(arg, "exitAfter")) {
            if (!number(value)) return false;
            options.exitAfterSeconds = value;
        } else if (sameOption(arg, "exitCode")) {
            if (!number(value)) return false;
            options.exitCode = static_cast<int>(value);
        } else if (sameOption(arg, "pid")) {
            if (!number(value)) return false;
            options.pidToWrite = value;
        } else if (sameOption(arg, "noPid")) {
            options.writePid = false;
        } else if (sameOption(arg, "sleepOnly")) {
            options.sleepOnly = true;
        } else if (sameOption(arg, "timeout")) {
            if (!number(value)) return false;
            options.timeoutSeconds = value;
        } else if (sameOption(arg, "stopDelay")) {
            if (!number(value)) return false;
            options.stopDelaySeconds = value;
        } else if (sameOption(arg, "ignoreStop")) {
            options.ignoreStop = true;
        } else if (sameOption(arg, "child")) {
            options.startChild = true;
        } else if (arg[0] != '-' && !options.agentName) {
            options.agentName = arg;
        } else {
            std::printf("VornelAgent: ignoring argument %s\n", arg);
        }
    }
    if (!options.pidFile && !options.sleepOnly) {
        std::fprintf(stderr, "VornelAgent: -pidFile <path> is required\n");
        return false;
    }
    return true;
}

// The lock file, opened denying all sharing; -1 when another process holds it.
int openLock(const std::string& path) {
    int fd = -1;
    if (_sopen_s(&fd, path.c_str(), _O_CREAT | _O_RDWR | _O_BINARY, _SH_DENYRW, _S_IREAD | _S_IWRITE) != 0) {
        return -1;
    }
    return fd;
}

bool lockHeld(const std::string& path) {
    int fd = openLock(path);
    if (fd < 0) return true;
    _close(fd);
    return false;
}

std::optional<long> readPid(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return std::nullopt;
    long pid = 0;
    int fields = std::fscanf(file, "%ld", &pid);
    std::fclose(file);
    if (fields != 1) return std::nullopt;
    return pid;
}

// Writes "<pid>\n" into a temporary file and renames it over the pid file. The rename
// replaces the file in one step; it is retried while a reader holds the pid file open.
bool writePidFile(const std::string& path, long pid) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "VornelAgent: cannot write %s: %s\n", temporary.c_str(), std::strerror(errno));
        return false;
    }
    bool written = std::fprintf(file, "%ld\n", pid) > 0;
    written = std::fclose(file) == 0 && written;
    if (!written) {
        std::fprintf(stderr, "VornelAgent: cannot write %s\n", temporary.c_str());
        return false;
    }
    std::error_code error;
    for (int attempt = 0; attempt < 200; ++attempt) {
        fs::rename(temporary, path, error);
        if (!error) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    std::fprintf(stderr, "VornelAgent: cannot rename %s to %s: %s\n", temporary.c_str(), path.c_str(),
                 error.message().c_str());
    fs::remove(temporary, error);
    return false;
}

void removeQuietly(const std::string& path) {
    std::error_code error;
    fs::remove(path, error);
}

// Starts another VornelAgent, a process of this one, for <pid file>.child: it writes no pid and
// runs until it is ended.
void startChildAgent(const std::string& self, const std::string& pidFile) {
    const std::string quoted = "\"" + pidFile + ".child\"";
    const std::string quotedSelf = "\"" + self + "\"";
    const char* args[] = {quotedSelf.c_str(), "-pidFile", quoted.c_str(), "-noPid", nullptr};
    if (_spawnv(_P_NOWAIT, self.c_str(), args) == -1) {
        std::fprintf(stderr, "VornelAgent: cannot start the child: %s\n", std::strerror(errno));
    }
}

int run(const Options& options) {
    std::optional<Clock::time_point> deadline;
    if (options.exitAfterSeconds) deadline = Clock::now() + std::chrono::seconds(*options.exitAfterSeconds);
    if (options.sleepOnly) {
        std::this_thread::sleep_for(options.exitAfterSeconds ? std::chrono::seconds(*options.exitAfterSeconds)
                                                             : std::chrono::seconds(3600));
        return options.exitCode;
    }

    const std::string pidFile = *options.pidFile;
    const std::string stopFile = pidFile + ".stop";
    std::error_code error;
    fs::path directory = fs::path(pidFile).parent_path();
    if (!directory.empty()) fs::create_directories(directory, error);

    int lock = openLock(pidFile + ".lock");
    if (lock < 0) {
        std::fprintf(stderr, "VornelAgent: an agent for %s is already running\n", pidFile.c_str());
        return kStatusAlreadyRunning;
    }
    removeQuietly(stopFile);  // left over from a stop that found no agent

    const long ownPid = _getpid();
    const long written = options.pidToWrite.value_or(ownPid);
    if (options.writePid && !writePidFile(pidFile, written)) {
        _close(lock);
        return kStatusFileError;
    }
    std::printf("VornelAgent: %s running, pid %ld\n", options.agentName.value_or("agent").c_str(), ownPid);
    std::fflush(stdout);
    if (options.startChild) startChildAgent(options.self, pidFile);

    bool stopRequested = false;
    while (!(deadline && Clock::now() >= *deadline)) {
        if (fs::exists(stopFile, error)) {
            if (!options.ignoreStop) {
                stopRequested = true;
                break;
            }
            std::printf("VornelAgent: stop requested, ignored\n");
            std::fflush(stdout);
            removeQuietly(stopFile);
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    if (stopRequested && options.stopDelaySeconds > 0) {
        std::printf("VornelAgent: shutting down for %ld s\n", options.stopDelaySeconds);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(options.stopDelaySeconds));
    }
    if (stopRequested) {
        if (options.writePid && readPid(pidFile) == written) removeQuietly(pidFile);
        removeQuietly(stopFile);
    }
    _close(lock);
    return options.exitCode;
}

// Requests a stop (unless only waiting) and waits until the lock is free.
int stop(const Options& options) {
    const std::string pidFile = *options.pidFile;
    const std::string lockFile = pidFile + ".lock";
    if (!lockHeld(lockFile)) {
        std::printf("VornelAgent: no agent is running for %s\n", pidFile.c_str());
        return kStatusOk;
    }
    if (options.mode == Options::Mode::Stop) {
        std::FILE* file = std::fopen((pidFile + ".stop").c_str(), "w");
        if (file == nullptr) {
            std::fprintf(stderr, "VornelAgent: cannot request the stop: %s\n", std::strerror(errno));
            return kStatusFileError;
        }
        std::fclose(file);
        std::printf("VornelAgent: stop requested\n");
    }
    const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (lockHeld(lockFile)) {
        if (Clock::now() >= deadline) {
            std::printf("VornelAgent: the agent is still running after %ld s\n", options.timeoutSeconds);
            return kStatusStillRunning;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("VornelAgent: the agent has ended\n");
    return kStatusOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArguments(argc, argv, options)) return kStatusUsage;
    int status = options.mode == Options::Mode::Run ? run(options) : stop(options);
    std::fflush(stdout);
    return status;
}
