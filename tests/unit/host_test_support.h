// What the service host's tests share: a simulated agent installation behind the two scripts
// (the one agent simulator of the host's tests and of its fault sweep), an installed service on
// the in-memory Windows, and the host run in-process as the service manager runs it.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/registry.h"
#include "host/host.h"
#include "installed_service.h"
#include "stop/stop_tool.h"
#include "test_support.h"

namespace vornel::testing {

using Report = MemoryPlatform::StatusReport;

// The agent installation the host's scripts meet. The start script runs for a while and, as it
// ends, starts the agent: a process of the script (so of the host's job) that writes its pid
// into the pid file. The stop script asks the newest agent to end, and it ends then, a moment
// later, or not at all.
class SimulatedAgents {
public:
    struct Behaviour {
        uint64_t startScriptMs = 2500;                // two checkpoints
        std::optional<uint64_t> laterStartScriptsMs;  // the start script's runs after the first
        std::optional<uint64_t> stopScriptMs = 3000;  // absent: it never ends
        ErrorCode startError = 0;                     // the start script's launch fails with it
        ErrorCode stopError = 0;
        bool writesPid = true;
        uint64_t pidWrittenAfterMs = 0;          // the agent writes its pid this long after it starts
        std::vector<uint64_t> agentRunsMs;       // the first agents end by themselves after these...
        std::optional<uint64_t> agentRunsForMs;  // ...and the later ones after this, or never
        uint32_t agentExitCode = 7;
        bool stopEndsAgentAtOnce = false;         // otherwise when the stop script ends
        bool agentHeedsStop = true;               // false: the stop script asks, the agent goes on
        std::optional<uint64_t> agentShutdownMs;  // the agent takes this long to end once asked
        bool agentStartsChild = false;            // the agent starts a process of its own, which runs on
        std::function<void()> onStartLaunch;      // runs at each launch of the start script
        std::function<void()> onStopLaunch;       // runs at each launch of the stop script
    };

    SimulatedAgents(MemoryPlatform& os, std::string pidFile) : os_(os), pidFile_(std::move(pidFile)) {}

    Behaviour behaviour;

    // The launcher of the platform: what each launch of a script does.
    MemoryPlatform::LaunchOutcome launch(const MemoryPlatform::Launch& launch) {
        MemoryPlatform::LaunchOutcome outcome;
        if (launch.commandLine.find("startAgent.bat") != std::string::npos) {
            if (behaviour.onStartLaunch) behaviour.onStartLaunch();
            const bool first = record([&] {
                startLaunchTimes_.push_back(os_.nowMs());
                return startLaunchTimes_.size() == 1;
            });
            outcome.error = behaviour.startError;
            outcome.process.runsForMs =
                first ? behaviour.startScriptMs : behaviour.laterStartScriptsMs.value_or(behaviour.startScriptMs);
            const uint32_t script = launch.pid;
            outcome.process.onExit = [this, script] { startAgent(script); };
        } else {
            if (behaviour.onStopLaunch) behaviour.onStopLaunch();
            if (behaviour.stopEndsAgentAtOnce && behaviour.stopError == 0) askNewestAgentToEnd();
            outcome.error = behaviour.stopError;
            outcome.process.runsForMs = behaviour.stopScriptMs;
            outcome.process.onExit = [this] {
                stopScriptEnded_ = true;
                askNewestAgentToEnd();
            };
        }
        return outcome;
    }

    std::vector<uint32_t> agents() const { return record([&] { return agents_; }); }
    std::vector<uint32_t> children() const { return record([&] { return children_; }); }
    std::vector<uint64_t> startLaunchTimes() const { return record([&] { return startLaunchTimes_; }); }
    std::vector<uint64_t> agentEndTimes() const { return record([&] { return agentEndTimes_; }); }
    bool stopScriptEnded() const { return stopScriptEnded_; }

private:
    template <class Body>
    auto record(Body body) const -> decltype(body()) {
        std::lock_guard<std::mutex> lock(mutex_);
        return body();
    }

