// The command lines of the agent's two scripts as the service host composes them, and their
// length as the command interpreter counts it.
//
// The host runs "<agent home>bin\startAgent.bat", a blank, the agent name in quotes, the
// additional arguments and the redirection to LogFile:
//     "<AgentHome>bin\startAgent.bat"  "<AgentName>" <arguments> > "<LogFile>"
// (stopAgent.bat appends to LogFile with >>). CreateProcess hands a command line that begins
// with a batch file to the command interpreter as cmd.exe /s/c "<line>", which strips the
// outer quotes and then holds the line itself, with its redirection, in its command buffer of
// 8,191 characters: a longer line never runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vornel {

// The longest line the command interpreter runs, in UTF-16 units.
inline constexpr size_t kCommandInterpreterLineLimit = 8191;

// What differs between the two scripts' lines.
enum class AgentScriptKind { Start, Stop };

// The parts of a script's command line, as the host reads them from the Parameters key; an
// absent agent name, arguments value or LogFile leaves its part out.
struct ScriptCommandParts {
    std::string agentHome;  // ends in a separator
    std::optional<std::string> agentName;
    std::optional<std::string> arguments;  // as the script receives them: decoded
    std::optional<std::string> logFile;
    bool nameQuoted = true;  // Windows NT 4 passes the agent name without quotes
};

// The script's file name under <agent home>bin: startAgent.bat or stopAgent.bat.
const char* scriptFileName(AgentScriptKind script);

// The line, exactly as the host composes it.
std::string composeScriptCommandLine(AgentScriptKind script, const ScriptCommandParts& parts);

// The line's length as the command interpreter counts it: the UTF-16 units of the whole line
// (its quotes and its redirection included) that the command interpreter runs once it has
// stripped the quotes of /s/c "<line>". Environment variables that the line names (%NAME%)
// are expanded later, by the command interpreter, and count here as written.
size_t scriptCommandLineLength(AgentScriptKind script, const ScriptCommandParts& parts);

}  // namespace vornel
