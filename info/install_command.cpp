// -getinstallcommand: the installer command line that recreates a service as it is stored, from
// the service manager's configuration and the Parameters values.
#include <cstring>

#include "common/encoding.h"
#include "common/naming.h"
#include "common/registry.h"
#include "common/service_control.h"
#include "common/text.h"
#include "common/trace.h"
#include "info/info_tool.h"
#include "info/service_details.h"
#include "install/install.h"

namespace vornel {
namespace {

// Characters that the command interpreter acts on outside quotes.
constexpr char kInterpreterCharacters[] = "&|<>^()";

// A value as the C runtime reads it back into one argument: as it is when that is safe, else in
// quotes, with the backslashes before a quote (and before the closing quote) doubled and each
// quote escaped.
std::string quotedArgument(const std::string& value) {
    if (!value.empty() && value.find_first_of(std::string(" \t\"") + kInterpreterCharacters) == std::string::npos) {
        return value;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : value) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// The line as the command interpreter must see it: it counts every quote, escaped or not, so a
// value with quotes of its own can leave some of its characters outside the interpreter's
// quotes, where they are escaped with a caret.
std::string forCommandInterpreter(const std::string& line) {
    std::string escaped;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && std::strchr(kInterpreterCharacters, c) != nullptr) {
            escaped += '^';
        }
        escaped += c;
    }
    return escaped;
}

// The agent home as the installer is to be given it: without the closing backslash that the
// installer adds again, unless the rest ends in a separator too.
std::string homeToGive(const std::string& stored) {
    const size_t n = stored.size();
    if (n >= 2 && stored[n - 1] == '\\' && stored[n - 2] != '\\' && stored[n - 2] != '/') return stored.substr(0, n - 1);
    return stored;
}

// The full name under which the host runs and decodes its arguments: the host's argument in the
// service's command line, when it names this service; else the name formed from the short name.
std::string registeredName(const ServiceConfig& config, const std::string& formed) {
    const std::string& path = config.binaryPathName;
    if (path.size() >= 2 && path.back() == '"') {
        const size_t open = path.rfind('"', path.size() - 2);
        if (open != std::string::npos) {
            std::string argument = path.substr(open + 1, path.size() - open - 2);
            if (equalsIgnoringCase(argument, formed)) return argument;
        }
    }
    return formed;
}

// The system's own accounts by the names the installer takes; LocalSystem, its default, gives none.
std::optional<std::string> userIdOf(const std::optional<std::string>& account) {
    if (!account || account->empty() || equalsIgnoringCase(*account, "LocalSystem")) return std::nullopt;
    if (equalsIgnoringCase(*account, "NT AUTHORITY\\LocalService")) return std::string("LocalService");
    if (equalsIgnoringCase(*account, "NT AUTHORITY\\NetworkService")) return std::string("NetworkService");
    return account;
}

const char* startTypeWord(uint32_t startType) {
    switch (startType) {
        case win::kServiceAutoStart: return "automatic";
        case win::kServiceDemandStart: return "manual";
        case win::kServiceDisabled: return "disabled";
        default: return nullptr;  // boot and system start: no installer option gives them
    }
}

// Stored script arguments as they were given: decoded when they count as encoded. Absent, with
// a warning, for an encoded value that is not the installer's hex or decodes to a zero byte.
std::optional<std::string> givenArguments(const std::optional<std::string>& stored, bool encoded,
                                          const std::string& key, const char* valueName, std::string& warnings) {
    if (!stored || stored->empty() || !encoded) return stored && !stored->empty() ? stored : std::nullopt;
    std::optional<std::string> plain;
    if (stored->size() % 2 == 0 && stored->find_first_not_of("0123456789ABCDEF") == std::string::npos) {
        plain = decodeArguments(*stored, key);
    }
    if (!plain || plain->find('\0') != std::string::npos) {
        warnings += std::string("Warning: ") + valueName + " does not decode; the command leaves it out.\n";
        return std::nullopt;
    }
    return plain;
}

class CommandLine {
public:
    void option(size_t position, const std::optional<std::string>& value = std::nullopt) {
        text_ += std::string(" -") + InstallOptions::rows[position].name;
        if (value) text_ += " " + quotedArgument(*value);
    }
    std::string text() const { return forCommandInterpreter(text_); }

private:
    std::string text_ = "InstallVornelAgentService.exe";
};

}  // namespace

int installCommand(Platform& os, const std::string& shortName) {
    traceMessage("VornelAgentServiceInfo.installCommand - entry  service name = %s", shortName.c_str());
    const std::string formed = getFullServiceName(shortName);
    ScHandle manager;
    ScHandle service;
    if (int rc = openForQuestion(os, "installCommand", formed,
                                 win::kServiceQueryConfig | win::kServiceQueryStatus, true, manager, service)) {
        return rc;
    }
    ServiceConfig config;
    if (ErrorCode rc = os.queryServiceConfig(service, config)) {
        printSystemError(os, "Could not read the service's configuration", rc);
        return kStatusFailed;
    }
    const std::string key = parametersKeyPath(formed);
    const std::optional<std::string> agentName = getRegistryValue(os, key, kAgentName);
    const std::optional<std::string> agentHome = getRegistryValue(os, key, kAgentHome);
    if (!agentName || !agentHome) {
        writeErr("Could not read the service's %s value: no command can recreate it.\n",
                 agentName ? kAgentHome : kAgentName);
        return kStatusFailed;
    }
    const std::string name = registeredName(config, formed);
    const bool encoded = argumentsEncoded(getRegistryValue(os, key, kEncoded));
    std::string warnings;
    const std::optional<std::string> startArgs =
        givenArguments(getRegistryValue(os, key, kStartupArguments), encoded, name, kStartupArguments, warnings);
    const std::optional<std::string> stopArgs =
        givenArguments(getRegistryValue(os, key, kStopArguments), encoded, name, kStopArguments, warnings);
    const std::string registeredShortName = shortNameFromKeyName(name);

    CommandLine line;
    line.option(InstallOptions::ServiceName, registeredShortName);
    line.option(InstallOptions::AgentName, *agentName);
    line.option(InstallOptions::AgentHome, homeToGive(*agentHome));
    if (startArgs) line.option(InstallOptions::StartArgs, *startArgs);
    if (stopArgs) line.option(InstallOptions::StopArgs, *stopArgs);
    if (std::optional<std::string> userId = userIdOf(config.account)) line.option(InstallOptions::UserId, *userId);
    line.option(InstallOptions::Restart,
                std::string(getRegistryValue(os, key, kRestart) == std::optional<std::string>("false") ? "false" : "true"));
    if (encoded) line.option(InstallOptions::EncodeParams);
    if (const char* startType = startTypeWord(config.startType)) line.option(InstallOptions::StartType, std::string(startType));
    if (config.displayName == std::optional<std::string>(registeredShortName)) line.option(InstallOptions::NoPrefix);
    line.option(InstallOptions::ServiceTrace, std::string(isOn(getRegistryValue(os, key, kDebugTrace)) ? "on" : "off"));
    writeErr("%s", warnings.c_str());
    writeOut("%s\n", line.text().c_str());
    return 0;
}

}  // namespace vornel
