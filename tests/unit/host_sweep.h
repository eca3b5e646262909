// The fault-injection sweep over the service host: the rig that runs the host as the service
// manager runs it, with a simulated agent installation and a driver that acts for the
// administrator and the agent.
#pragma once

#include "fault_sweep.h"
#include "host_test_support.h"

namespace vornel::testing {

// --- Service host ---

// A console stream that other threads may write while a test reads it.
class SharedCapture {
public:
    SharedCapture() {
        cookie_io_functions_t io{};
        io.write = [](void* self, const char* data, size_t size) -> ssize_t {
            auto* capture = static_cast<SharedCapture*>(self);
            std::lock_guard<std::mutex> lock(capture->mutex_);
            capture->text_.append(data, size);
            return static_cast<ssize_t>(size);
        };
        stream_ = fopencookie(this, "w", io);
        std::setvbuf(stream_, nullptr, _IONBF, 0);
    }
    ~SharedCapture() { std::fclose(stream_); }
    SharedCapture(const SharedCapture&) = delete;
    SharedCapture& operator=(const SharedCapture&) = delete;
    std::FILE* stream() const { return stream_; }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::FILE* stream_;
};

// The host's error output: the error stream without its trace lines. Two trace lines of the
// pid file show the piece they read with its line end (the sweep's pid files always end in
// one), so the rest of each stands on a line of its own and goes with it.
inline std::string hostErrorOutput(const std::string& errText) {
    std::string rest;
    bool tailFollows = false;
    for (const std::string& line : splitLines(errText)) {
        if (hasTraceTime(line)) {
            const std::string message = line.substr(27);
            tailFollows = message.rfind("VornelAgentService - readAgentPidFile - pid string from file = ", 0) == 0 ||
                          (message.rfind("VornelAgentService - waitForPidFile - read pid ", 0) == 0 &&
                           message.find(" - lastPid = ") == std::string::npos);
        } else if (tailFollows) {
            tailFollows = false;
        } else {
            rest += line + "\n";
        }
    }
    return rest;
}

// One path of the host: the installation and service it meets, and what the administrator
// and the agent do.
struct HostScenario {
    std::string name;
    bool launchedByManager = true;
    uint32_t osMajorVersion = 6;
    bool traceToFiles = false;          // DebugTrace on with both trace files: the output is redirected
    bool pidFileConfigured = true;
    bool liveProcessInPidFile = false;  // the agent is still running: the start is refused
    bool deadProcessInPidFile = false;  // left by an agent that has ended
    bool argumentsEncoded = false;      // the script arguments stored encoded, Encoded on
    unsigned agentsEndingByThemselves = 0;  // the first agents end after agentRunsForMs
    uint64_t agentRunsForMs = 2000;
    uint64_t startScriptMs = 1500;  // one timed-out wait, so one checkpoint report
    uint64_t stopScriptMs = 1500;
    bool stopWhileStartScriptRuns = false;  // a stop control arrives as the first start script is launched
    bool stopScriptNeverEnds = false;       // the stop script hangs: StopTimeout ends it
    std::optional<std::string> stopTimeout;  // StopTimeout as stored
    bool jobsWork = true;                   // false: no script can be put into the host's job
    bool agentWritesNoPid = false;          // the start script's agent never writes its pid
    bool earlierRunsAgent = false;          // the pid file names a live agent in the service's job
    bool control128 = false;                // the administrator sends control 128, not a stop
    std::optional<std::string> traceFileMaxKB;  // TraceFileMaxKB as stored
};

inline const std::string kHostService = "OrvikTamberVornel6100AgentService - sweep";
inline const std::string kHostParams = parametersKeyPath(kHostService);
inline const std::string kHostHome = "C:\\agent\\";
inline const std::string kHostPidFile = "C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile";
inline const std::string kHostStdOutFile = "C:\\agent\\logs\\middlewareagent\\VornelAgentService.stdout";
inline const std::string kHostStdErrFile = "C:\\agent\\logs\\middlewareagent\\VornelAgentService.stderr";
inline const std::string kHostLogFile = "C:\\agent\\logs\\scripts.log";
inline const std::string kHostStartArguments = "-Dmode=sweep -Dx";
inline const std::string kHostStopArguments = "-force";


// What a run of the host left behind. Everything but the processes still running is taken
// when the entry returns: the host process ends there, whatever its other thread was doing.
struct HostRun : RunRecord {
    int status = -100;
    bool finished = false;     // the entry returned by itself in time
    bool stuck = false;        // it still waited for someone when every driver step was taken
    bool timedOut = false;     // it did not finish within the real-time limit
    unsigned driverSteps = 0;  // 1: a stop sent; 2: the agents ended; 3: another stop sent
    std::vector<MemoryPlatform::StatusReport> reports;
    std::vector<MemoryPlatform::Event> events;
    std::vector<std::string> eventSources;
    std::vector<MemoryPlatform::Launch> launches;
    std::vector<uint32_t> agents;            // the agents the start scripts started, in order
    std::vector<uint32_t> runningAfterStop;  // agents and the old agent still running once the scripts have had their time
    std::vector<std::string> runningAtEnd;   // what the host launched (scripts, agents) still running when its process ended
    std::string out;                         // console output, the redirected file included
    std::string err;                         // error output, the redirected file included
    std::vector<std::string> trace;          // trace messages, the redirected file included
    bool stdoutFile = false, stderrFile = false;  // the redirection created the trace files
    uint32_t oldPid = 0;                     // the process the pid file named before the start
    std::vector<MemoryPlatform::Call> callRecords;  // every call, with what it was for
    bool stopScriptEnded = false;            // a stop script ran to its end
    size_t handlesLeft = 0;                  // handles still open once every thread has unwound

