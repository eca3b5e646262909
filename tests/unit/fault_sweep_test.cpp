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

// --- Service host ---

// A script's command line as the host composes it, and the parts a failed read leaves out.
struct ScriptLine {
    bool start = true;
    bool name = true;
    enum class Arguments { Decoded, Stored, None } arguments = Arguments::Decoded;
    bool logFile = true;
    bool legacy = false;

    std::string text(bool encoded) const {
        std::string plain = start ? kHostStartArguments : kHostStopArguments;
        std::string line = "\"" + kHostHome + "bin\\" + (start ? "startAgent.bat" : "stopAgent.bat") + "\" ";
        if (name) line += legacy ? " agent one" : " \"agent one\"";
        if (arguments != Arguments::None) {
            line += " " + (arguments == Arguments::Stored && encoded ? encodedArguments(plain) : plain);
        }
        if (logFile && !legacy) line += std::string(" ") + (start ? ">" : ">>") + " \"" + kHostLogFile + "\"";
        return line;
    }
};

constexpr uint32_t kCycle = host::kEventStartCycle;
constexpr uint32_t kScriptReturned = host::kEventStartScriptReturned;
constexpr uint32_t kNoNewPid = host::kEventNoNewPid;
constexpr uint32_t kStopScriptFailed = host::kEventStopScriptFailed;
constexpr ErrorCode kPathNotFound = 3;  // what the stop reports when no script path can be formed

// What a run of the host must leave behind.
struct HostExpect {
    std::vector<ScriptLine> starts, stops;           // the scripts launched, in order
    std::optional<std::pair<uint32_t, uint32_t>> stopped;  // the codes of the stopped report that ends the run
    std::vector<uint32_t> events;
    std::optional<std::string> stopFailureText;      // the insertion of the stop-script-failed event
    std::string errors;                              // the error output
    std::string consoleLine;                         // a line the console output must hold
    unsigned driverSteps = 0;
    size_t leftRunning = 0;
    bool stuck = false;
    bool traced = true;
    bool redirected = false;
    bool streamsChecked = true;  // false when a trace file could not be opened
    bool eventSource = true;
};

std::vector<uint32_t> cycles(unsigned n) {
    std::vector<uint32_t> ids;
    for (unsigned i = 0; i < n; ++i) ids.insert(ids.end(), {kCycle, kScriptReturned});
    return ids;
}

bool isLegacy(const HostScenario& s) { return s.osMajorVersion == 4; }
bool isRefused(const HostScenario& s) { return s.liveProcessInPidFile; }

// What a clean run of the scenario leaves: the agents end by themselves until the last,
// which the stop ends.
HostExpect cleanExpectation(const HostScenario& s) {
    HostExpect e;
    e.redirected = s.traceToFiles;
    if (!s.launchedByManager) {
        e.traced = false;
        e.consoleLine = "Usage: VornelAgentService.exe";
        return e;
    }
    if (!s.pidFileConfigured) {
        e.stopped = {win::kErrorServiceSpecificError, host::kNoPidExitCode};
        return e;
    }
    if (isRefused(s)) {
        e.stopped = {win::kErrorServiceSpecificError, 0};  // plus the pid, filled in per run
        e.events = {kCycle};
        e.leftRunning = 1;
        return e;
    }
    unsigned n = isLegacy(s) ? 1 : s.agentsEndingByThemselves + 1;
    for (unsigned i = 0; i < n; ++i) e.starts.push_back(ScriptLine{true, true, {}, true, isLegacy(s)});
    e.stops.push_back(ScriptLine{false, true, {}, true, isLegacy(s)});
    e.stopped = {0, 0};
    e.events = cycles(n);
    e.driverSteps = 1;
    return e;
}

// The cycle's start script did not run: the pid wait gives up (supervising), or the service
// runs on unsupervised until it is stopped (legacy).
void startScriptNotRun(const HostScenario& s, HostExpect& e, unsigned cycle) {
    e.starts.resize(cycle - 1);
    if (isLegacy(s)) return;
    e.events = cycles(cycle - 1);
    e.events.insert(e.events.end(), {kCycle, kScriptReturned, kNoNewPid});
    e.stops.clear();
    e.stopped = {win::kErrorServiceSpecificError, host::kNoPidExitCode};
    e.driverSteps = 0;
}