    void startAgent(uint32_t script) {
        MemoryPlatform::ProcessSpec agent;
        const size_t index = agents().size();
        agent.runsForMs = index < behaviour.agentRunsMs.size() ? std::optional<uint64_t>(behaviour.agentRunsMs[index])
                                                               : behaviour.agentRunsForMs;
        agent.exitCode = behaviour.agentExitCode;
        agent.onExit = [this] { record([&] { agentEndTimes_.push_back(os_.nowMs()); }); };
        agent.name = "agent";
        agent.parent = script;
        const uint32_t pid = os_.spawnProcess(agent);
        if (behaviour.agentStartsChild) {
            MemoryPlatform::ProcessSpec child;
            child.name = "agent's child";
            child.parent = pid;
            const uint32_t childPid = os_.spawnProcess(child);
            record([&] { children_.push_back(childPid); });
        }
        if (behaviour.writesPid && behaviour.pidWrittenAfterMs == 0) os_.writeFile(pidFile_, std::to_string(pid) + "\r\n");
        if (behaviour.writesPid && behaviour.pidWrittenAfterMs != 0) {
            MemoryPlatform::ProcessSpec writer;  // the agent's own start-up, as time passes
            writer.name = "agent starting";
            writer.runsForMs = behaviour.pidWrittenAfterMs;
            writer.onExit = [this, pid] { os_.writeFile(pidFile_, std::to_string(pid) + "\r\n"); };
            os_.spawnProcess(writer);
        }
        record([&] { agents_.push_back(pid); });
    }

    void askNewestAgentToEnd() {
        const std::vector<uint32_t> all = agents();
        if (all.empty() || !behaviour.agentHeedsStop) return;
        const uint32_t agent = all.back();
        if (!behaviour.agentShutdownMs) {
            os_.endProcess(agent, 0);
            return;
        }
        // The agent shuts down: a process of its own that ends it when it is done.
        MemoryPlatform::ProcessSpec shutdown;
        shutdown.runsForMs = behaviour.agentShutdownMs;
        shutdown.name = "agent shutting down";
        shutdown.onExit = [this, agent] { os_.endProcess(agent, 0); };
        os_.spawnProcess(shutdown);
    }

    MemoryPlatform& os_;
    const std::string pidFile_;
    mutable std::mutex mutex_;
    std::vector<uint32_t> agents_, children_;
    std::vector<uint64_t> startLaunchTimes_, agentEndTimes_;
    std::atomic<bool> stopScriptEnded_{false};
};

// A status record as a test expects it: the fields a test names are compared, the others not.
struct Expected {
    std::optional<uint32_t> state, accepted, win32, specific, checkPoint, waitHint;
};

inline ::testing::AssertionResult matches(const ServiceStatus& s, const Expected& e) {
    auto field = [](const char* name, uint32_t actual, const std::optional<uint32_t>& expected) {
        return !expected || actual == *expected
                   ? std::string()
                   : std::string(name) + " " + std::to_string(actual) + " != " + std::to_string(*expected) + "; ";
    };
    std::string diff = field("type", s.dwServiceType, 16u) + field("state", s.dwCurrentState, e.state) +
                       field("accepted", s.dwControlsAccepted, e.accepted) +
                       field("win32", s.dwWin32ExitCode, e.win32) +
                       field("specific", s.dwServiceSpecificExitCode, e.specific) +
                       field("checkpoint", s.dwCheckPoint, e.checkPoint) + field("hint", s.dwWaitHint, e.waitHint);
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << diff;
}

// The reports a service makes in its states, as Windows documents them: checkpoint and wait
// hint only while pending, stopped accepting nothing.
inline Expected startPending(uint32_t checkPoint, uint32_t accepted = 0) {
    return {win::kServiceStartPending, accepted, 0u, {}, checkPoint, host::kStartWaitHint};
}
inline Expected stopPending(uint32_t checkPoint) {
    return {win::kServiceStopPending, host::kAcceptedControls, 0u, {}, checkPoint, host::kStopWaitHint};
}
inline const Expected kRunning{win::kServiceRunning, host::kAcceptedControls, 0u, {}, 0u, 0u};
inline const Expected kPaused{win::kServicePaused, host::kAcceptedWhilePaused, 0u, {}, 0u, 0u};
inline Expected stopped(uint32_t win32 = 0, uint32_t specific = 0) {
    return {win::kServiceStopped, 0u, win32, specific, 0u, 0u};
}

class HostTest : public MemoryTest {
protected:
    const std::string name = "OrvikTamberVornel6100AgentService - unit";
    const std::string params = parametersKeyPath(name);
    const std::string home = "C:\\agent\\";
    const std::string pidFile = "C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile";

    SimulatedAgents simulated{os, pidFile};
    SimulatedAgents::Behaviour& installation = simulated.behaviour;