    std::vector<std::string> commandLines(const std::string& script) const {
        std::vector<std::string> lines;
        for (const MemoryPlatform::Launch& l : launches) {
            if (l.commandLine.find(script) != std::string::npos) lines.push_back(l.commandLine);
        }
        return lines;
    }
    std::vector<uint32_t> eventIds() const {
        std::vector<uint32_t> ids;
        for (const MemoryPlatform::Event& e : events) ids.push_back(e.id);
        return ids;
    }
};

// Runs the host once on the platform, the failAt-th call failing with the code (0: none).
class HostRig {
public:
    HostRig(const HostScenario& scenario, MemoryPlatform& os) : s_(scenario), os_(os) {}
    // The scripts' exit callbacks use the rig: every process ends while the rig still exists.
    ~HostRig() { os_.shutdown(); }
    HostRig(const HostRig&) = delete;
    HostRig& operator=(const HostRig&) = delete;

    HostRun run(uint64_t failAt, ErrorCode code) {
        SharedCapture out, err;
        resetTrace(out.stream(), err.stream());
        install();
        HostRun result;
        result.oldPid = oldPid_;
        os_.resetCalls();
        if (failAt != 0) os_.failCall(failAt, code);

        os_.startServiceProcess([this] {
            Argv argv{"VornelAgentService.exe", kHostService};
            return host::vornelAgentServiceProgramMain(os_, argv.argc(), argv.argv());
        });
        drive(result);
        // A process that cannot end by itself is ended as the service manager ends it.
        if (!os_.serviceProcessEnded()) os_.shutdown();
        std::optional<int> status = os_.waitServiceProcess();
        result.status = status.value_or(-100);
        result.finished = !result.stuck && !result.timedOut;
        result.calls = os_.callCount();
        result.log = os_.callLog();
        result.callRecords = os_.calls();
        result.reports = os_.statusReports();
        result.events = os_.events();
        result.eventSources = os_.eventSources();
        result.launches = os_.launches();
        std::optional<std::string> stdoutFile = os_.fileContent(kHostStdOutFile);
        std::optional<std::string> stderrFile = os_.fileContent(kHostStdErrFile);
        result.stdoutFile = stdoutFile.has_value();
        result.stderrFile = stderrFile.has_value();
        const std::string errText = err.text() + stderrFile.value_or("");
        result.out = out.text() + stdoutFile.value_or("");
        result.err = hostErrorOutput(errText);
        result.trace = traceMessages(errText);
        const size_t startsAtExit = result.commandLines("startAgent.bat").size();
        for (const MemoryPlatform::Launch& launch : result.launches) {
            if (os_.processRunning(launch.pid)) result.runningAtEnd.push_back(launch.commandLine.substr(0, 60));
        }
        for (uint32_t agent : agents()) {
            if (os_.processRunning(agent)) result.runningAtEnd.push_back("agent " + std::to_string(agent));
        }

        // The scripts and agents are processes of their own and go on.
        os_.advance(600000);
        std::vector<uint32_t> all = agents();
        result.agents = all;
        if (all.size() > startsAtExit) all.resize(startsAtExit);
        if (oldPid_ != 0) all.push_back(oldPid_);
        for (uint32_t pid : all) {
            if (os_.processRunning(pid)) result.runningAfterStop.push_back(pid);
        }
        result.stopScriptEnded = simulated_.stopScriptEnded();
        os_.shutdown();
        result.handlesLeft = os_.openHandleCount();
        result.hang = os_.hangDetected();
        resetTrace(stdout, stderr);
        return result;
    }

private:
    void install() {
        InstalledService("sweep")
            .agentHome(kHostHome)
            .agentName("agent one")
            .pidFile(s_.pidFileConfigured ? std::optional<std::string>(kHostPidFile) : std::nullopt)
            .debugTrace("on")
            .logFile(kHostLogFile)
            .traceFiles(s_.traceToFiles ? std::optional<std::string>(kHostStdOutFile) : std::nullopt,
                        s_.traceToFiles ? std::optional<std::string>(kHostStdErrFile) : std::nullopt)
            .encoded(s_.argumentsEncoded ? "on" : "off")
            .startArgs(kHostStartArguments)
            .stopArgs(kHostStopArguments)
            .install(os_);
        if (s_.stopTimeout) os_.setString(kHostParams, kStopTimeout, *s_.stopTimeout);
        if (s_.traceFileMaxKB) os_.setString(kHostParams, kTraceFileMaxKB, *s_.traceFileMaxKB);
        os_.setJobsWork(s_.jobsWork);
        if (s_.liveProcessInPidFile || s_.earlierRunsAgent) {
            oldPid_ = os_.spawnProcess({});
            os_.writeFile(kHostPidFile, std::to_string(oldPid_) + "\r\n");
            if (s_.earlierRunsAgent) os_.putIntoNamedJob(host::agentJobName(kHostService), oldPid_);
        } else if (s_.deadProcessInPidFile) {
            MemoryPlatform::ProcessSpec ended;
            ended.runsForMs = 0;
            oldPid_ = os_.spawnProcess(ended);
            os_.writeFile(kHostPidFile, std::to_string(oldPid_) + "\r\n");
        }
        os_.setOsMajorVersion(s_.osMajorVersion);
        // The driver acts only when the process waits for it: no real pauses are needed.
        os_.setRealPauses(false);
        os_.setLaunchedByManager(s_.launchedByManager);
        os_.makeDirectory(kHostHome + "logs\\middlewareagent");
        // The start script starts an agent that writes its pid as the script ends; the stop
        // script ends the newest agent as it ends.
        SimulatedAgents::Behaviour& agents = simulated_.behaviour;
        agents.startScriptMs = s_.startScriptMs;
        agents.stopScriptMs = s_.stopScriptNeverEnds ? std::nullopt : std::optional<uint64_t>(s_.stopScriptMs);
        agents.agentRunsMs = std::vector<uint64_t>(s_.agentsEndingByThemselves, s_.agentRunsForMs);
        agents.agentRunsForMs = std::nullopt;
        agents.agentExitCode = 0;
        agents.writesPid = !s_.agentWritesNoPid;
        if (s_.stopWhileStartScriptRuns) {
            agents.onStartLaunch = [this] {
                if (!stopSent_.exchange(true)) os_.postControl(win::kServiceControlStop);
            };
        }
        os_.setLauncher([this](const MemoryPlatform::Launch& launch) { return simulated_.launch(launch); });
    }

