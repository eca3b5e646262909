// The fault-injection sweep over every program: each representative command line is run once
// per platform call it makes, with exactly that call failing, and must end as its failure
// table says, without a crash, a hang or a console line that claims success.
#include "fault_sweep.h"
#include "host_runtime.h"

#include "info/info_tool.h"
#include "install/install.h"
#include "start/start_tool.h"
#include "stop/stop_tool.h"
#include "install_support.h"
#include "tool_test.h"
#include "uninstall/uninstall_tool.h"

namespace vornel::testing {
namespace {

// node1 as the installer leaves it, in the given state.
std::function<void(MemoryPlatform&)> node1(uint32_t state) {
    return [state](MemoryPlatform& os) { InstalledService().state(state).install(os); };
}

ToolConsole console(int status, std::string out, std::string err) {
    return ToolConsole{status, std::move(out), std::move(err)};
}

// --- Stop tool ---

const std::string kStopRefusal =
    "Failed to stop service, or timed out while waiting for stop to complete. Check the logs for details.\n";

// What every path of the stop tool shows when one of its three service-manager calls fails.
std::optional<ToolConsole> stopToolOpenOrControlFailure(const Fault& f) {
    switch (f.op) {
        case Op::OpenSCManager:
            return console(-1, "", systemErrorLine("Could not contact service control manager", f.code));
        case Op::OpenService: return console(-1, "", openFailure(f.code));
        case Op::ControlService: return console(-1, "", kStopRefusal + systemErrorLine("Could not stop service", f.code));
        default: return std::nullopt;
    }
}

std::vector<ToolPath> stopPaths() {
    const std::vector<std::string> args = {"-servicename", kShortName, "-debug"};
    auto controls = [](const MemoryPlatform& os) {
        std::optional<MemoryPlatform::ServiceRecord> record = os.service(kFullName);
        return record ? record->controls.size() : 0u;
    };
    return {
        {"stop", "running", stopVornelAgentServiceMain, args,
         node1(win::kServiceRunning),
         console(0, "Successfully stopped service.\n", ""),
         [](const Fault& f, const ToolConsole& clean) { return stopToolOpenOrControlFailure(f).value_or(clean); },
         [controls](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
             // Success is claimed exactly when the stop reached the service manager.
             EXPECT_EQ(controls(os), run.console.status == 0 ? 1u : 0u);
         }},
        {"stop", "stopped", stopVornelAgentServiceMain, args,
         node1(win::kServiceStopped),
         console(-1, "", kStopRefusal + systemErrorLine("Could not stop service", win::kErrorServiceNotActive)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(-1, "",
                                kStopRefusal + systemErrorLineWithoutText("Could not stop service",
                                                                          win::kErrorServiceNotActive));
             }
             return stopToolOpenOrControlFailure(f).value_or(clean);
         },
         nullptr},
    };
}

// --- Start tool ---

// The open and start calls of the start tool; the registry calls before them only amend the
// trace settings, and their failure does not stop the start.
std::optional<ToolConsole> startToolFailure(const Fault& f) {
    switch (f.op) {
        case Op::OpenSCManager:
            return console(-1, "", systemErrorLine("Could not contact service control manager", f.code));
        case Op::OpenService: return console(-1, "", openFailure(f.code));
        case Op::StartService: return console(-1, "", systemErrorLine("Failed to start service", f.code));
        default: return std::nullopt;
    }
}

// node1 as an installer that stored no trace settings leaves it: the start writes them.
std::function<void(MemoryPlatform&)> node1WithoutTraceSettings(uint32_t state) {
    return [state](MemoryPlatform& os) {
        InstalledService().state(state).traceFiles(std::nullopt, std::nullopt).debugTrace(std::nullopt).install(os);
    };
}

std::vector<ToolPath> startPaths() {
    const std::vector<std::string> args = {"-servicename", kShortName, "-servicetrace", "on", "-debug"};
    return {
        {"start", "success", startVornelAgentServiceMain, args,
         node1WithoutTraceSettings(win::kServiceStopped),
         console(0, "Successfully started service.\n", ""),
         [](const Fault& f, const ToolConsole& clean) { return startToolFailure(f).value_or(clean); },
         [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
             // Success is claimed exactly when the start reached the service manager.
             EXPECT_EQ(os.service(kFullName)->startRequests, run.console.status == 0 ? 1u : 0u);
         }},
        {"start", "already running", startVornelAgentServiceMain, args,
         node1WithoutTraceSettings(win::kServiceRunning),
         console(-1, "", systemErrorLine("Failed to start service", win::kErrorServiceAlreadyRunning)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(-1, "",
                                systemErrorLineWithoutText("Failed to start service",
                                                           win::kErrorServiceAlreadyRunning));
             }
             return startToolFailure(f).value_or(clean);
         },
         nullptr},
    };
}

