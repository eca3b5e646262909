// The agent's start and stop scripts: each command line is composed afresh from the
// Parameters key and launched without a window in <agent home>bin, into the host's job. The
// supervisor waits for them.
#include <string>

#include "common/encoding.h"
#include "common/registry.h"
#include "common/trace.h"
#include "host/host.h"

namespace vornel::host {
namespace {

// What differs between the two scripts.
struct ScriptTraits {
    const char* routine;          // the routine's name, as the console lines show it
    const char* prefix;           // the routine's trace prefix
    const char* script;           // the script's file name under <agent home>bin
    const char* argumentsValue;   // the Parameters value with its additional arguments
    const char* redirection;      // replaces (start) or appends to (stop) the LogFile
    const char* workingDirLabel;  // the wording of the working-directory trace
};

const ScriptTraits& traitsOf(AgentScript script) {
    static const ScriptTraits start{"startServer", "VornelAgentService - startServer - ", "startAgent.bat",
                                    kStartupArguments, ">", "working dir"};
    static const ScriptTraits stop{"stopServer", "VornelAgentService - stopServer - ", "stopAgent.bat",
                                   kStopArguments, ">>", "workingDir"};
    return script == AgentScript::Start ? start : stop;
}

// The arguments text to append, and how the trace shows it: the stored value as it is, or,
// when the service's arguments count as encoded, its decoded form, which the trace never shows;
// absent when an encoded value does not decode.
struct ArgumentsText {
    std::string text;
    std::string traced;
};

std::optional<ArgumentsText> argumentsText(HostContext& host, const std::string& serviceName,
                                           const std::string& keyPath, const char* valueName,
                                           const std::string& stored) {
    if (paramsEncoded(host.os, serviceName) == 0) return ArgumentsText{stored, stored};
    std::optional<std::string> encoded = getRegistryValue(host.os, keyPath, valueName);
    if (!encoded) return std::nullopt;
    std::optional<std::string> decoded = decodeArguments(*encoded, serviceName);
    if (!decoded) return std::nullopt;
    return ArgumentsText{*decoded, "<encoded arguments, " + std::to_string(decoded->size()) + " characters>"};
}

}  // namespace

std::optional<ScriptCommand> composeScriptCommand(HostContext& host, AgentScript script,
                                                  const std::optional<std::string>& serviceName) {
    const ScriptTraits& t = traitsOf(script);
    traceMessage("%sserviceName = %s", t.prefix, orNull(serviceName));

    uint32_t major = 0;
    const bool versionKnown = host.os.osMajorVersion(major) == win::kErrorSuccess;
    if (!versionKnown) major = 0;
    const bool legacy = versionKnown && major == 4;
    if (script == AgentScript::Start) {
        writeOut("\r\n startServer - major version = %d", static_cast<int>(major));
        if (serviceName) {
            writeOut("\r\n startServer - service name = %s", serviceName->c_str());
        } else {
            writeOut("\r\n startServer - service name = null");
        }
        flushConsole();
    }

    const std::string name = serviceName.value_or("");
    const std::string keyPath = parametersKeyPath(name);
    traceMessage("%skey = %s", t.prefix, keyPath.c_str());

    std::optional<std::string> agentHome = getRegistryValue(host.os, keyPath, kAgentHome);
    if (!agentHome) {
        writeOut("\r\n %s - the agent home (AgentHome) is not configured; %s is not run", t.routine, t.script);
        flushConsole();
        return std::nullopt;
    }
    // The command line, and the same line as the trace shows it.
    std::string command = "\"" + *agentHome + "bin\\" + t.script + "\" ";
    traceMessage("%s1 - executable = %s", t.prefix, command.c_str());

    if (std::optional<std::string> agentName = getRegistryValue(host.os, keyPath, kAgentName)) {
        // A double quote would end the quoted name early, and the rest of the name would be
        // read by the command interpreter as commands of its own. The installer refuses such
        // a name; one written into the registry by other means runs no script.
        if (agentName->find('"') != std::string::npos) {
            traceMessage("%sagent name = %s holds a double quote; %s is not run", t.prefix, agentName->c_str(),
                         t.script);
            writeOut("\r\n %s - the agent name (AgentName) holds a double quote; %s is not run", t.routine, t.script);
            flushConsole();
            return std::nullopt;
        }
        command += legacy ? " " + *agentName : " \"" + *agentName + "\"";
    }
    traceMessage("%s2 - executable = %s", t.prefix, command.c_str());

    std::string traced = command;
    if (std::optional<std::string> stored = getRegistryValue(host.os, keyPath, t.argumentsValue)) {
        if (std::optional<ArgumentsText> arguments = argumentsText(host, name, keyPath, t.argumentsValue, *stored)) {
            command += " " + arguments->text;
            traced += " " + arguments->traced;
        }
    }
    traceMessage("%s3 - executable = %s", t.prefix, traced.c_str());

    std::optional<std::string> logFile = getRegistryValue(host.os, keyPath, kLogFile);
    if (logFile && !legacy) {
        const std::string redirection = std::string(" ") + t.redirection + " \"" + *logFile + "\"";
        command += redirection;
        traced += redirection;
    }
    traceMessage("%s4 - executable = %s", t.prefix, traced.c_str());

    // Each value is read afresh at each use, the agent home included.
    agentHome = getRegistryValue(host.os, keyPath, kAgentHome);
    if (!agentHome) {
        writeOut("\r\n %s - the agent home (AgentHome) is not configured; %s is not run", t.routine, t.script);
        flushConsole();
        return std::nullopt;
    }
    ScriptCommand result{command, *agentHome + "bin", traced};
    traceMessage("%s%s = %s", t.prefix, t.workingDirLabel, result.workingDir.c_str());
    return result;
}

ErrorCode launchScript(HostContext& host, AgentScript script, const ScriptCommand& command, ProcessInfo& info,
                       bool& inJob) {
    inJob = false;
    ErrorCode rc = host.os.createProcess(command.commandLine, command.workingDir, StartMode::Suspended, info);
    if (rc != win::kErrorSuccess) return rc;
    const ScriptTraits& t = traitsOf(script);
    if (host.job.valid()) {
        if (ErrorCode assigned = host.os.assignProcessToJob(host.job, info.process)) {
            traceMessage("%s%s is not in the agent's job (%d): a forced end can end only the agent's pid", t.prefix,
                         t.script, static_cast<int>(assigned));
        } else {
            inJob = true;
        }
    }
    rc = host.os.resumeProcess(info);
    if (rc != win::kErrorSuccess) {
        // A script that cannot run is ended, not left suspended; the launch has failed.
        (void)host.os.terminateProcess(info.process, 1);
        info.process.reset();
        info.thread.reset();
    }
    return rc;
}

}  // namespace vornel::host
