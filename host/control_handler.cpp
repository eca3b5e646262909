// The control handler: acknowledges every control with a status report, stops the agent
// through the stop script on a stop, and answers interrogation with the state the service
// main last declared.
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

}  // namespace

void VornelAgentServiceCtrl(HostContext& host, uint32_t control) {
    traceSeparator();
    traceMessage("VornelAgentService - VornelAgentServiceCtrl - entry - control code = %d - %d",
                 static_cast<int>(control), 0);
    host.report([](ServiceStatus& s) {
        s.dwCheckPoint += 1;
        s.dwServiceType = win::kServiceWin32OwnProcess;
        s.dwControlsAccepted = win::kServiceAcceptStop;
        s.dwWaitHint = kControlWaitHint;
        s.dwWin32ExitCode = 0;
    });

    switch (control) {
        case win::kServiceControlStop: {
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP");
            bool running = false;
            host.report([&](ServiceStatus& s) {
                s.dwWin32ExitCode = 0;
                running = s.dwCurrentState == win::kServiceRunning;
                if (running) {
                    host.doRestartServer = false;
                    host.stopRequested = true;
                    host.stopScriptReportsStopped = true;
                    s.dwCurrentState = win::kServiceStopPending;
                } else {
                    // Traced before the stopped report: the process may end as soon as it is made.
                    traceClosing();
                    s.dwCurrentState = win::kServiceStopped;
                }
            });
            if (running) {
                traceMessage("About to stop service thread.");
                // A stop script that cannot be launched leaves the service running: the service
                // main reports stopped when the agent ends.
                if (!stopServer(host, host.stopServiceName())) host.stopScriptReportsStopped = false;
            }
            return;
        }
        case win::kServiceControlInterrogate:
            traceMessage("VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_INTERROGATE");
            host.report([&](ServiceStatus& s) {
                s.dwCurrentState = host.reportedState;
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
