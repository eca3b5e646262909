// The installer's command line: its option table, its usage text, the checks in their order
// and the values derived from the agent home.
#include <cstdio>

#include "common/command_line.h"
#include "common/text.h"
#include "common/trace.h"
#include "install/install.h"

namespace vornel {
namespace {

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

// The service name stands in quotes in the service's command line, as the host's argument.
bool serviceNameAccepted(const OptionTable& table, const std::string& name) {
    if (name.empty()) {
        reportRefusedValue(table, InstallOptions::ServiceName, "be empty");
        return false;
    }
    if (name.find('"') != std::string::npos) {
        reportRefusedValue(table, InstallOptions::ServiceName, "contain " + describeCharacter('"'));
        return false;
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
        !valueAccepted(table, InstallOptions::AgentHome, enteredHome)) {
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

    if (isOptionSet(table, InstallOptions::StartType)) {
        std::string given = valueOf(table, InstallOptions::StartType);
        std::optional<uint32_t> startType = startTypeOf(given);
        if (!startType) {
            writeErr("'%s' is not a valid argument for -startType.\n", given.c_str());
            return refused(table);
        }
        settings.startType = *startType;
        settings.startTypeGiven = true;
    }

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

    return addService(os, settings) < 0 ? -1 : 0;
}

}  // namespace vornel