// The stop script did not run: the service returns to running, and ends when the agent ends
// (supervising) or at the next stop (legacy).
void stopScriptNotRun(const HostScenario& s, HostExpect& e, std::string text) {
    e.events.push_back(kStopScriptFailed);
    e.stopFailureText = std::move(text);
    if (isLegacy(s)) {
        e.driverSteps = 3;
    } else {
        e.stops.clear();
        e.driverSteps = 2;
    }
}

// The cycle's agent could not be waited for: the next cycle finds it alive and refuses.
void agentLost(const HostScenario& s, const HostRun& run, HostExpect& e, unsigned cycle) {
    e.starts.resize(cycle);
    e.stops.clear();
    e.events = cycles(cycle);
    e.events.push_back(kCycle);
    uint32_t agent = cycle <= run.agents.size() ? run.agents[cycle - 1] : 0;
    e.stopped = {win::kErrorServiceSpecificError, host::kAlreadyRunningExitCodeBase + agent};
    e.driverSteps = 0;
    e.leftRunning = cycle <= s.agentsEndingByThemselves ? 0 : 1;
}

// The process named by the pid file could not be shown to have ended: the start is refused.
void checkRefuses(const HostRun& run, HostExpect& e, unsigned cycle) {
    uint32_t named = cycle == 1 ? run.oldPid : (cycle - 1 <= run.agents.size() ? run.agents[cycle - 2] : 0);
    e.starts.resize(cycle - 1);
    e.stops.clear();
    e.events = cycles(cycle - 1);
    e.events.push_back(kCycle);
    e.stopped = {win::kErrorServiceSpecificError, host::kAlreadyRunningExitCodeBase + named};
    e.driverSteps = 0;
}

// The live agent was taken for dead: a cycle runs beside it, and the stop ends its agent.
void checkPassesAsDead(HostExpect& e) {
    e.starts = {ScriptLine{}};
    e.stops = {ScriptLine{false}};
    e.events = cycles(1);
    e.stopped = {0, 0};
    e.driverSteps = 1;
}

// The line of the script a failed read in its composition changes, or the consequence of
// a value the service main could not read.
void registryReadFailed(const HostScenario& s, HostExpect& e, const std::string& tag) {
    const std::string context = tag.substr(0, tag.find(':'));
    const std::string value = tag.substr(tag.find(':') + 1);
    if (context == "main") {
        if (value == kDebugTrace) {
            e.traced = false;
            e.redirected = false;
        } else if (value == kStdOutTraceFile || value == kStdErrTraceFile) {
            e.redirected = false;
        } else if (value == kAgentPidFile) {
            e.starts.clear();
            e.stops.clear();
            e.events.clear();
            e.stopped = {win::kErrorServiceSpecificError, host::kNoPidExitCode};
            e.driverSteps = 0;
        }
        return;
    }
    const bool start = context.rfind("start", 0) == 0;
    const unsigned index = static_cast<unsigned>(std::stoul(context.substr(start ? 5 : 4)));
    if (value.rfind(kAgentHome, 0) == 0) {
        e.consoleLine = start ? "\r\n startServer - the agent home (AgentHome) is not configured; startAgent.bat is not run"
                              : "\r\n stopServer - the agent home (AgentHome) is not configured; stopAgent.bat is not run";
        if (start) {
            startScriptNotRun(s, e, index);
        } else {
            stopScriptNotRun(s, e, platformText(kPathNotFound));
        }
        return;
    }
    std::vector<ScriptLine>& lines = start ? e.starts : e.stops;
    if (index > lines.size()) return;
    ScriptLine& line = lines[index - 1];
    if (value == kAgentName) line.name = false;
    if (value == kLogFile) line.logFile = false;
    const std::string arguments = start ? kStartupArguments : kStopArguments;
    if (value == arguments || value == arguments + "#2") line.arguments = ScriptLine::Arguments::None;
    if (value == kEncoded) line.arguments = ScriptLine::Arguments::Stored;
}

