// The installer's command line: its option table, its usage text, the checks in their order
// and the values derived from the agent home.
#include <cstdio>

#include <string>

#include "common/command_line.h"
#include "common/directories.h"
#include "common/naming.h"
#include "common/registry.h"
#include "common/script_command.h"
#include "common/text.h"
#include "common/trace.h"
#include "install/install.h"

namespace vornel {
namespace {

// The longest full service name the service manager takes, in UTF-16 units.
constexpr size_t kMaxFullServiceNameLength = 256;

const char* nameOf(const OptionTable& table, InstallOptions::Option option) { return table.entries[option].name; }

// The value of an option that requires one; the parser has made sure it has one.
std::string valueOf(const OptionTable& table, InstallOptions::Option option) {
    return getOptionValue(table, option).value_or(std::string());
}

// After a refusal's message: the usage, and -1.
int refused(const OptionTable& table) {
    printUsage(table);
    return -1;
}

// The refusal of a value: one line naming the option and what the value must not be or hold.
void reportRefusedValue(const OptionTable& table, InstallOptions::Option option, const std::string& what) {
    writeErr("The -%s value must not %s.\n", nameOf(table, option), what.c_str());
}

// The check of a value that the installer stores for the host's command lines: true when it
// holds none of the characters that refusedCharacterIn names, else after the refusal's line.
bool valueAccepted(const OptionTable& table, InstallOptions::Option option, const std::string& value) {
    std::optional<char> refused = refusedCharacterIn(value);
    if (!refused) return true;
    reportRefusedValue(table, option, "contain " + describeCharacter(*refused));
    return false;
}

// The service name stands in quotes in the service's command line, as the host's argument,
// and the service manager takes full names of up to 256 characters.
bool serviceNameAccepted(const OptionTable& table, const std::string& name) {
    if (name.empty()) {
        reportRefusedValue(table, InstallOptions::ServiceName, "be empty");
        return false;
    }
    if (name.find('"') != std::string::npos) {
        reportRefusedValue(table, InstallOptions::ServiceName, "contain " + describeCharacter('"'));
        return false;
    }
    const size_t length = utf16Length(getFullServiceName(name));
    if (length > kMaxFullServiceNameLength) {
        writeErr("The -%s value must not make the full service name longer than %u characters (it would have %u).\n",
                 nameOf(table, InstallOptions::ServiceName), static_cast<unsigned>(kMaxFullServiceNameLength),
                 static_cast<unsigned>(length));
        return false;
    }
    return true;
}

// The service manager, the scripts and the host find the agent home from any working
// directory only when it is absolute.
bool agentHomeAccepted(const OptionTable& table, const std::string& home) {
    if (absoluteRootLength(home) != 0) return true;
    writeErr("The -%s value must be an absolute path: a drive letter, a colon and a backslash, or \\\\server\\share\\.\n",
             nameOf(table, InstallOptions::AgentHome));
    return false;
}

// "'<value>' is not a valid argument for -<option>." for a value the option does not know.
void reportInvalidArgument(const char* optionWord, const std::string& value) {
    writeErr("'%s' is not a valid argument for -%s.\n", value.c_str(), optionWord);
}

// The start type, and whether it is delayed; false after the refusal's line.
bool readStartType(const OptionTable& table, ServiceSettings& settings) {
    if (!isOptionSet(table, InstallOptions::StartType)) return true;
    const std::string given = valueOf(table, InstallOptions::StartType);
    if (equalsIgnoringCase(given, "delayed")) {
        settings.startType = win::kServiceAutoStart;
        settings.delayedStart = true;
    } else if (std::optional<uint32_t> startType = startTypeOf(given)) {
        settings.startType = *startType;
    } else {
        reportInvalidArgument("startType", given);
        return false;
    }
    settings.startTypeGiven = true;
    return true;
}

// The settings of the service manager that the new options name; false after the refusal's
// line of a value the option does not know.
bool readServiceManagerSettings(const OptionTable& table, ServiceSettings& settings) {
    if (isOptionSet(table, InstallOptions::DependsOn)) {
        const std::string given = valueOf(table, InstallOptions::DependsOn);
        traceMessage("InstallVornelAgentService - main - depends on = %s", given.c_str());
        settings.dependencies = dependenciesOf(given);
    }
    if (isOptionSet(table, InstallOptions::Recovery)) {
        const std::string given = valueOf(table, InstallOptions::Recovery);
        traceMessage("InstallVornelAgentService - main - recovery = %s", given.c_str());
        settings.recovery = recoveryOf(given);
        if (!settings.recovery) {
            reportInvalidArgument(nameOf(table, InstallOptions::Recovery), given);
            return false;
        }
    }
    if (isOptionSet(table, InstallOptions::ShutdownTimeout)) {
        const std::string given = valueOf(table, InstallOptions::ShutdownTimeout);
        traceMessage("InstallVornelAgentService - main - shutdown timeout = %s", given.c_str());
        settings.shutdownTimeoutSeconds = shutdownTimeoutOf(given);
        if (!settings.shutdownTimeoutSeconds) {
            reportInvalidArgument(nameOf(table, InstallOptions::ShutdownTimeout), given);
            return false;
        }
    }
    return true;
}

// Start or stop arguments given now whose script command line, as the host will compose it
// from this installation's home and name and the LogFile already stored, the command
// interpreter would not run; false after the refusal's line.
bool scriptLinesFit(Platform& os, const OptionTable& table, const ServiceSettings& settings) {
    std::optional<std::string> logFile;
    bool logFileRead = false;
    const struct {
        InstallOptions::Option option;
        AgentScriptKind script;
        const std::optional<std::string>& arguments;
        const char* words;
    } lines[] = {{InstallOptions::StartArgs, AgentScriptKind::Start, settings.startArgs, "start"},
                 {InstallOptions::StopArgs, AgentScriptKind::Stop, settings.stopArgs, "stop"}};
    for (const auto& line : lines) {
        if (!line.arguments || line.arguments->empty()) continue;
        if (!logFileRead) {
            logFile = getRegistryValue(os, parametersKeyPath(getFullServiceName(settings.serviceName)), kLogFile);
            logFileRead = true;
        }
        const size_t length =
            scriptCommandLineLength(line.script, ScriptCommandParts{settings.agentHome, settings.agentName,
                                                                    line.arguments, logFile});
        traceMessage("InstallVornelAgentService - main - %s script command line = %u characters", line.words,
                     static_cast<unsigned>(length));
        if (length > kCommandInterpreterLineLimit) {
            writeErr("The -%s value must not make the %s script's command line longer than %u characters (it would "
                     "have %u).\n",
                     nameOf(table, line.option), line.words, static_cast<unsigned>(kCommandInterpreterLineLimit),
                     static_cast<unsigned>(length));
            return false;
        }
    }
    return true;
}

}  // namespace

void printUsage(const OptionTable& table) {
    writeOut("\r\nUsage: InstallVornelAgentService.exe (with no arguments displays this help)");
    writeOut("\r\n        -%s <Service Name>", nameOf(table, InstallOptions::ServiceName));
    writeOut("\r\n        -%s <VornelAgent Name>", nameOf(table, InstallOptions::AgentName));
    writeOut("\r\n        -%s <Agent's Root Directory>", nameOf(table, InstallOptions::AgentHome));
    writeOut("\r\n        -%s <additional start arguments>", nameOf(table, InstallOptions::StartArgs));
    writeOut("\r\n        -%s <additional stop arguments>", nameOf(table, InstallOptions::StopArgs));
    writeOut("\r\n        -%s <execution id>", nameOf(table, InstallOptions::UserId));
    writeOut("\r\n        -%s <password>", nameOf(table, InstallOptions::Password));
    writeOut("\r\n        -%s ", nameOf(table, InstallOptions::EncodeParams));
    writeOut("\r\n        -%s ", nameOf(table, InstallOptions::NoPrefix));
    writeOut("\r\n        -%s <true | false>", nameOf(table, InstallOptions::Restart));
    writeOut("\r\n        -%s <automatic | manual | disabled>", nameOf(table, InstallOptions::StartType));
    writeOut("\r\n        -%s <on | off>", nameOf(table, InstallOptions::ServiceTrace));
    writeOut("\r\n        -%s <Displays this help>", nameOf(table, InstallOptions::Help));
    writeOut("\r\n        -%s delayed", nameOf(table, InstallOptions::StartType));
    writeOut("\r\n        -%s <name/name...>", nameOf(table, InstallOptions::DependsOn));
    writeOut("\r\n        -%s <on | off>", nameOf(table, InstallOptions::Recovery));
    writeOut("\r\n        -%s <seconds>", nameOf(table, InstallOptions::ShutdownTimeout));
}

std::string agentHomeWithSeparator(const std::string& agentHome) {
    if (!agentHome.empty() && (agentHome.back() == '\\' || agentHome.back() == '/')) return agentHome;
    return agentHome + "\\";
}

std::string logRootOf(const std::string& agentHome) { return agentHome + "logs\\" + "middlewareagent"; }

std::string accountNameOf(const std::string& userId) {
    if (std::optional<std::string> builtIn = builtInAccountOf(userId)) return *builtIn;
    if (userId.find('\\') != std::string::npos) return userId;
    return ".\\" + userId;
}

std::optional<char> refusedCharacterIn(const std::string& value) {
    for (char c : value) {
        const unsigned char code = static_cast<unsigned char>(c);
        if (c == '"' || c == '%' || code < 0x20 || code == 0x7F) return c;
    }
    return std::nullopt;
}

std::string describeCharacter(char c) {
    if (c == '"') return "a double quote (\")";
    if (c == '%') return "a percent sign (%)";
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    return std::string("a control character (") + code + ")";
}

std::optional<std::string> builtInAccountOf(const std::string& userId) {
    if (equalsIgnoringCase(userId, "LocalSystem")) return std::string("LocalSystem");
    if (equalsIgnoringCase(userId, "LocalService")) return std::string("NT AUTHORITY\\LocalService");
    if (equalsIgnoringCase(userId, "NetworkService")) return std::string("NT AUTHORITY\\NetworkService");
    return std::nullopt;
}

std::optional<uint32_t> startTypeOf(const std::string& text) {
    if (equalsIgnoringCase(text, "automatic")) return win::kServiceAutoStart;
    if (equalsIgnoringCase(text, "manual")) return win::kServiceDemandStart;
    if (equalsIgnoringCase(text, "disabled")) return win::kServiceDisabled;
    return std::nullopt;
}

std::vector<std::string> dependenciesOf(const std::string& text) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) names.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::optional<bool> recoveryOf(const std::string& text) {
    if (equalsIgnoringCase(text, "on")) return true;
    if (equalsIgnoringCase(text, "off")) return false;
    return std::nullopt;
}