// --- Uninstall tool ---

const std::string kRemoveLine = "Remove Service: " + kShortName + "\r\n";
const std::string kRemovedLine = "\r\nSuccessfully removed service " + kFullName + ".\r\n";

// Whatever fails once the command line is accepted, the status is 0 and the first line stands.
std::optional<ToolConsole> uninstallFailure(const Fault& f) {
    switch (f.op) {
        case Op::OpenSCManager:
            return console(0, kRemoveLine, systemErrorLine("Could not open service control manager", f.code));
        case Op::OpenService: return console(0, kRemoveLine, openFailure(f.code));
        case Op::QueryServiceStatus:
            return console(0, kRemoveLine, systemErrorLine("Could not get service status", f.code));
        case Op::DeleteService: return console(0, kRemoveLine, systemErrorLine("Failed to remove service", f.code));
        default: return std::nullopt;  // the event-log source is not reported on
    }
}

std::vector<ToolPath> uninstallPaths() {
    const std::vector<std::string> args = {"-servicename", kShortName, "-debug"};
    // The service is gone exactly when its removal is reported.
    auto removedAsReported = [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
        bool reported = run.console.out.find("Successfully removed") != std::string::npos;
        EXPECT_EQ(!os.service(kFullName).has_value(), reported);
        if (!reported) {
            EXPECT_TRUE(os.keyExists(kEventLogKey)) << "the event-log source stays with the service";
        }
    };
    return {
        {"uninstall", "stopped", uninstallVornelAgentServiceMain, args,
         node1(win::kServiceStopped), console(0, kRemoveLine + kRemovedLine, ""),
         [](const Fault& f, const ToolConsole& clean) { return uninstallFailure(f).value_or(clean); },
         removedAsReported},
        {"uninstall", "running", uninstallVornelAgentServiceMain, args,
         node1(win::kServiceRunning),
         console(0, kRemoveLine, "Can not remove service unless it is stopped. (The service is running.)\n"),
         [](const Fault& f, const ToolConsole& clean) { return uninstallFailure(f).value_or(clean); },
         removedAsReported},
        {"uninstall", "missing", uninstallVornelAgentServiceMain, args, nullptr,
         console(0, kRemoveLine, openFailure(win::kErrorServiceDoesNotExist)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(0, kRemoveLine,
                                "Could not open service '" + kFullName + "'\n" +
                                    systemErrorLineWithoutText("\treason", win::kErrorServiceDoesNotExist));
             }
             return uninstallFailure(f).value_or(clean);
         },
         nullptr},
    };
}

// --- Info tool ---

// The status query: no manager gives -1 and no text, a service that cannot be opened 3 and
// the open report, a failed query -1 and its reason.
std::optional<ToolConsole> statusQueryFailure(const Fault& f) {
    switch (f.op) {
        case Op::OpenSCManager: return console(-1, "", "");
        case Op::OpenService: return console(3, "", openFailure(f.code));
        case Op::QueryServiceStatus:
            return console(-1,
                           f.code == win::kErrorAccessDenied    ? "Failed to get status: Access Denied"
                           : f.code == win::kErrorInvalidHandle ? "Failed to get status: Invalid Handle"
                                                                 : "Failed to get status: Unknown reason",
                           "");
        default: return std::nullopt;
    }
}

// A lookup by service name: the services key that cannot be opened gives the empty text, a
// value that cannot be read "<null>"; the status stays 0.
ToolPath valueLookup(const std::string& option, const std::string& label, const std::string& value) {
    return {"info", option, vornelAgentServiceInfoMain, {"-" + option, kShortName, "-debug"},
            node1(win::kServiceRunning), console(0, label + " - " + value, ""),
            [label](const Fault& f, const ToolConsole& clean) {
                switch (f.op) {
                    case Op::RegOpenKey: return console(0, label + " - ", "");
                    case Op::RegOpenKeyEx:
                    case Op::RegQueryValue: return console(0, label + " - <null>", "");
                    default: return clean;
                }
            },
            nullptr};
}

