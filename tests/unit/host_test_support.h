// What the service host's tests share: an installed service on the in-memory Windows, a
// simulated agent installation behind its two scripts, and the host run in-process.
#pragma once

#include <algorithm>
#include <functional>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "host/host.h"
#include "stop/stop_tool.h"
#include "installed_service.h"
#include "test_support.h"

namespace vornel::testing {

using Report = MemoryPlatform::StatusReport;

// A status record as a test expects it; fields left empty are not compared.
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

class HostTest : public MemoryTest {
protected:
    const std::string name = "OrvikTamberVornel6100AgentService - unit";
    const std::string params = parametersKeyPath(name);
    const std::string home = "C:\\agent\\";
    const std::string pidFile = "C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile";

    // How the simulated installation behaves; set before the host runs.
    struct Installation {
        uint64_t startScriptMs = 2500;                  // two timed-out waits
        std::optional<uint64_t> laterStartScriptsMs;    // the start script's runs after the first
        std::optional<uint64_t> stopScriptMs = 3000;    // two timed-out waits; absent: it never ends
        ErrorCode startError = 0;
        ErrorCode stopError = 0;
        bool writesPid = true;
        std::optional<uint64_t> agentRunsForMs;  // the agent ends by itself
        std::vector<uint64_t> agentRunsMs;       // the first agents' runs, in order; then agentRunsForMs
        uint32_t agentExitCode = 7;
        bool stopEndsAgentAtOnce = false;  // otherwise when the stop script ends
        bool agentHeedsStop = true;        // false: the stop script asks, the agent goes on
        std::optional<uint64_t> agentShutdownMs;  // the agent takes this long to end once asked
        bool agentStartsChild = false;     // the agent starts a process of its own, which runs on
        std::function<void()> onStartLaunch;  // runs on the service main thread at the launch
        std::function<void()> onStopLaunch;   // runs on the stopping thread at the stop script's launch
    } installation;

    // The service as the installer leaves it; tests change what they are about.
    HostTest() {
        // Without trace files: a test that turns the trace on reads it from the error stream.
        InstalledService("unit").agentHome(home).agentName("agent one").traceFiles(std::nullopt, std::nullopt).install(os);
        os.setLauncher([this](const MemoryPlatform::Launch& launch) { return runScript(launch); });
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

    // Waits until the dispatcher has returned and the service main has ended.
    int finishHost() {
        std::optional<int> status = os.waitServiceProcess();
        EXPECT_TRUE(status.has_value()) << "the dispatcher did not return";
        return status.value_or(-100);
    }

    // A context as the entry makes it, with a status handle, for calling routines directly.
    std::shared_ptr<host::HostContext> directContext() {
        auto context = host::HostContext::create(os);
        StatusHandle handle = 0;
        os.registerServiceCtrlHandler(name, [](uint32_t) {}, handle);
        context->setStatusHandle(handle);
        context->setStopServiceName(name);
        context->update([](ServiceStatus& s) { s.dwServiceType = win::kServiceWin32OwnProcess; });
        EventSource source = 0;
        os.registerEventSource(name, source);
        context->eventSource = source;
        return context;
    }

    std::vector<ServiceStatus> reports() const {
        std::vector<ServiceStatus> result;
        for (const Report& r : os.statusReports()) result.push_back(r.status);
        return result;
    }

    bool waitForReport(const Expected& expected, size_t count = 1) {
        return os.waitUntil([&] {
            size_t seen = 0;
            for (const ServiceStatus& s : reports()) seen += matches(s, expected) ? 1 : 0;
            return seen >= count;
        });
    }

    // The processes the agents started, in order.
    std::vector<uint32_t> agentChildren() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return children_;
    }

    // The stop tool as an administrator runs it, as a program of its own beside the host;
    // its exit status lands in the slot when it ends.
    void runStopTool(const std::string& client, std::atomic<int>& status) { os.startClient(client, stopTool(status)); }
    // Two stop tools started at the same moment, the first in line first.
    void runStopTools(const std::string& first, std::atomic<int>& firstStatus, const std::string& second,
                      std::atomic<int>& secondStatus) {
        os.startClients({{first, stopTool(firstStatus)}, {second, stopTool(secondStatus)}});
    }
    std::function<void()> stopTool(std::atomic<int>& status) {
        return [this, &status] {
            Argv argv{"StopVornelAgentService.exe", "-servicename", "unit"};
            status = stopVornelAgentServiceMain(os, argv.argc(), argv.argv());
        };
    }

