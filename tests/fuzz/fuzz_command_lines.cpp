// Each program's entry routine over any argument vector, on an in-memory Windows with no agent
// service installed: the first byte picks the program, the rest are the arguments, split at
// zero bytes.
//
// Whatever the command line: the exit status is one the program can give; every key, service
// and process handle the program opened is closed again; a command line whose option lacks
// its value ends with -1, that one message and the usage, before any platform call; -help on
// an acceptable command line of a tool shows the usage and ends with 0 without touching the
// platform; a tool that finds no service never claims success; and the installer refuses,
// before any platform call, a service name, agent name or agent home that would break the
// quoting of the service's or the scripts' command line, a full service name over 256
// characters and an agent home that is not absolute, and never stores one. A service it
// reports as installed holds the start and stop arguments as given (dash-led ones too), with
// script lines the command interpreter runs, and the service manager's settings that the new
// options name.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/directories.h"
#include "common/encoding.h"
#include "common/naming.h"
#include "common/registry.h"
#include "common/script_command.h"
#include "common/text.h"
#include "fuzz_support.h"
#include "fuzz_tables.h"
#include "install/install.h"
#include "tests/memory/memory_platform.h"

namespace {

using vornel::OptionTable;

// Whether the command line parses, by the parser itself (the option fuzzer checks the parser
// against the rules), and whether -help is present.
struct Parse {
    bool accepted = false;
    bool help = false;
    std::optional<std::string> serviceName;
    std::string message;
};

Parse parseQuietly(const vornel::fuzz::Program& program, vornel::fuzz::FuzzArgv& argv) {
    vornel::fuzz::CapturedConsole console;
    OptionTable table = program.table();
    Parse parse;
    parse.accepted = vornel::parseOptions(table, argv.argc(), argv.argv()) == 1;
    parse.message = console.err();
    if (program.help) parse.help = vornel::isOptionSet(table, *program.help);
    if (program.serviceName) parse.serviceName = vornel::getOptionValue(table, *program.serviceName);
    return parse;
}

// The output without the uninstall tool's first line, which repeats the name it was given.
std::string withoutEcho(const std::string& program, const std::string& out, const Parse& parse) {
    if (program != "UninstallVornelAgentService" || !parse.serviceName) return out;
    const std::string echo = "Remove Service: " + *parse.serviceName + "\r\n";
    return out.compare(0, echo.size(), echo) == 0 ? out.substr(echo.size()) : out;
}

std::set<int> exitStatuses(const std::string& program) {
    if (program == "VornelAgentServiceInfo") return {0, -1, 2, 3};
    return {0, -1};
}

// A service name the installer accepts: not empty, no double quote, a full name of at most
// 256 characters.
bool acceptableServiceName(const std::string& name) {
    return !name.empty() && name.find('"') == std::string::npos &&
           vornel::utf16Length(vornel::getFullServiceName(name)) <= 256;
}

// What a created service holds of the options that the service manager keeps.
void checkServiceManagerSettings(const vornel::MemoryPlatform& os, const OptionTable& table,
                                 const std::string& fullName) {
    using vornel::InstallOptions;
    const std::optional<vornel::MemoryPlatform::ServiceRecord> record = os.service(fullName);
    FUZZ_CHECK(record.has_value());
    if (const std::optional<std::string> given = vornel::getOptionValue(table, InstallOptions::DependsOn)) {
        FUZZ_CHECK(record->dependencies == vornel::dependenciesOf(*given));
    }
    if (const std::optional<std::string> given = vornel::getOptionValue(table, InstallOptions::ShutdownTimeout)) {
        FUZZ_CHECK(record->preshutdownTimeoutMs == std::optional<uint32_t>(*vornel::shutdownTimeoutOf(*given) * 1000));
    }
    if (const std::optional<std::string> given = vornel::getOptionValue(table, InstallOptions::Recovery)) {
        FUZZ_CHECK(record->failureActions.has_value() == *vornel::recoveryOf(*given));
    }
    if (const std::optional<std::string> given = vornel::getOptionValue(table, InstallOptions::StartType)) {
        FUZZ_CHECK(record->delayedAutoStart.value_or(false) == vornel::equalsIgnoringCase(*given, "delayed"));
    }
}

// The arguments a created service holds: as given, in the form Encoded says, with a script
// command line the command interpreter runs.
void checkScriptArguments(const vornel::MemoryPlatform& os, const OptionTable& table, const std::string& params,
                          const std::string& fullName) {
    using vornel::InstallOptions;
    const bool encoded = vornel::isOptionSet(table, InstallOptions::EncodeParams);
    const struct {
        InstallOptions::Option option;
        const char* value;
        vornel::AgentScriptKind script;
    } arguments[] = {{InstallOptions::StartArgs, vornel::kStartupArguments, vornel::AgentScriptKind::Start},
                     {InstallOptions::StopArgs, vornel::kStopArguments, vornel::AgentScriptKind::Stop}};
    for (const auto& a : arguments) {
        const std::optional<std::string> given = vornel::getOptionValue(table, a.option);
        if (!given || given->empty()) continue;
        const std::optional<std::string> stored = os.stringValue(params, a.value);
        FUZZ_CHECK(stored.has_value());
        // The stored text ends at its first zero byte, as a registry string does.
        const std::string plain = encoded ? vornel::decodeArguments(*stored, fullName).value_or("") : *stored;
        FUZZ_CHECK(plain == given->substr(0, given->find('\0')));
        vornel::ScriptCommandParts parts{*os.stringValue(params, vornel::kAgentHome),
                                         os.stringValue(params, vornel::kAgentName), plain, std::nullopt};
        FUZZ_CHECK(vornel::scriptCommandLineLength(a.script, parts) <= vornel::kCommandInterpreterLineLimit);
    }
}

// The installer's new checks, on a command line it parsed: a refused value ends the run with
// -1 and its message before any platform call; a service it created holds only accepted values.
void checkInstallerValues(const vornel::MemoryPlatform& os, vornel::fuzz::FuzzArgv& argv, int status,
                          const std::string& err) {
    using vornel::InstallOptions;
    OptionTable table = vornel::optionTableOf<InstallOptions>();
    if (vornel::parseOptions(table, argv.argc(), argv.argv()) != 1) return;
    if (vornel::isOptionSet(table, InstallOptions::Help)) return;
    if (vornel::getUnknownParams(table, argv.argc(), argv.argv())) return;
    const std::optional<std::string> serviceName = vornel::getOptionValue(table, InstallOptions::ServiceName);
    const std::optional<std::string> agentName = vornel::getOptionValue(table, InstallOptions::AgentName);
    const std::optional<std::string> agentHome = vornel::getOptionValue(table, InstallOptions::AgentHome);
    if (!serviceName || !agentName || !agentHome) return;
    const bool refused = !acceptableServiceName(*serviceName) || vornel::refusedCharacterIn(*agentName) ||
                         vornel::refusedCharacterIn(*agentHome) ||
                         vornel::absoluteRootLength(vornel::agentHomeWithSeparator(*agentHome)) == 0;
    if (refused) {
        FUZZ_CHECK(status == -1 && os.callCount() == 0);
        FUZZ_CHECK(err.find("The -") != std::string::npos && err.find(" value must ") != std::string::npos);
        FUZZ_CHECK(os.subKeys("SYSTEM\\CurrentControlSet\\Services").size() == 1);
        return;
    }
    if (status != 0) return;
    const std::string fullName = vornel::getFullServiceName(*serviceName);
    const std::string params = vornel::parametersKeyPath(fullName);
    const std::optional<std::string> storedName = os.stringValue(params, vornel::kAgentName);
    const std::optional<std::string> storedHome = os.stringValue(params, vornel::kAgentHome);
    FUZZ_CHECK(storedName == agentName);
    FUZZ_CHECK(storedHome && !vornel::refusedCharacterIn(*storedHome) && vornel::absoluteRootLength(*storedHome) != 0);
    checkScriptArguments(os, table, params, fullName);
    checkServiceManagerSettings(os, table, fullName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vornel;
    if (size == 0) return 0;
    const std::vector<fuzz::Program>& programs = fuzz::programs();
    const fuzz::Program& program = programs[data[0] % programs.size()];
    const std::string name = program.name;
    const bool isHost = name == "VornelAgentService";
    fuzz::FuzzArgv argv(data + 1, size - 1);
    const Parse parse = parseQuietly(program, argv);

    MemoryPlatform os;
    fuzz::CapturedConsole console;
    const int status = program.main(os, argv.argc(), argv.argv());
    const std::string out = console.out();
    const std::string err = console.err();

    FUZZ_CHECK(exitStatuses(name).count(status) == 1);
    FUZZ_CHECK(os.openHandleCount() == 0);
    FUZZ_CHECK(!os.hangDetected());
    const bool usageShown = out.find("Usage: " + name + ".exe (with no arguments displays this help)") !=
                            std::string::npos;
    if (isHost && argv.argc() <= 1) {
        FUZZ_CHECK(status == 0 && usageShown && err.empty() && os.callCount() == 0);
    } else if (!parse.accepted) {
        FUZZ_CHECK(status == -1 && usageShown && err == parse.message && os.callCount() == 0);
    } else if (parse.help && !isHost) {
        // Only the trace (with -debug) may be written besides the usage.
        FUZZ_CHECK(status == 0 && usageShown && os.callCount() == 0);
    }
    if (!isHost && name != "InstallVornelAgentService") {
        // Nothing is installed, so nothing can have been started, stopped, removed or found.
        FUZZ_CHECK(withoutEcho(name, out, parse).find("Successfully") == std::string::npos);
        FUZZ_CHECK(os.keyExists("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"));
        FUZZ_CHECK(os.subKeys("SYSTEM\\CurrentControlSet\\Services").size() == 1);
    }
    if (name == "InstallVornelAgentService") checkInstallerValues(os, argv, status, err);
    if (isHost && parse.accepted && argv.argc() > 1) {
        // Run by hand, not by the service manager: the dispatcher refuses, the usage follows.
        FUZZ_CHECK(status == 0 && usageShown);
    }
    return 0;
}
