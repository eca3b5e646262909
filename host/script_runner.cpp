// The agent's start and stop scripts: each command line is composed afresh from the
// Parameters key and launched without a window in <agent home>bin, into the host's job. The
// supervisor waits for them.
#include <string>

#include "common/directories.h"
#include "common/encoding.h"
#include "common/registry.h"
#include "common/script_command.h"
#include "common/text.h"
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
                                                  const std::optional<std::string>& serviceName, std::string& refusal) {
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
    // No script runs: the console says why, and so does the refusal.
    auto refuse = [&](const std::string& why, const std::string& consoleLine) -> std::optional<ScriptCommand> {
        writeOut("\r\n %s - %s; %s is not run", t.routine, consoleLine.c_str(), t.script);
        flushConsole();
        refusal = why;
        return std::nullopt;
    };
    // A double quote would end a quoted part early, and the rest would be read by the command
    // interpreter as commands of its own. The installer refuses one; a value written into the
    // registry by other means runs no script.
    auto quoted = [](const std::string& text) { return text.find('"') != std::string::npos; };

    std::optional<std::string> agentHome = getRegistryValue(host.os, keyPath, kAgentHome);
    if (!agentHome) return refuse("AgentHome is not configured", "the agent home (AgentHome) is not configured");
    if (quoted(*agentHome)) return refuse("AgentHome holds a double quote", "the agent home (AgentHome) holds a double quote");
    const AgentScriptKind kind = script == AgentScript::Start ? AgentScriptKind::Start : AgentScriptKind::Stop;
    // The command line's parts, and the same parts as the trace shows them.
    ScriptCommandParts parts;
    parts.agentHome = *agentHome;
    parts.nameQuoted = !legacy;
    traceMessage("%s1 - executable = %s", t.prefix, composeScriptCommandLine(kind, parts).c_str());

    if (std::optional<std::string> agentName = getRegistryValue(host.os, keyPath, kAgentName)) {
        if (quoted(*agentName)) {
            traceMessage("%sagent name = %s holds a double quote; %s is not run", t.prefix, agentName->c_str(),
                         t.script);
            return refuse("AgentName holds a double quote", "the agent name (AgentName) holds a double quote");
        }
        parts.agentName = agentName;
    }
    traceMessage("%s2 - executable = %s", t.prefix, composeScriptCommandLine(kind, parts).c_str());

    ScriptCommandParts traced = parts;
    if (std::optional<std::string> stored = getRegistryValue(host.os, keyPath, t.argumentsValue)) {
        if (std::optional<ArgumentsText> arguments = argumentsText(host, name, keyPath, t.argumentsValue, *stored)) {
            parts.arguments = arguments->text;
            traced.arguments = arguments->traced;
        }
    }
    traceMessage("%s3 - executable = %s", t.prefix, composeScriptCommandLine(kind, traced).c_str());

    std::optional<std::string> logFile = getRegistryValue(host.os, keyPath, kLogFile);
    if (logFile && !legacy) {
        if (quoted(*logFile)) return refuse("LogFile holds a double quote", "the log file (LogFile) holds a double quote");
        // The script's output goes to LogFile only where its folder is, or can be made.
        const size_t separator = logFile->find_last_of("\\/");
        const ErrorCode made =
            separator == std::string::npos ? win::kErrorSuccess : createDirectoryTree(host.os, logFile->substr(0, separator));
        if (made == win::kErrorSuccess) {
            parts.logFile = traced.logFile = logFile;
        } else {
            traceMessage("%sthe folder of LogFile %s cannot be made (%d): %s runs without its output kept", t.prefix,
                         logFile->c_str(), static_cast<int>(made), t.script);
            writeOut("\r\n %s - the folder of the log file (LogFile) cannot be made; %s runs without its output kept",
                     t.routine, t.script);
            flushConsole();
        }
    }
    traceMessage("%s4 - executable = %s", t.prefix, composeScriptCommandLine(kind, traced).c_str());

    const std::string command = composeScriptCommandLine(kind, parts);
    const size_t length = utf16Length(command);
    if (length > kCommandInterpreterLineLimit) {
        const std::string why = "the script's command line has " + std::to_string(length) + " characters, more than " +
                                std::to_string(kCommandInterpreterLineLimit);
        return refuse(why, why);
    }

    // Each value is read afresh at each use, the agent home included.
    agentHome = getRegistryValue(host.os, keyPath, kAgentHome);
    if (!agentHome) return refuse("AgentHome is not configured", "the agent home (AgentHome) is not configured");
    ScriptCommand result{command, *agentHome + "bin", composeScriptCommandLine(kind, traced), parts.logFile};
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