std::vector<ToolPath> infoPaths() {
    auto status = [](const std::string& name, uint32_t state, const char* text) {
        return ToolPath{"info", "status " + name, vornelAgentServiceInfoMain,
                        {"-getservicestatus", kShortName, "-debug"},
                        node1(state),
                        console(2, std::string(text) + "\n", ""),
                        [](const Fault& f, const ToolConsole& clean) { return statusQueryFailure(f).value_or(clean); },
                        nullptr};
    };
    return {
        status("running", win::kServiceRunning, "The service is running."),
        status("stopped", win::kServiceStopped, "The service is stopped."),
        {"info", "status missing", vornelAgentServiceInfoMain, {"-getservicestatus", kShortName, "-debug"}, nullptr,
         console(3, "", openFailure(win::kErrorServiceDoesNotExist)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(3, "",
                                "Could not open service '" + kFullName + "'\n" +
                                    systemErrorLineWithoutText("\treason", win::kErrorServiceDoesNotExist));
             }
             return statusQueryFailure(f).value_or(clean);
         },
         nullptr},
        valueLookup("getagentname", "Agent Name", "agent1"),
        valueLookup("getagenthome", "Agent Home", "C:\\agent\\"),
        valueLookup("getservicelogroot", "Service Log Root", "C:\\agent\\logs\\middlewareagent"),
        // The reverse lookup walks alpha, EventLog, node0 (another agent) and node1.
        {"info", "getservicename", vornelAgentServiceInfoMain,
         {"-getservicename", "-agentname", "AGENT1", "-agenthome", "C:\\agent\\", "-debug"},
         [](MemoryPlatform& os) {
             os.createKey("SYSTEM\\CurrentControlSet\\Services\\alpha");
             InstalledService("node0").agentName("agent0").agentHome("C:\\agent0\\").install(os);
             InstalledService().state(win::kServiceRunning).install(os);
         },
         console(0, "Service Name - node1", ""),
         [](const Fault& f, const ToolConsole& clean) {
             switch (f.op) {
                 case Op::RegOpenKey:
                 case Op::RegQueryInfoKey: return console(0, "Service Name - ", "");
                 // The fourth child key is node1's; node0's two values come before node1's.
                 case Op::RegEnumKey: return f.occurrence == 4 ? console(0, "Service Name - ", "") : clean;
                 case Op::RegOpenKeyEx:
                 case Op::RegQueryValue: return f.occurrence >= 3 ? console(0, "Service Name - ", "") : clean;
                 default: return clean;
             }
         },
         nullptr},
    };
}

// --- Installer ---

const std::string kAdded = std::string(kDisplayNameProductText) + " - " + kShortName + " service successfully added.";
const std::string kUpdating = "Service already exists, updating parameters...\n";
const std::string kHome = "C:\\agent\\";

// A manager that cannot be opened shows as the failure of the create call on its missing
// handle; a create that fails with any code but "exists" is reported with that code.
std::optional<ToolConsole> addServiceFailure(const Fault& f) {
    switch (f.op) {
        case Op::OpenSCManager:
            return console(-1, "", systemErrorLine("Failed to add service", win::kErrorInvalidHandle));
        case Op::CreateService: return console(-1, "", systemErrorLine("Failed to add service", f.code));
        default: return std::nullopt;
    }
}

// A setting or a write that fails once the service is the installation's: its error line
// after what the clean run wrote, -1, and no success claimed; the update's first line stands.
ToolConsole installationFailed(const ToolConsole& clean, const std::string& line) {
    std::string out = clean.out == kAdded ? "" : clean.out;
    return console(-1, out, clean.err + line);
}

// The label of a service-manager setting that the new options make, by its operation.
std::optional<std::string> settingLabel(Op op) {
    switch (op) {
        case Op::ChangeServiceDependencies: return std::string("Could not set the dependencies");
        case Op::SetDelayedAutoStart: return std::string("Could not set the delayed automatic start");
        case Op::SetFailureActions: return std::string("Could not set the recovery actions");
        case Op::SetFailureActionsFlag: return std::string("Could not set the recovery on a stop with an error code");
        case Op::SetPreshutdownTimeout: return std::string("Could not set the preshutdown time-out");
        default: return std::nullopt;
    }
}