std::optional<uint32_t> shutdownTimeoutOf(const std::string& text) {
    constexpr uint32_t kMostSeconds = 0xFFFFFFFFu / 1000;
    const std::optional<uint32_t> seconds = text.size() > 7 ? std::nullopt : parseDecimal(text);
    if (!seconds || *seconds < 1 || *seconds > kMostSeconds) return std::nullopt;
    return seconds;
}

FailureActions recoveryActions() {
    FailureActions actions;
    actions.resetPeriodSeconds = 24 * 60 * 60;
    actions.actions = {{win::kScActionRestart, 60000}, {win::kScActionRestart, 60000}, {win::kScActionRestart, 300000}};
    return actions;
}

int installVornelAgentServiceMain(Platform& os, int argc, char** argv) {
    OptionTable table = optionTableOf<InstallOptions>();
    std::optional<std::string> unknown;
    if (!readCommandLine(table, argc, argv, InstallOptions::Debug, unknown)) {
        printUsage(table);
        return -1;
    }
    traceMessage("InstallVornelAgentService - main - Processed parameters, unknown params: %s", orNull(unknown));

    if (isOptionSet(table, InstallOptions::Help)) {
        printUsage(table);
        return 0;
    }
    if (unknown) {
        reportUnrecognizedParameters(*unknown);
        return refused(table);
    }

    ServiceSettings settings;
    if (!isOptionSet(table, InstallOptions::ServiceName)) {
        reportMissingServiceName();
        return refused(table);
    }
    settings.serviceName = valueOf(table, InstallOptions::ServiceName);
    traceMessage("InstallVornelAgentService - main - service name = %s", settings.serviceName.c_str());

    if (!isOptionSet(table, InstallOptions::AgentName)) {
        reportMissingAgentName(Console::Err);
        return refused(table);
    }
    settings.agentName = valueOf(table, InstallOptions::AgentName);
    traceMessage("InstallVornelAgentService - main - agent name = %s", settings.agentName.c_str());

    if (!isOptionSet(table, InstallOptions::AgentHome)) {
        writeErr("Required argument [-agentHome] not specified!");
        return refused(table);
    }
    std::string enteredHome = valueOf(table, InstallOptions::AgentHome);
    traceMessage("InstallVornelAgentService - main - agent home = %s", enteredHome.c_str());
    settings.agentHome = agentHomeWithSeparator(enteredHome);
    traceMessage("InstallVornelAgentService - main - agent home = %s", settings.agentHome.c_str());

    // The names and the home reach the service's command line and the scripts' command line,
    // which the command interpreter reads: nothing in them may end a quoted part or be expanded.
    if (!serviceNameAccepted(table, settings.serviceName) ||
        !valueAccepted(table, InstallOptions::AgentName, settings.agentName) ||
        !valueAccepted(table, InstallOptions::AgentHome, enteredHome) || !agentHomeAccepted(table, settings.agentHome)) {
        return refused(table);
    }

    if (isOptionSet(table, InstallOptions::StartArgs)) {
        settings.startArgs = valueOf(table, InstallOptions::StartArgs);
        traceMessage("InstallVornelAgentService - main - start args = %s", settings.startArgs->c_str());
    }
    if (isOptionSet(table, InstallOptions::StopArgs)) {
        settings.stopArgs = valueOf(table, InstallOptions::StopArgs);
        traceMessage("InstallVornelAgentService - main - stop args = %s", settings.stopArgs->c_str());
    }
    bool builtInAccount = false;
    if (isOptionSet(table, InstallOptions::UserId)) {
        const std::string userId = valueOf(table, InstallOptions::UserId);
        builtInAccount = builtInAccountOf(userId).has_value();
        settings.accountName = accountNameOf(userId);
        traceMessage("InstallVornelAgentService - main - userid = %s", settings.accountName->c_str());
    }
    if (isOptionSet(table, InstallOptions::Password)) {
        settings.password = valueOf(table, InstallOptions::Password);
        // A password never reaches the trace.
        traceMessage("InstallVornelAgentService - main - password = %s", kMaskedPassword);
    }
    // The system's own accounts have no password: the service manager gets an empty one,
    // which also clears the password of an account the service ran under before.
    if (builtInAccount) settings.password = std::string();
    settings.serviceTrace = isOn(getOptionValue(table, InstallOptions::ServiceTrace)) == 1 ? "on" : "off";
    if (isOptionSet(table, InstallOptions::ServiceTrace)) {
        traceMessage("InstallVornelAgentService - main - service trace = %s",
                     valueOf(table, InstallOptions::ServiceTrace).c_str());
    }

    settings.logRoot = logRootOf(settings.agentHome);
    settings.stdoutTraceFile = settings.logRoot + "\\" + "VornelAgentService.stdout";
    settings.stderrTraceFile = settings.logRoot + "\\" + "VornelAgentService.stderr";
    settings.pidFile = settings.logRoot + "\\" + "VornelAgent.pidfile";
    traceMessage("InstallVornelAgentService - main - logroot = %s", settings.logRoot.c_str());
    traceMessage("InstallVornelAgentService - main - stdout trace file = %s", settings.stdoutTraceFile.c_str());
    traceMessage("InstallVornelAgentService - main - stderr trace file = %s", settings.stderrTraceFile.c_str());
    traceMessage("InstallVornelAgentService - main - Pid File = %s", settings.pidFile.c_str());

    settings.useProductText = !isOptionSet(table, InstallOptions::NoPrefix);
    settings.restart = !(isOptionSet(table, InstallOptions::Restart) &&
                         equalsIgnoringCase(valueOf(table, InstallOptions::Restart), "false"));
    settings.encoded = isOptionSet(table, InstallOptions::EncodeParams);

    if (!readStartType(table, settings) || !readServiceManagerSettings(table, settings)) return refused(table);

    // Where the system ignores the programs' manifest, the ANSI calls and the arguments use a
    // code page that may lack characters of the command line: they would arrive, and be
    // stored, as question marks. A code page that cannot be asked about is taken as it is.
    bool fits = true;
    uint32_t codePage = 0;
    if (os.commandLineFitsCodePage(fits, codePage) == win::kErrorSuccess && !fits) {
        writeErr("The command line holds characters that the system's code page (%u) cannot represent.\n",
                 static_cast<unsigned>(codePage));
        return refused(table);
    }
    if (!scriptLinesFit(os, table, settings)) return refused(table);

    return addService(os, settings) < 0 ? -1 : 0;
}

}  // namespace vornel
