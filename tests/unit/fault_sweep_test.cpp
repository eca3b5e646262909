// The fault-injection sweep over every program: each representative command line is run once
// per platform call it makes, with exactly that call failing, and must end as its failure
// table says, without a crash, a hang or a console line that claims success.
#include "fault_sweep.h"

#include "common/naming.h"
#include "info/info_tool.h"
#include "install/install.h"
#include "start/start_tool.h"
#include "stop/stop_tool.h"
#include "uninstall/uninstall_tool.h"

namespace vornel::testing {
namespace {

const std::string kShort = "node1";
const std::string kFull = getFullServiceName(kShort);
const std::string kParamsKey = parametersKeyPath(kFull);
const std::string kSourceKey = eventLogSourceKeyPath(kFull);
const std::string kImagePath = "\"C:\\agent\\bin\\VornelAgentService.exe\" \"" + kFull + "\"";

// The service node1 as the installer leaves it, in the given state.
void installNode1(MemoryPlatform& os, uint32_t state, const std::string& imagePath = kImagePath) {
    ServiceConfig config;
    config.name = kFull;
    config.displayName = std::string(kDisplayNameProductText) + " - " + kShort;
    config.binaryPathName = imagePath;
    os.addService(config);
    os.setServiceState(kFull, state);
    os.setString(kParamsKey, kAgentHome, "C:\\agent\\");
    os.setString(kParamsKey, kAgentName, "agent1");
    os.setString(kParamsKey, kAgentLogRoot, "C:\\agent\\logs\\middlewareagent");
    os.setString(kParamsKey, kAgentPidFile, "C:\\agent\\logs\\middlewareagent\\VornelAgent.pidfile");
    os.setString(kParamsKey, kRestart, "true");
    os.setString(kSourceKey, kEventMessageFile, "C:\\agent\\bin\\VornelAgentServiceMsg.dll");
    os.setDword(kSourceKey, kTypesSupported, 7);
}

std::string openFailure(ErrorCode code) {
    return "Could not open service '" + kFull + "'\n" + systemErrorLine("\treason", code);
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
    const std::vector<std::string> args = {"-servicename", kShort, "-debug"};
    auto controls = [](const MemoryPlatform& os) {
        std::optional<MemoryPlatform::ServiceRecord> record = os.service(kFull);
        return record ? record->controls.size() : 0u;
    };
    return {
        {"stop", "running", stopVornelAgentServiceMain, args,
         [](MemoryPlatform& os) { installNode1(os, win::kServiceRunning); },
         console(0, "Successfully stopped service.\n", ""),
         [](const Fault& f, const ToolConsole& clean) { return stopToolOpenOrControlFailure(f).value_or(clean); },
         [controls](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
             // Success is claimed exactly when the stop reached the service manager.
             EXPECT_EQ(controls(os), run.console.status == 0 ? 1u : 0u);
         }},
        {"stop", "stopped", stopVornelAgentServiceMain, args,
         [](MemoryPlatform& os) { installNode1(os, win::kServiceStopped); },
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

TEST(FaultSweep, StopTool) {
    for (const ToolPath& path : stopPaths()) sweepTool(path);
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

std::vector<ToolPath> startPaths() {
    const std::vector<std::string> args = {"-servicename", kShort, "-servicetrace", "on", "-debug"};
    return {
        {"start", "success", startVornelAgentServiceMain, args,
         [](MemoryPlatform& os) { installNode1(os, win::kServiceStopped); },
         console(0, "Successfully started service.\n", ""),
         [](const Fault& f, const ToolConsole& clean) { return startToolFailure(f).value_or(clean); },
         [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
             // Success is claimed exactly when the start reached the service manager.
             EXPECT_EQ(os.service(kFull)->startRequests, run.console.status == 0 ? 1u : 0u);
         }},
        {"start", "already running", startVornelAgentServiceMain, args,
         [](MemoryPlatform& os) { installNode1(os, win::kServiceRunning); },
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

TEST(FaultSweep, StartTool) {
    for (const ToolPath& path : startPaths()) sweepTool(path);
}

// --- Uninstall tool ---

const std::string kRemoveLine = "Remove Service: " + kShort + "\r\n";
const std::string kRemovedLine = "\r\nSuccessfully removed service " + kFull + ".\r\n";

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
    const std::vector<std::string> args = {"-servicename", kShort, "-debug"};
    // The service is gone exactly when its removal is reported.
    auto removedAsReported = [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
        bool reported = run.console.out.find("Successfully removed") != std::string::npos;
        EXPECT_EQ(!os.service(kFull).has_value(), reported);
        if (!reported) {
            EXPECT_TRUE(os.keyExists(kSourceKey)) << "the event-log source stays with the service";
        }
    };
    return {
        {"uninstall", "stopped", uninstallVornelAgentServiceMain, args,
         [](MemoryPlatform& os) { installNode1(os, win::kServiceStopped); }, console(0, kRemoveLine + kRemovedLine, ""),
         [](const Fault& f, const ToolConsole& clean) { return uninstallFailure(f).value_or(clean); },
         removedAsReported},
        {"uninstall", "running", uninstallVornelAgentServiceMain, args,
         [](MemoryPlatform& os) { installNode1(os, win::kServiceRunning); },
         console(0, kRemoveLine, "Can not remove service unless it is stopped. (The service is running.)\n"),
         [](const Fault& f, const ToolConsole& clean) { return uninstallFailure(f).value_or(clean); },
         removedAsReported},
        {"uninstall", "missing", uninstallVornelAgentServiceMain, args, nullptr,
         console(0, kRemoveLine, openFailure(win::kErrorServiceDoesNotExist)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(0, kRemoveLine,
                                "Could not open service '" + kFull + "'\n" +
                                    systemErrorLineWithoutText("\treason", win::kErrorServiceDoesNotExist));
             }
             return uninstallFailure(f).value_or(clean);
         },
         nullptr},
    };
}

TEST(FaultSweep, UninstallTool) {
    for (const ToolPath& path : uninstallPaths()) sweepTool(path);
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
    return {"info", option, vornelAgentServiceInfoMain, {"-" + option, kShort, "-debug"},
            [](MemoryPlatform& os) { installNode1(os, win::kServiceRunning); }, console(0, label + " - " + value, ""),
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
                        {"-getservicestatus", kShort, "-debug"},
                        [state](MemoryPlatform& os) { installNode1(os, state); },
                        console(2, std::string(text) + "\n", ""),
                        [](const Fault& f, const ToolConsole& clean) { return statusQueryFailure(f).value_or(clean); },
                        nullptr};
    };
    return {
        status("running", win::kServiceRunning, "The service is running."),
        status("stopped", win::kServiceStopped, "The service is stopped."),
        {"info", "status missing", vornelAgentServiceInfoMain, {"-getservicestatus", kShort, "-debug"}, nullptr,
         console(3, "", openFailure(win::kErrorServiceDoesNotExist)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(3, "",
                                "Could not open service '" + kFull + "'\n" +
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
             const std::string node0 = parametersKeyPath(getFullServiceName(std::string("node0")));
             os.setString(node0, kAgentName, "agent0");
             os.setString(node0, kAgentHome, "C:\\agent0\\");
             installNode1(os, win::kServiceRunning);
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

TEST(FaultSweep, InfoTool) {
    for (const ToolPath& path : infoPaths()) sweepTool(path);
}

// --- Installer ---

const std::string kAdded = std::string(kDisplayNameProductText) + " - " + kShort + " service successfully added.";
const std::string kUpdating = "Service already exists, updating parameters...\n";

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

// Every value under a key, by name.
std::map<std::string, std::string> valuesOf(const MemoryPlatform& os, const std::string& key) {
    std::map<std::string, std::string> values;
    for (const std::string& name : os.valueNames(key)) values[name] = os.value(key, name)->data;
    return values;
}

std::vector<ToolPath> installPaths() {
    const std::vector<std::string> update = {"-servicename", kShort,    "-agentname", "agent1", "-agenthome",
                                             "C:\\agent",    "-starttype", "manual",   "-debug"};
    // A refused installation writes nothing: the values stay as they were before the run.
    auto unchangedWhenRefused = [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
        if (run.console.status != -1) return;
        MemoryPlatform before;
        installNode1(before, win::kServiceStopped);
        EXPECT_EQ(valuesOf(os, kParamsKey), valuesOf(before, kParamsKey));
        EXPECT_EQ(valuesOf(os, serviceKeyPath(kFull)).count(kDescription), 0u);
    };
    return {
        {"install", "create", installVornelAgentServiceMain,
         {"-servicename", kShort, "-agentname", "agent1", "-agenthome", "C:\\agent", "-startargs", "-Dx -Dy",
          "-encodeparams", "-servicetrace", "on", "-debug"},
         nullptr, console(0, kAdded, ""),
         [](const Fault& f, const ToolConsole& clean) { return addServiceFailure(f).value_or(clean); },
         [](const MemoryPlatform& os, const ToolRun& run, const Fault*) {
             // Created exactly when it says so; a failed creation leaves nothing behind.
             EXPECT_EQ(os.service(kFull).has_value(), run.console.status == 0);
             if (run.console.status != 0) {
                 EXPECT_FALSE(os.keyExists(kParamsKey));
                 EXPECT_FALSE(os.keyExists(kSourceKey));
             }
         }},
        {"install", "update", installVornelAgentServiceMain, update,
         [](MemoryPlatform& os) { installNode1(os, win::kServiceStopped); }, console(0, kUpdating, ""),
         [](const Fault& f, const ToolConsole& clean) {
             switch (f.op) {
                 // The installed command line cannot be read: not recognised as this installation's.
                 case Op::RegOpenKeyEx:
                 case Op::RegQueryValue:
                     return console(-1, "", systemErrorLine("Failed to add service", win::kErrorServiceExists));
                 case Op::OpenService: return console(0, kUpdating, systemErrorLine("Failed to open service", f.code));
                 case Op::ChangeServiceConfig:
                     return console(0, kUpdating, systemErrorLine("Failed to update service", f.code));
                 default: return addServiceFailure(f).value_or(clean);
             }
         },
         unchangedWhenRefused},
        {"install", "other home", installVornelAgentServiceMain, update,
         [](MemoryPlatform& os) {
             installNode1(os, win::kServiceStopped, "\"C:\\other\\bin\\VornelAgentService.exe\" \"" + kFull + "\"");
         },
         console(-1, "", systemErrorLine("Failed to add service", win::kErrorServiceExists)),
         [](const Fault& f, const ToolConsole& clean) {
             if (f.op == Op::SystemErrorText) {
                 return console(-1, "", systemErrorLineWithoutText("Failed to add service", win::kErrorServiceExists));
             }
             return addServiceFailure(f).value_or(clean);
         },
         unchangedWhenRefused},
    };
}

TEST(FaultSweep, Installer) {
    for (const ToolPath& path : installPaths()) sweepTool(path);
}

}  // namespace
}  // namespace vornel::testing
