#include "common/script_command.h"

#include "common/text.h"

namespace vornel {

const char* scriptFileName(AgentScriptKind script) {
    return script == AgentScriptKind::Start ? "startAgent.bat" : "stopAgent.bat";
}

std::string composeScriptCommandLine(AgentScriptKind script, const ScriptCommandParts& parts) {
    std::string line = "\"" + parts.agentHome + "bin\\" + scriptFileName(script) + "\" ";
    if (parts.agentName) line += parts.nameQuoted ? " \"" + *parts.agentName + "\"" : " " + *parts.agentName;
    if (parts.arguments) line += " " + *parts.arguments;
    if (parts.logFile) line += std::string(" ") + (script == AgentScriptKind::Start ? ">" : ">>") + " \"" + *parts.logFile + "\"";
    return line;
}

size_t scriptCommandLineLength(AgentScriptKind script, const ScriptCommandParts& parts) {
    return utf16Length(composeScriptCommandLine(script, parts));
}

}  // namespace vornel