// What a failed call of an installation of this installation's service shows, beyond the
// create step: every write and setting that fails has its line and makes the status -1; a
// program of the agent home that cannot be looked at is warned about (unless the look was
// denied, which says nothing); the reads and the comparisons only decide, so their failure
// leaves the clean run's console.
std::optional<ToolConsole> installationFault(const Fault& f, const ToolConsole& clean) {
    const std::string logRoot = kHome + "logs\\middlewareagent";
    switch (f.op) {
        case Op::RegSetValue: return installationFailed(clean, systemErrorLine("Could not write " + f.subject, f.code));
        case Op::RegCreateKeyEx:
        case Op::RegCreateKey:
            return installationFailed(clean, systemErrorLine("Could not write " + f.nextSubject, f.code));
        case Op::CreateDirectory: return installationFailed(clean, systemErrorLine("Could not create " + logRoot, f.code));
        case Op::FileAttributes:
            if (f.subject == "middlewareagent") {
                return installationFailed(clean, systemErrorLine("Could not create " + logRoot, f.code));
            }
            if (f.code == win::kErrorAccessDenied) return clean;
            return console(clean.status, clean.out,
                           "Warning: " + kHome + "bin\\" + f.subject +
                               " does not exist; the service cannot start until it does.\n" + clean.err);
        default:
            if (std::optional<std::string> label = settingLabel(f.op)) {
                return installationFailed(clean, systemErrorLine(*label, f.code));
            }
            return std::nullopt;
    }
}

// Start arguments longer than the full service name, so that every character of the name
// takes part in their encoding.
const std::string kLongArguments = "-Dagent.argument=one -Dagent.argument=two -Dagent.argument=3";

// node1 as the installer leaves it, stopped, but for its description, so that a refused run
// that wrote one would show; its home holds the programs the service needs.
InstalledService node1WithoutDescription() {
    return InstalledService().description(std::nullopt);
}

void layOutHome(MemoryPlatform& os) { layOutAgentHome(os, kHome); }

// What a failed call of an update of this installation's service shows: the installed command
// line that cannot be read is not recognised as this installation's (the registered name's
// search before it only falls back on the name as given); a service that cannot be opened or
// changed is reported, and fails the run only when the run names the service manager's
// optional settings.
ToolConsole updateFault(const Fault& f, const ToolConsole& clean, bool namesSettings) {
    const ToolConsole notOurs = console(-1, "", systemErrorLine("Failed to add service", win::kErrorServiceExists));
    switch (f.op) {
        case Op::RegOpenKeyEx: return f.subject == kServiceKey && f.occurrence == 2 ? notOurs : clean;
        case Op::RegQueryValue: return f.subject == kImagePath ? notOurs : clean;
        case Op::OpenService:
            return console(namesSettings ? -1 : 0, kUpdating, systemErrorLine("Failed to open service", f.code));
        case Op::ChangeServiceConfig: return console(0, kUpdating, systemErrorLine("Failed to update service", f.code));
        default: return addServiceFailure(f).value_or(installationFault(f, clean).value_or(clean));
    }
}

