// Controls: the handler records each one for the supervisor and returns at once; the
// supervisor acts on it in its own turn, as the state it owns allows.
#include <string>

#include "common/trace.h"
#include "host/host.h"
#include "host/supervisor.h"

namespace vornel::host {
namespace {

void traceClosing() {
    traceMessage("VornelAgentService - VornelAgentServiceCtrl - exit");
    traceSeparator('+');
}

}  // namespace

uint32_t VornelAgentServiceCtrl(ControlInbox& inbox, uint32_t control) { return inbox.post(control); }

void Supervisor::onControl(uint32_t control) {
    traceSeparator('+');
    traceMessage("VornelAgentService - VornelAgentServiceCtrl - entry - control code = %d - %d",
                 static_cast<int>(control), 0);
    switch (control) {
        case win::kServiceControlStop:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP");
            onStopControl();
            return;
        case win::kServiceControlPreshutdown:
            // The system shuts down: the agent is stopped as on a stop, stop script included.
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_PRESHUTDOWN");
            onStopControl();
            return;
        case win::kServiceControlShutdown:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_SHUTDOWN");
            onStopControl();
            return;
        case win::kServiceControlInterrogate:
            // The last status, unchanged.
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_INTERROGATE");
            (void)report();
            traceClosing();
            return;
        case PROCESS_STOP_SERVER:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - PROCESS_STOP_SERVER");
            onSupervisionEndControl();
            return;
        case win::kServiceControlContinue:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_CONTINUE");
            onContinueControl();
            return;
        case win::kServiceControlPause:
            // Paused is where the host is only while a restart waits: nothing changes.
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_PAUSE");
            traceClosing();
            return;
        default:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - default");
            traceClosing();
            return;
    }
}

void Supervisor::onStopControl() {
    switch (record_.phase) {
        case Phase::Stopping:
            // The stop under way goes on; this one changes nothing.
            traceClosing();
            return;
        case Phase::CycleDue:
        case Phase::WaitingToRestart:
            if (record_.phase == Phase::WaitingToRestart) {
                traceMessage("VornelAgentService - VornelAgentServiceMain - a stop ended the wait before the restart");
            }
            if (!launchedProcessesRun()) {
                // Nothing the host launched runs: stopped at once, no script.
                record_.restart = false;
                record_.stopRequested = true;
                traceClosing();
                reportStopped(0, 0, "stopped on request");
                return;
            }
            beginStop();
            return;
        case Phase::Starting:
        case Phase::WaitingForPid:
        case Phase::Supervising:
        case Phase::Unsupervised: beginStop(); return;
        case Phase::Stopped: return;
    }
}

void Supervisor::onSupervisionEndControl() {
    // The agent keeps running; the service ends when it ends.
    record_.restart = false;
    record_.supervisionEnded = true;
    traceMessage("About to stop service thread.");
    switch (record_.phase) {
        case Phase::Stopping:
        case Phase::Stopped: return;
        case Phase::CycleDue:
        case Phase::WaitingToRestart:
            if (!launchedProcessesRun()) {
                reportStopped(0, 0, "stopped after control 128");
                return;
            }
            break;
        default: break;
    }
    const bool startScriptRuns = record_.startScript.running();
    leavePidWait();
    record_.restartAt.reset();
    record_.phase = Phase::Stopping;
    enterState(win::kServiceStopPending, kAcceptedControls);
    // As a stop: when StopTimeout runs out with the agent still running, it is ended.
    startStopClock();
    if (startScriptRuns) {
        record_.stopStep = StopStep::WaitingForStartScript;
        return;
    }
    waitForLaunched();
}

void Supervisor::onContinueControl() {
    if (record_.phase != Phase::WaitingToRestart) {
        traceClosing();
        return;
    }
    traceMessage("VornelAgentService - VornelAgentServiceMain - a continue ended the wait before the restart");
    traceClosing();
    beginStartCycle();
}

}  // namespace vornel::host