    std::vector<uint32_t> agents() const { return simulated_.agents(); }

    // Acts whenever the service can go on only once someone acts, until the entry returns:
    // a stop, then the agents end, then another stop.
    void drive(HostRun& result) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!os_.serviceProcessEnded()) {
            if (std::chrono::steady_clock::now() > deadline) {
                result.timedOut = true;
                return;
            }
            if (!os_.serviceAwaitsTest()) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            switch (result.driverSteps) {
                case 0:
                    os_.postControl(s_.control128 ? 128 : win::kServiceControlStop);
                    break;
                case 2:
                    os_.postControl(win::kServiceControlStop);
                    break;
                case 1: {
                    std::vector<uint32_t> all = agents();
                    if (oldPid_ != 0) all.push_back(oldPid_);
                    for (uint32_t pid : all) os_.endProcess(pid, 0);
                    break;
                }
                default:
                    result.stuck = true;
                    return;
            }
            ++result.driverSteps;
            // The step takes effect before the service is asked again.
            os_.waitUntil([&] { return os_.serviceProcessEnded() || !os_.serviceAwaitsTest(); },
                          std::chrono::milliseconds(20));
        }
    }

    const HostScenario& s_;
    MemoryPlatform& os_;
    SimulatedAgents simulated_{os_, kHostPidFile};
    uint32_t oldPid_ = 0;
    std::atomic<bool> stopSent_{false};
};

}  // namespace vornel::testing