HostExpect hostExpectation(const HostScenario& s, const HostCallTags& tags, const HostRun& clean,
                           const HostRun& run, const Fault* fault) {
    HostExpect e = cleanExpectation(s);
    if (isRefused(s)) e.stopped->second = host::kAlreadyRunningExitCodeBase + run.oldPid;
    if (fault == nullptr) return e;
    const Fault& f = *fault;
    const auto cleanCount = [&](Op op) { return static_cast<unsigned>(std::count(clean.log.begin(), clean.log.end(), op)); };
    const auto indexOf = [](const std::string& tag, const char* head) {
        return static_cast<unsigned>(std::stoul(tag.substr(std::string(head).size())));
    };
    switch (f.op) {
        case Op::RegisterEventSource:
            e.events.clear();
            e.eventSource = false;
            break;
        case Op::RunServiceDispatcher:
        case Op::RegisterServiceCtrlHandler:
            e.starts.clear();
            e.stops.clear();
            e.events.clear();
            e.stopped.reset();
            e.driverSteps = 0;
            e.leftRunning = isRefused(s) ? 1 : 0;
            if (f.op == Op::RunServiceDispatcher) {
                e.traced = false;
                e.redirected = false;
                break;
            }
            // Nothing can be reported or stopped: the service manager ends it (the driver has
            // ended every agent on its way).
            e.errors = systemErrorLine("Couldn't register the control handler", f.code);
            e.driverSteps = 3;
            e.stuck = true;
            e.leftRunning = 0;
            break;
        case Op::OsMajorVersion: {
            std::string tag = HostCallTags::tagOf(tags.osVersions, f);
            if (tag == "main" || !isLegacy(s)) break;  // the scripts ask again; only their lines change
            bool start = tag.rfind("start", 0) == 0;
            std::vector<ScriptLine>& lines = start ? e.starts : e.stops;
            unsigned index = indexOf(tag, start ? "start" : "stop");
            if (index <= lines.size()) lines[index - 1].legacy = false;
            break;
        }
        case Op::RegOpenKeyEx:
        case Op::RegQueryValue:
            registryReadFailed(s, e, HostCallTags::tagOf(tags.registryReads, f));
            break;
        case Op::OpenAppendStream:
            e.streamsChecked = false;
            break;
        case Op::ReportEvent:
            if (f.occurrence <= e.events.size()) e.events.erase(e.events.begin() + (f.occurrence - 1));
            break;
        case Op::SetServiceStatus:
            // A report of the start script's wait is answered on the error output; the
            // others are not examined. A failed stopped report that no other report
            // follows leaves the service to the next stop.
            if (HostCallTags::tagOf(tags.statusReports, f) == "scriptwait") {
                e.errors = systemErrorLine("Couldn't set service status", f.code);
            }
            if (f.occurrence == cleanCount(Op::SetServiceStatus) && (isRefused(s) || !s.pidFileConfigured)) {
                e.stopped->first = 0;
                e.driverSteps = 1;
            } else if (f.occurrence == cleanCount(Op::SetServiceStatus)) {
                // Legacy mode, or the stopped report at the end of the stop script: the
                // service stays stop pending until another stop.
                e.driverSteps = 3;
            }
            break;
        case Op::ReadTextFile:
            if (isRefused(s) && f.occurrence == 1) checkPassesAsDead(e);
            break;
        case Op::OpenProcess: {
            std::string tag = HostCallTags::tagOf(tags.openProcesses, f);
            if (tag == "check") {
                if (isRefused(s)) checkPassesAsDead(e);
            } else {
                agentLost(s, run, e, indexOf(tag, "supervise"));
            }
            break;
        }
        case Op::WaitForProcess: {
            std::string tag = HostCallTags::tagOf(tags.processWaits, f);
            if (tag == "check") {
                unsigned cycle = static_cast<unsigned>(
                    std::count(tags.processWaits.begin(), tags.processWaits.begin() + f.occurrence, std::string("check")));
                checkRefuses(run, e, cycle);
            } else if (tag.rfind("supervise", 0) == 0) {
                agentLost(s, run, e, indexOf(tag, "supervise"));
            }
            break;  // a failed wait for a script ends that wait early; the script still does its work
        }
        case Op::GetExitCodeProcess:
            e.errors = systemErrorLine("run: Error getting rc", f.code);
            break;
        case Op::CreateProcess: {
            std::string tag = HostCallTags::tagOf(tags.launches, f);
            if (tag.rfind("start", 0) == 0) {
                e.errors = systemErrorLine("Couldn't create startServer process", f.code);
                startScriptNotRun(s, e, indexOf(tag, "start"));
            } else {
                std::string text = platformText(f.code);
                stopScriptNotRun(s, e, text.empty() ? std::to_string(f.code) : text);
            }
            break;
        }
        case Op::SystemErrorText:
            ADD_FAILURE() << "a clean run asks for no error text";
            break;
        default:  // closes and sleeps: nothing the host sees
            break;
    }
    return e;
}