std::vector<ToolPath> installPaths() {
    const std::vector<std::string> update = {"-servicename", kShortName,    "-agentname", "agent1", "-agenthome",
                                             "C:\\agent",    "-starttype", "manual",   "-debug"};
    const std::vector<std::string> create = {"-servicename",  kShortName, "-agentname",    "agent1",
                                             "-agenthome",    "C:\\agent", "-startargs",    "-Dx -Dy",
                                             "-encodeparams", "-servicetrace", "on", "-debug"};
    const std::vector<std::string> createWithSettings = {
        "-servicename", kShortName, "-agentname", "agent1", "-agenthome", "C:\\agent", "-starttype", "delayed",
        "-dependson", "Tcpip/+NetworkProvider", "-recovery", "on", "-shutdowntimeout", "180", "-debug"};
    const std::vector<std::string> updateWithSettings = {
        "-servicename", kShortName, "-agentname", "agent1", "-agenthome", "C:\\agent", "-starttype", "automatic",
        "-dependson", "/", "-recovery", "off", "-shutdowntimeout", "30", "-debug"};
    auto installed = [](MemoryPlatform& os) {
        layOutHome(os);
        node1WithoutDescription().install(os);
    };
    // node1 with every optional setting on, as an earlier installation with them leaves it.
    auto installedWithSettings = [](MemoryPlatform& os) {
        layOutHome(os);
        InstalledService().install(os);
        // Its console is not the run's: the run's streams come back afterwards.
        std::FILE* runOut = consoleOut();
        std::FILE* runErr = consoleErr();
        CapturedStream out, err;
        resetTrace(out.stream(), err.stream());
        Argv argv({"InstallVornelAgentService.exe", "-servicename", kShortName, "-agentname", "agent1", "-agenthome",
                   "C:\\agent", "-starttype", "delayed", "-dependson", "Tcpip", "-recovery", "on"});
        installVornelAgentServiceMain(os, argv.argc(), argv.argv());
        resetTrace(runOut, runErr);
    };
    // A refused installation writes nothing: the values stay as they were before the run.
    auto unchangedWhenRefused = [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
        if (run.console.err.find("Failed to add service") == std::string::npos) return;
        MemoryPlatform before;
        node1WithoutDescription().install(before);
        EXPECT_EQ(valuesOf(os, kParams), valuesOf(before, kParams));
        EXPECT_EQ(valuesOf(os, serviceKeyPath(kFullName)).count(kDescription), 0u);
    };
    return {
        {"install", "create", installVornelAgentServiceMain, create, layOutHome, console(0, kAdded, ""),
         [](const Fault& f, const ToolConsole& clean) {
             return addServiceFailure(f).value_or(installationFault(f, clean).value_or(clean));
         },
         [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
             // A failed creation leaves nothing behind; an installation that says it is done is.
             if (run.console.err.find("Failed to add service") != std::string::npos) {
                 EXPECT_FALSE(os.service(kFullName).has_value());
                 EXPECT_FALSE(os.keyExists(kParams));
                 EXPECT_FALSE(os.keyExists(kEventLogKey));
             }
             if (run.console.status == 0) {
                 EXPECT_TRUE(os.directoryExists(kHome + "logs\\middlewareagent"));
             }
         }},
        {"install", "update", installVornelAgentServiceMain, update, installed, console(0, kUpdating, ""),
         [](const Fault& f, const ToolConsole& clean) { return updateFault(f, clean, false); }, unchangedWhenRefused},
        // An update in other letter case that encodes: the registered name is looked up, the
        // earlier stop arguments are kept, the new start arguments encoded with that name.
        {"install", "update other case", installVornelAgentServiceMain,
         {"-servicename", "NODE1", "-agentname", "agent1", "-agenthome", "C:\\agent", "-startargs", kLongArguments,
          "-encodeparams", "-debug"},
         [](MemoryPlatform& os) {
             layOutHome(os);
             node1WithoutDescription().encoded("on").stopArgs("-old").install(os);
         },
         console(0, kUpdating, ""),
         [](const Fault& f, const ToolConsole& clean) {
             // Only the read of the installed command line decides whether it is ours.
             if ((f.op == Op::RegOpenKeyEx && f.subject == kServiceKey) ||
                 (f.op == Op::RegQueryValue && f.subject == kImagePath)) {
                 return console(-1, "", systemErrorLine("Failed to add service", win::kErrorServiceExists));
             }
             return addServiceFailure(f).value_or(installationFault(f, clean).value_or(clean));
         },
         [](const MemoryPlatform& os, const ToolRun& run, const Fault* fault) {
             if (run.console.status != 0) return;
             // The earlier stop arguments are never lost, whatever failed.
             std::optional<std::string> stop = os.stringValue(kParams, kStopArguments);
             ASSERT_TRUE(stop.has_value());
             EXPECT_EQ(decodeArguments(*stop, kFullName), "-old");
             if (fault == nullptr) {
                 EXPECT_EQ(os.stringValue(kParams, kEncoded), std::string("on"));
                 EXPECT_EQ(decodeArguments(os.stringValue(kParams, kStartupArguments).value_or(""), kFullName),
                           kLongArguments);
             }
         }},
        {"install", "other home", installVornelAgentServiceMain, update,
         [](MemoryPlatform& os) {
             layOutHome(os);
             node1WithoutDescription()
                 .imagePath("\"C:\\other\\bin\\VornelAgentService.exe\" \"" + kFullName + "\"")
                 .install(os);
         },
         console(-1, "", systemErrorLine("Failed to add service", win::kErrorServiceExists)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(-1, "", systemErrorLineWithoutText("Failed to add service", win::kErrorServiceExists));
             }
             return addServiceFailure(f).value_or(clean);
         },
         unchangedWhenRefused},
        // The service manager's optional settings on a new service, and then changed by an update.
        {"install", "create with settings", installVornelAgentServiceMain, createWithSettings, layOutHome,
         console(0, kAdded, ""),
         [](const Fault& f, const ToolConsole& clean) {
             return addServiceFailure(f).value_or(installationFault(f, clean).value_or(clean));
         },
         [](const MemoryPlatform& os, const ToolRun& run, const Fault* fault) {
             if (run.console.status != 0) return;
             const MemoryPlatform::ServiceRecord record = *os.service(kFullName);
             EXPECT_EQ(record.dependencies, (std::vector<std::string>{"Tcpip", "+NetworkProvider"}));
             EXPECT_EQ(record.delayedAutoStart, std::optional<bool>(true));
             EXPECT_EQ(record.failureActionsOnNonCrashFailures, std::optional<bool>(true));
             EXPECT_EQ(record.preshutdownTimeoutMs, std::optional<uint32_t>(180000));
             if (fault == nullptr) {
                 EXPECT_TRUE(record.failureActions.has_value());
             }
         }},
        {"install", "update with settings", installVornelAgentServiceMain, updateWithSettings, installedWithSettings,
         console(0, kUpdating, ""),
         [](const Fault& f, const ToolConsole& clean) { return updateFault(f, clean, true); },
         [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
             if (run.console.status != 0) return;
             const MemoryPlatform::ServiceRecord record = *os.service(kFullName);
             EXPECT_TRUE(record.dependencies.empty());
             EXPECT_EQ(record.delayedAutoStart, std::optional<bool>(false));
             EXPECT_FALSE(record.failureActions.has_value());
             EXPECT_EQ(record.failureActionsOnNonCrashFailures, std::optional<bool>(false));
             EXPECT_EQ(record.preshutdownTimeoutMs, std::optional<uint32_t>(30000));
         }},
    };
}