    // The agents the start script has launched, in order.
    std::vector<uint32_t> agents() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return agents_;
    }
    bool waitForAgents(size_t count) {
        return os.waitUntil([&] { return agents().size() >= count; });
    }

    // Virtual times of the start script's launches and of the agents' ends, in order.
    std::vector<uint64_t> startLaunchTimes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return startLaunchTimes_;
    }
    std::vector<uint64_t> agentEndTimes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return agentEndTimes_;
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

private:
    // The start script starts an agent (a process of the script, so of its job) that writes its
    // pid when the script has ended; the stop script asks the newest agent to end, and it ends
    // then, or a moment later, or not at all, as the installation says.
    MemoryPlatform::LaunchOutcome runScript(const MemoryPlatform::Launch& launch) {
        MemoryPlatform::LaunchOutcome outcome;
        const uint32_t script = launch.pid;
        if (launch.commandLine.find("startAgent.bat") != std::string::npos) {
            if (installation.onStartLaunch) installation.onStartLaunch();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                startLaunchTimes_.push_back(os.nowMs());
            }
            outcome.error = installation.startError;
            const bool first = startRuns_++ == 0;
            outcome.process.runsForMs =
                first ? installation.startScriptMs : installation.laterStartScriptsMs.value_or(installation.startScriptMs);
            outcome.process.onExit = [this, script] {
                MemoryPlatform::ProcessSpec agent;
                const size_t index = agents().size();
                agent.runsForMs = index < installation.agentRunsMs.size()
                                      ? std::optional<uint64_t>(installation.agentRunsMs[index])
                                      : installation.agentRunsForMs;
                agent.exitCode = installation.agentExitCode;
                agent.onExit = [this] {
                    std::lock_guard<std::mutex> lock(mutex_);
                    agentEndTimes_.push_back(os.nowMs());
                };
                agent.name = "agent";
                agent.parent = script;
                uint32_t pid = os.spawnProcess(agent);
                if (installation.agentStartsChild) {
                    MemoryPlatform::ProcessSpec child;
                    child.name = "agent's child";
                    child.parent = pid;
                    std::lock_guard<std::mutex> lock(mutex_);
                    children_.push_back(os.spawnProcess(child));
                }
                if (installation.writesPid) os.writeFile(pidFile, std::to_string(pid) + "\r\n");
                std::lock_guard<std::mutex> lock(mutex_);
                agents_.push_back(pid);
            };
        } else {
            if (installation.onStopLaunch) installation.onStopLaunch();
            if (installation.stopEndsAgentAtOnce && installation.stopError == 0) askNewestAgentToEnd();
            outcome.error = installation.stopError;
            outcome.process.runsForMs = installation.stopScriptMs;
            outcome.process.onExit = [this] { askNewestAgentToEnd(); };
        }
        return outcome;
    }

    void askNewestAgentToEnd() {
        auto all = agents();
        if (all.empty() || !installation.agentHeedsStop) return;
        if (!installation.agentShutdownMs) {
            os.endProcess(all.back(), 0);
            return;
        }
        // The agent shuts down: a process of the stop's own that ends it when it is done.
        const uint32_t agent = all.back();
        MemoryPlatform::ProcessSpec shutdown;
        shutdown.runsForMs = installation.agentShutdownMs;
        shutdown.name = "agent shutting down";
        shutdown.onExit = [this, agent] { os.endProcess(agent, 0); };
        os.spawnProcess(shutdown);
    }

    mutable std::mutex mutex_;
    std::vector<uint32_t> agents_;
    std::vector<uint32_t> children_;
    std::vector<uint64_t> startLaunchTimes_;
    std::vector<uint64_t> agentEndTimes_;
    unsigned startRuns_ = 0;
};

}  // namespace vornel::testing