// The report that ended the run: the dispatcher returns on the first stopped report, and the
// process with it; what the other thread reports in the moment before is no state of the
// service any more.
const MemoryPlatform::StatusReport* endingReport(const HostRun& run) {
    auto it = std::find_if(run.reports.begin(), run.reports.end(), [](const MemoryPlatform::StatusReport& r) {
        return r.status.dwCurrentState == win::kServiceStopped;
    });
    return it == run.reports.end() ? nullptr : &*it;
}

void checkHostRun(const HostScenario& s, const HostRun& run, const HostExpect& e) {
    EXPECT_FALSE(run.hang) << "an unbounded wait gave up";
    EXPECT_FALSE(run.timedOut) << "the run did not finish in time";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.stuck, e.stuck) << "the service waited for someone after every driver step";
    EXPECT_EQ(run.driverSteps, e.driverSteps);
    std::vector<std::string> starts, stops;
    for (const ScriptLine& l : e.starts) starts.push_back(l.text(s.argumentsEncoded));
    for (const ScriptLine& l : e.stops) stops.push_back(l.text(s.argumentsEncoded));
    EXPECT_EQ(run.commandLines("startAgent.bat"), starts);
    EXPECT_EQ(run.commandLines("stopAgent.bat"), stops);
    if (e.stopped) {
        const MemoryPlatform::StatusReport* stopped = endingReport(run);
        ASSERT_NE(stopped, nullptr) << "no stopped report";
        EXPECT_EQ(stopped->status.dwWin32ExitCode, e.stopped->first);
        EXPECT_EQ(stopped->status.dwServiceSpecificExitCode, e.stopped->second);
    } else {
        EXPECT_TRUE(run.reports.empty());
    }
    EXPECT_EQ(run.eventIds(), e.events);
    for (const MemoryPlatform::Event& event : run.events) {
        EXPECT_EQ(event.insertion, event.id == kStopScriptFailed ? e.stopFailureText.value_or("?") : kHostService);
    }
    EXPECT_EQ(run.eventSources, e.eventSource ? std::vector<std::string>{kHostService} : std::vector<std::string>{});
    EXPECT_EQ(run.runningAfterStop.size(), e.leftRunning) << "processes left running";
    if (e.streamsChecked) {
        EXPECT_EQ(run.err, e.errors);
        EXPECT_EQ(!run.trace.empty(), e.traced);
        EXPECT_EQ(run.stdoutFile && run.stderrFile, e.redirected);
    }
    if (!e.consoleLine.empty()) {
        EXPECT_NE(run.out.find(e.consoleLine), std::string::npos) << run.out;
    } else {
        EXPECT_EQ(run.out.find("is not configured"), std::string::npos) << run.out;
    }
}

SweepTally sweepHost(const HostScenario& s, const std::vector<ErrorCode>& codes) {
    SweepTally tally;
    HostRun clean;
    {
        MemoryPlatform os;
        HostRig rig(s, os);
        clean = rig.run(0, 0);
        SCOPED_TRACE("host " + s.name + ": clean run");
        checkHostRun(s, clean, hostExpectation(s, HostCallTags{}, clean, clean, nullptr));
        tally.cleanCalls = clean.calls;
    }
    const HostCallTags tags = HostCallTags::of(clean);
    for (ErrorCode code : codes) {
        tally.injected += sweepCalls(code, [&](uint64_t n, ErrorCode c) -> RunRecord {
            MemoryPlatform os;
            HostRig rig(s, os);
            HostRun run = rig.run(n, c);
            if (run.calls < n) return std::move(run);
            Fault fault = faultOf(run, n, c);
            SCOPED_TRACE("host " + s.name + ": " + describe(fault));
            checkHostRun(s, run, hostExpectation(s, tags, clean, run, &fault));
            return std::move(run);
        });
    }
    printTally("host", s.name, tally);
    return tally;
}

