// The installer: InstallVornelAgentService.
//
// main checks the whole command line before it touches anything, derives the agent's log
// root, pid file and trace files from the agent home, and hands everything to addService,
// which creates the service (or updates this installation's existing one), writes the
// service description and every Parameters value, and registers the event-log source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/options.h"
#include "platform/platform.h"

namespace vornel {

// The installer's options: their positions and their table (optionTableOf<InstallOptions>()).
struct InstallOptions {
    enum Option : size_t {
        ServiceName,
        AgentName,
        AgentHome,
        StartArgs,
        StopArgs,
        UserId,
        Password,
        Restart,
        EncodeParams,
        StartType,
        NoPrefix,
        Help,
        Debug,
        ServiceTrace,
        DependsOn,
        Recovery,
        ShutdownTimeout,
        Count
    };
    static constexpr OptionRow rows[] = {
        {ServiceName, "servicename", OPTION_VALUE_REQUIRED},
        {AgentName, "agentname", OPTION_VALUE_REQUIRED},
        {AgentHome, "agenthome", OPTION_VALUE_REQUIRED},
        // Pieces of the scripts' command lines, which usually begin with a dash themselves.
        {StartArgs, "startargs", OPTION_VALUE_REQUIRED | OPTION_VALUE_ANY},
        {StopArgs, "stopargs", OPTION_VALUE_REQUIRED | OPTION_VALUE_ANY},
        {UserId, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {Restart, "restart", OPTION_VALUE_REQUIRED},
        {EncodeParams, "encodeparams", OPTION_VALUE_OPTIONAL},
        {StartType, "starttype", OPTION_VALUE_REQUIRED},
        {NoPrefix, "noprefix", 0},
        {Help, "help", 0},
        {Debug, "debug", 0},
        {ServiceTrace, "servicetrace", OPTION_VALUE_REQUIRED},
        {DependsOn, "dependson", OPTION_VALUE_REQUIRED},
        {Recovery, "recovery", OPTION_VALUE_REQUIRED},
        {ShutdownTimeout, "shutdowntimeout", OPTION_VALUE_REQUIRED},
    };
};

// The usage text on the output stream, in pieces, with no line end after the last.
void printUsage(const OptionTable& table);

// Everything addService needs, in the order it takes them.
struct ServiceSettings {
    std::string serviceName;                 // the short service name
    std::string agentName;
    std::string agentHome;                   // always ends in a separator
    std::optional<std::string> startArgs;
    std::optional<std::string> stopArgs;
    std::optional<std::string> accountName;
    std::optional<std::string> password;
    std::string logRoot;
    std::string pidFile;
    bool useProductText = true;
    bool restart = true;
    uint32_t startType = win::kServiceDemandStart;
    bool startTypeGiven = false;
    bool encoded = false;
    std::string serviceTrace;                // "on" or "off"
    std::string stdoutTraceFile;
    std::string stderrTraceFile;
    // The service manager's optional settings, each absent when not given.
    bool delayedStart = false;                                // with startType automatic
    std::optional<std::vector<std::string>> dependencies;     // empty: none any more
    std::optional<bool> recovery;
    std::optional<uint32_t> shutdownTimeoutSeconds;
};

// The derived values of the command line.
// The agent home with one "\" appended unless it already ends in "\" or "/".
std::string agentHomeWithSeparator(const std::string& agentHome);
// The agent home followed by logs\middlewareagent.
std::string logRootOf(const std::string& agentHome);
// The system's own account that LocalSystem, LocalService or NetworkService (any letter case)
// names: LocalSystem, NT AUTHORITY\LocalService, NT AUTHORITY\NetworkService; absent otherwise.
std::optional<std::string> builtInAccountOf(const std::string& userId);
// The account name of a user id: the system's own account it names, else the user id unchanged
// when it names a domain or machine, else ".\" and the user id.
std::string accountNameOf(const std::string& userId);
// The first character of a value that the installer refuses in the agent name and the agent
// home: a double quote or a percent sign, which the command interpreter would read in the
// scripts' command line, or a control character (below 0x20, and 0x7F); absent when none.
std::optional<char> refusedCharacterIn(const std::string& value);
// How a refusal names such a character: "a double quote (\")", "a percent sign (%)",
// "a control character (0x0A)".
std::string describeCharacter(char c);
// The start type for "automatic", "manual" or "disabled" in any letter case; absent otherwise.
std::optional<uint32_t> startTypeOf(const std::string& text);
// The services and groups of a -dependson value: the names between its "/" separators,
// without empty ones, so that "/" alone names none.
std::vector<std::string> dependenciesOf(const std::string& text);
// "on" or "off" in any letter case; absent otherwise.
std::optional<bool> recoveryOf(const std::string& text);
// A whole number of seconds from 1 to the most that the time-out in milliseconds can hold
// (4,294,967); absent otherwise.
std::optional<uint32_t> shutdownTimeoutOf(const std::string& text);
// What -recovery on sets: a restart after 60 s, 60 s, then 300 s, the count of failures
// reset after a day without one.
FailureActions recoveryActions();
// The command line the service manager runs: the host in quotes and the full name in quotes.
std::string imagePathOf(const std::string& agentHome, const std::string& fullServiceName);

// Creates or updates the service and writes its settings: 0 when the service is this
// installation's afterwards with every setting made, -1 when it could be neither created nor
// recognised, or when a setting could not be made (each such failure has its error line).
int addService(Platform& os, const ServiceSettings& settings);

// Registers the full service name as a source of the Application event log with the message
// file, unless it is registered already with a message file. True when the source is
// registered afterwards; a value that cannot be written has its error line.
bool registerEventLog(Platform& os, const std::string& serviceName, const std::string& msgFile);

// The program: the exit status.
int installVornelAgentServiceMain(Platform& os, int argc, char** argv);

}  // namespace vornel
