// The control handler: acknowledges every control with a status report, starts the stop on a
// thread of its own, and answers interrogation with the state the service main last declared.
// It never waits for a script: the service manager hears back as soon as it returns.
#include <memory>
#include <string>

#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

void traceSeparator() { traceMessage("%s", std::string(81, '+').c_str()); }

void traceClosing() {
    traceMessage("VornelAgentService - VornelAgentServiceCtrl - exit");
    traceSeparator();
}

enum class StopDecision { UnderWayAlready, StopNow, StoppedAtOnce };

// A stop control: the stop path when the service runs or something it launched does (the start
// script, the agent); stopped at once when nothing runs; nothing new while a stop is under way.
void handleStop(HostContext& host) {
    // Asked before the lock: no platform call is made under it.
    const bool launchedRuns = launchedProcessesRun(host);
    const uint64_t now = host.os.tickCount();
    StopDecision decision = StopDecision::UnderWayAlready;
    host.report(
        [&](ServiceStatus& s, SharedState& shared) {
            s.dwWin32ExitCode = 0;
            if (shared.stop != StopPhase::None) return;
            if (s.dwCurrentState == win::kServiceRunning || shared.startScriptRunning || launchedRuns) {
                decision = StopDecision::StopNow;
                host.doRestartServer = false;
                host.stopRequested = true;
                shared.stop = StopPhase::UnderWay;
                shared.stopAskedAtMs = now;
                s.dwCurrentState = win::kServiceStopPending;
            } else {
                decision = StopDecision::StoppedAtOnce;
                // Traced before the stopped report: the process may end as soon as it is made.
                traceClosing();
                s.dwCurrentState = win::kServiceStopped;
            }
        },
        Reporter::Stop);
    switch (decision) {
        case StopDecision::StopNow: {
            traceMessage("About to stop service thread.");
            std::shared_ptr<HostContext> shared = host.shared_from_this();
            if (ErrorCode rc = host.os.startThread([shared] { runStop(*shared); })) {
                // Without a thread of its own the stop runs here, as it always can.
                traceMessage("VornelAgentService - VornelAgentServiceCtrl - no stop thread (%d): the stop runs here",
                             static_cast<int>(rc));
                runStop(host);
            }
            return;
        }
        case StopDecision::UnderWayAlready:
            // The stop under way goes on; this one changes nothing.
            traceClosing();
            return;
        case StopDecision::StoppedAtOnce: return;
    }
}

}  // namespace

void VornelAgentServiceCtrl(HostContext& host, uint32_t control) {
    traceSeparator();
    traceMessage("VornelAgentService - VornelAgentServiceCtrl - entry - control code = %d - %d",
                 static_cast<int>(control), 0);
    host.report([](ServiceStatus& s) {
        s.dwCheckPoint += 1;
        s.dwServiceType = win::kServiceWin32OwnProcess;
        s.dwControlsAccepted = kAcceptedControls;
        s.dwWaitHint = kControlWaitHint;
        s.dwWin32ExitCode = 0;
    });

    switch (control) {
        case win::kServiceControlStop:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP");
            handleStop(host);
            return;
        case win::kServiceControlPreshutdown:
            // The system shuts down: the agent is stopped as on a stop, stop script included.
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_PRESHUTDOWN");
            handleStop(host);
            return;
        case win::kServiceControlShutdown:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_SHUTDOWN");
            handleStop(host);
            return;
        case win::kServiceControlInterrogate:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_INTERROGATE");
            // While a stop is under way the state stays stop pending.
            host.report([&](ServiceStatus& s, SharedState& shared) {
                if (shared.stop == StopPhase::None) s.dwCurrentState = host.reportedState;
                s.dwCheckPoint += 1;
            });
            traceClosing();
            return;
        case PROCESS_STOP_SERVER:
            // The agent keeps running; the service ends when it ends.
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - PROCESS_STOP_SERVER");
            host.doRestartServer = false;
            traceMessage("About to stop service thread.");
            host.report([](ServiceStatus& s) {
                s.dwWin32ExitCode = 0;
                s.dwCurrentState = win::kServiceStopPending;
            });
            return;
        default:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - default");
            traceClosing();
            return;
    }
}

}  // namespace vornel::host