// A stop that arrives while the start script runs races the service main, as it does under
// the service manager: the handler reports stopped at once, or, when the service has already
// turned running, runs the stop script. Either way the run ends stopped, with no error line
// but the failed call's own, and the agent that the start script goes on to start is the only
// process that may be left running.
void checkPendingStopRun(const HostRun& run, const Fault* fault) {
    EXPECT_FALSE(run.hang) << "an unbounded wait gave up";
    EXPECT_FALSE(run.timedOut) << "the run did not finish in time";
    EXPECT_EQ(run.status, 0);
    const bool noService = fault != nullptr && (fault->op == Op::RunServiceDispatcher ||
                                                fault->op == Op::RegisterServiceCtrlHandler);
    EXPECT_EQ(run.stuck, fault != nullptr && fault->op == Op::RegisterServiceCtrlHandler);
    if (noService) {
        EXPECT_TRUE(run.reports.empty());
        EXPECT_TRUE(run.launches.empty());
        return;
    }
    const MemoryPlatform::StatusReport* stopped = endingReport(run);
    ASSERT_NE(stopped, nullptr) << "no stopped report";
    if (run.commandLines("startAgent.bat").empty()) {
        // No start script, so no stop either: the pid wait gives up.
        EXPECT_EQ(stopped->status.dwWin32ExitCode, win::kErrorServiceSpecificError);
        EXPECT_EQ(stopped->status.dwServiceSpecificExitCode, host::kNoPidExitCode);
    } else {
        // Stopped by the handler, or by the service main's next report of the state the
        // handler left when the handler's own report failed, or by the stop script.
        EXPECT_EQ(stopped->status.dwWin32ExitCode, 0u);
        EXPECT_EQ(stopped->status.dwServiceSpecificExitCode, 0u);
    }
    EXPECT_LE(run.commandLines("startAgent.bat").size(), 1u);
    EXPECT_LE(run.runningAfterStop.size(), 1u);
    for (uint32_t id : run.eventIds()) {
        EXPECT_TRUE(id == kCycle || id == kScriptReturned || id == kNoNewPid || id == kStopScriptFailed)
            << std::hex << id;
    }
    std::string allowed;
    if (fault != nullptr) {
        for (const char* label : {"Couldn't set service status", "Couldn't create startServer process",
                                  "run: Error getting rc"}) {
            std::string line = systemErrorLine(label, fault->code);
            if (run.err == line) allowed = line;
        }
    }
    EXPECT_EQ(run.err, allowed) << "only an error line of the failed call";
}

TEST(FaultSweep, HostStopWhileStartPending) {
    HostScenario s;
    s.name = "stop while start pending";
    s.stopWhileStartScriptRuns = true;
    s.startScriptMs = 30000;  // long enough for the stop to arrive first, short of checkpoint 60
    SweepTally tally;
    {
        MemoryPlatform os;
        HostRig rig(s, os);
        HostRun clean = rig.run(0, 0);
        SCOPED_TRACE("host " + s.name + ": clean run");
        checkPendingStopRun(clean, nullptr);
        tally.cleanCalls = clean.calls;
    }
    for (ErrorCode code : kSweepCodes) {
        tally.injected += sweepCalls(code, [&](uint64_t n, ErrorCode c) -> RunRecord {
            MemoryPlatform os;
            HostRig rig(s, os);
            HostRun run = rig.run(n, c);
            if (run.calls < n) return std::move(run);
            Fault fault = faultOf(run, n, c);
            SCOPED_TRACE("host " + s.name + ": " + describe(fault));
            checkPendingStopRun(run, &fault);
            return std::move(run);
        });
    }
    printTally("host", s.name, tally);
}

HostScenario supervisedScenario() {
    HostScenario s;
    s.name = "supervised restart stop";
    s.traceToFiles = true;
    s.deadProcessInPidFile = true;
    s.argumentsEncoded = true;
    s.agentsEndingByThemselves = 1;
    return s;
}

TEST(FaultSweep, HostSupervisesRestartsAndStops) { sweepHost(supervisedScenario(), kSweepCodes); }

TEST(FaultSweep, HostRefusesAStartWhileTheAgentRuns) {
    HostScenario s;
    s.name = "refused start";
    s.liveProcessInPidFile = true;
    sweepHost(s, kSweepCodes);
}

TEST(FaultSweep, HostWithoutAPidFile) {
    HostScenario s;
    s.name = "no pid file";
    s.pidFileConfigured = false;
    sweepHost(s, kSweepCodes);
}

TEST(FaultSweep, HostInLegacyMode) {
    HostScenario s;
    s.name = "legacy mode";
    s.osMajorVersion = 4;
    sweepHost(s, kSweepCodes);
}

TEST(FaultSweep, HostRunByHand) {
    HostScenario s;
    s.name = "run by hand";
    s.launchedByManager = false;
    sweepHost(s, kSweepCodes);
}

}  // namespace
}  // namespace vornel::testing