// --- Every path, one case each ---

// --- The start and stop tools' waits ---

// node1 started by the start tool: its host says it starts at 300 ms and supervises an agent
// from 600 ms on.
void node1StartedByItsHost(MemoryPlatform& os) {
    InstalledService().install(os);
    auto host = std::make_shared<HostRuntime>(os, kFullName);
    at(os, 300, [host] { host->start(); });
    at(os, 600, [host] { host->supervise(); });
}

// node1 running under its host, which stops 500 ms after the stop control.
void node1StoppedByItsHost(MemoryPlatform& os) {
    InstalledService().install(os);
    auto host = std::make_shared<HostRuntime>(os, kFullName);
    host->start(kPhaseSupervising);
    os.setStopHandler([&os, host](const std::string& name) {
        os.setServiceState(name, win::kServiceStopPending);
        host->write(kRuntimePhase, kPhaseStopping);
        at(os, 500, [host] { host->stop("stopped on request"); });
        return ErrorCode{0};
    });
}

// A wait looks again after a failed look at the host's values or at a process: only its
// status query ends it.
std::optional<ToolConsole> waitFailure(const Fault& f, const std::string& answered) {
    if (f.op != Op::QueryServiceStatusEx) return std::nullopt;
    return console(-1, answered, systemErrorLine("Could not query service status", f.code));
}

std::vector<ToolPath> waitPaths() {
    MemoryPlatform scratch;
    node1StartedByItsHost(scratch);
    scratch.advance(1000);
    const std::string agent = scratch.stringValue(runtimeKeyPath(kFullName), kRuntimeAgentPid).value_or("?");
    const std::string started = "Successfully started service.\n";
    const std::string stopped = "Successfully stopped service.\n";
    return {
        {"start", "wait", startVornelAgentServiceMain, {"-servicename", kShortName, "-wait", "5", "-debug"},
         node1StartedByItsHost, console(0, started + "The agent is running (pid " + agent + ").\n", ""),
         [started](const Fault& f, const ToolConsole& clean) {
             return startToolFailure(f).value_or(waitFailure(f, started).value_or(clean));
         },
         nullptr},
        {"stop", "wait", stopVornelAgentServiceMain, {"-servicename", kShortName, "-wait", "5", "-debug"},
         node1StoppedByItsHost, console(0, stopped + "The service is stopped.\n", ""),
         [stopped](const Fault& f, const ToolConsole& clean) {
             return stopToolOpenOrControlFailure(f).value_or(waitFailure(f, stopped).value_or(clean));
         },
         nullptr},
    };
}

std::vector<ToolPath> allPaths() {
    std::vector<ToolPath> all;
    for (auto paths : {stopPaths, startPaths, uninstallPaths, infoPaths, installPaths, waitPaths}) {
        for (ToolPath& path : paths()) all.push_back(std::move(path));
    }
    return all;
}

class ToolPaths : public ::testing::TestWithParam<ToolPath> {};

TEST_P(ToolPaths, EndAsTheirFailureRulesSay) { sweepTool(GetParam()); }

INSTANTIATE_TEST_SUITE_P(FaultSweep, ToolPaths, ::testing::ValuesIn(allPaths()), caseName);

}  // namespace
}  // namespace vornel::testing