    // The service as the installer leaves it, without trace files: a test that turns the trace
    // on reads it from the error stream.
    HostTest() {
        InstalledService("unit").agentHome(home).agentName("agent one").traceFiles(std::nullopt, std::nullopt).install(os);
        os.makeDirectory(home + "logs\\middlewareagent");
        os.setLauncher([this](const MemoryPlatform::Launch& launch) { return simulated.launch(launch); });
    }
    ~HostTest() override { os.shutdown(); }

    // The host as the service control manager launches it, on a thread that becomes the
    // dispatcher thread.
    void startHost(std::vector<std::string> startArguments = {}) {
        os.setLaunchedByManager(true, std::move(startArguments));
        os.startServiceProcess([this] {
            Argv argv{"VornelAgentService.exe", name};
            return host::vornelAgentServiceProgramMain(os, argv.argc(), argv.argv());
        });
    }

    // Waits until the dispatcher has returned.
    int finishHost() {
        std::optional<int> status = os.waitServiceProcess();
        EXPECT_TRUE(status.has_value()) << "the dispatcher did not return";
        return status.value_or(-100);
    }

    // A context as the entry makes it, for calling the host's routines directly.
    std::unique_ptr<host::HostContext> directContext() {
        auto context = std::make_unique<host::HostContext>(os);
        EXPECT_EQ(os.registerEventSource(name, context->eventSource), 0u);
        return context;
    }

    std::vector<ServiceStatus> reports() const {
        std::vector<ServiceStatus> result;
        for (const Report& r : os.statusReports()) result.push_back(r.status);
        return result;
    }
    std::vector<Report> reportsFrom(uint32_t state) const {
        auto all = os.statusReports();
        auto first = std::find_if(all.begin(), all.end(), [&](const Report& r) { return r.status.dwCurrentState == state; });
        return std::vector<Report>(first, all.end());
    }
    bool waitForReport(const Expected& expected, size_t count = 1) {
        return os.waitUntil([&] {
            size_t seen = 0;
            for (const ServiceStatus& s : reports()) seen += matches(s, expected) ? 1 : 0;
            return seen >= count;
        });
    }
    // The states in the order reported, each once however often it was reported in a row.
    std::vector<uint32_t> stateSequence() const {
        std::vector<uint32_t> states;
        for (const ServiceStatus& s : reports()) {
            if (states.empty() || states.back() != s.dwCurrentState) states.push_back(s.dwCurrentState);
        }
        return states;
    }

    std::vector<uint32_t> agents() const { return simulated.agents(); }
    bool waitForAgents(size_t count) {
        return os.waitUntil([&] { return agents().size() >= count; });
    }

    // The stop tool as an administrator runs it, as a program of its own beside the host; its
    // exit status lands in the slot when it ends.
    std::function<void()> stopTool(std::atomic<int>& status) {
        return [this, &status] {
            Argv argv{"StopVornelAgentService.exe", "-servicename", "unit"};
            status = stopVornelAgentServiceMain(os, argv.argc(), argv.argv());
        };
    }

    size_t launchesOf(const std::string& script) const {
        auto all = os.launches();
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const MemoryPlatform::Launch& l) {
            return l.commandLine.find(script) != std::string::npos;
        }));
    }
    std::vector<MemoryPlatform::Event> eventsWithId(uint32_t id) const {
        std::vector<MemoryPlatform::Event> result;
        for (const auto& e : os.events()) {
            if (e.id == id) result.push_back(e);
        }
        return result;
    }
    bool traced(const std::string& message) {
        auto lines = trace();
        return std::find(lines.begin(), lines.end(), message) != lines.end();
    }

    // After a stop: stopped was reported last, and nothing the scripts or the agents started
    // still runs.
    void expectStoppedWithNothingLeft(const Expected& last = stopped()) {
        ASSERT_FALSE(reports().empty());
        EXPECT_TRUE(matches(reports().back(), last));
        auto states = stateSequence();
        EXPECT_EQ(std::count(states.begin(), states.end(), win::kServiceStopped), 1) << "stopped is final";
        for (uint32_t agent : agents()) EXPECT_FALSE(os.processRunning(agent)) << "agent " << agent;
        for (uint32_t child : simulated.children()) EXPECT_FALSE(os.processRunning(child)) << "child " << child;
        for (const MemoryPlatform::Launch& launch : os.launches()) {
            EXPECT_FALSE(os.processRunning(launch.pid)) << launch.commandLine;
        }
    }
};

}  // namespace vornel::testing
