// The installer's command line: its option table, its usage text, the checks in their order
// and the values derived from the agent home.
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
    if (userId.find('\\') != std::string::npos) return userId;
    return ".\\" + userId;
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

    if (isOptionSet(table, InstallOptions::StartArgs)) {
        settings.startArgs = valueOf(table, InstallOptions::StartArgs);
        traceMessage("InstallVornelAgentService - main - start args = %s", settings.startArgs->c_str());
    }
    if (isOptionSet(table, InstallOptions::StopArgs)) {
        settings.stopArgs = valueOf(table, InstallOptions::StopArgs);
        traceMessage("InstallVornelAgentService - main - stop args = %s", settings.stopArgs->c_str());
    }
    if (isOptionSet(table, InstallOptions::UserId)) {
        settings.accountName = accountNameOf(valueOf(table, InstallOptions::UserId));
        traceMessage("InstallVornelAgentService - main - userid = %s", settings.accountName->c_str());
    }
    if (isOptionSet(table, InstallOptions::Password)) {
        settings.password = valueOf(table, InstallOptions::Password);
        // A password never reaches the trace.
        traceMessage("InstallVornelAgentService - main - password = %s", kMaskedPassword);
    }
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

    return addService(os, settings) < 0 ? -1 : 0;
}

}  // namespace vornel
