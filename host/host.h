// VornelAgentService, the service host: the service control manager launches it for an
// installed agent service with the full service name as its argument. It runs the agent's
// start script, finds the agent through its pid file, waits for the agent to end and starts
// it again unless told otherwise, runs the stop script on a stop, and reports its state to
// the service control manager and events to the event log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/options.h"
#include "common/text.h"
#include "host/host_state.h"
#include "platform/platform.h"

namespace vornel::host {

// --- Entry ---

// The program: checks the command line, registers the event source and runs the dispatcher.
int vornelAgentServiceProgramMain(Platform& os, int argc, char** argv);

// The usage text, on the console output.
void printUsage();

// After the dispatcher has returned: waits while a control handler still runs (up to 30 s)
// and, when a control was handled, 200 ms more, so that the answer to the last control
// reaches the service manager before the process ends. Under Wine the dispatcher returns as
// soon as the service has reported stopped, even from inside the handler, and the control
// is answered only after the handler has returned; a process that ends at once makes the
// caller's ControlService fail with 109 (broken pipe) although the service has stopped.
void waitForControlAnswers(HostContext& host);

// The host's options: their positions and their table (optionTableOf<HostOptions>()). The host
// checks its command line against the table but uses none of the options.
struct HostOptions {
    enum Option : size_t {
        Add,
        ServerName,
        ProfilePath,
        TamberHome,
        ConfigRoot,
        StartArgs,
        StopArgs,
        Userid,
        Password,
        LogFile,
        LogRoot,
        Restart,
        EncodeParams,
        StartType,
        Remove,
        Start,
        Stop,
        Status,
        GetServiceName,
        GetServiceLogName,
        Help,
        NoPrefix,
        Count
    };
    static constexpr OptionRow rows[] = {
        {Add, "add", OPTION_VALUE_REQUIRED},
        {ServerName, "serverName", OPTION_VALUE_REQUIRED},
        {ProfilePath, "profilePath", OPTION_VALUE_REQUIRED},
        {TamberHome, "tamberHome", OPTION_VALUE_REQUIRED},
        {ConfigRoot, "configRoot", OPTION_VALUE_REQUIRED},
        {StartArgs, "startArgs", OPTION_VALUE_REQUIRED},
        {StopArgs, "stopArgs", OPTION_VALUE_REQUIRED},
        {Userid, "userid", OPTION_VALUE_REQUIRED},
        {Password, "password", OPTION_VALUE_REQUIRED},
        {LogFile, "logFile", OPTION_VALUE_REQUIRED},
        {LogRoot, "logRoot", OPTION_VALUE_REQUIRED},
        {Restart, "restart", OPTION_VALUE_REQUIRED},
        {EncodeParams, "encodeParams", OPTION_VALUE_OPTIONAL},
        {StartType, "startType", OPTION_VALUE_REQUIRED},
        {Remove, "remove", OPTION_VALUE_REQUIRED},
        {Start, "start", OPTION_VALUE_REQUIRED},
        {Stop, "stop", OPTION_VALUE_REQUIRED},
        {Status, "status", OPTION_VALUE_REQUIRED},
        {GetServiceName, "getServiceName", OPTION_VALUE_REQUIRED},
        {GetServiceLogName, "getServiceLogName", OPTION_VALUE_REQUIRED},
        {Help, "help", 0},
        {NoPrefix, "noPrefix", 0},
    };
};

// --- Service main ---

// Run by the dispatcher on a thread of its own; argv[0] is the service name. It sets the host
// up (control handler, trace, job, settings) and then runs the supervisor on this thread.
void VornelAgentServiceMain(HostContext& host, int argc, char** argv);

// The name of the job that holds what the host launches: "Global\<full name> agent job".
std::string agentJobName(const std::string& fullServiceName);

// The trace files the host writes, and how they are kept bounded.
struct TraceFiles {
    std::optional<std::string> stdoutPath, stderrPath;  // when the output is redirected to them
    uint64_t maxBytes = 0;                              // TraceFileMaxKB; 0: no limit
    unsigned keep = 5;                                  // TraceFileKeep, at least 1
};

// Switches the trace from DebugTrace and redirects the output when it is on, to trace files
// that have first been renamed away when they were too large.
TraceFiles setUpTrace(HostContext& host, const std::string& parametersKeyPath);

// --- Logs ---

// TraceFileMaxKB (default 10240; "0": no limit) and TraceFileKeep (default 5).
TraceFiles traceFileLimits(Platform& os, const std::string& parametersKeyPath);

// Renames the file to <path>.1, <path>.1 to <path>.2 and so on, the keep-th given up.
ErrorCode keepEarlierFile(Platform& os, const std::string& path, unsigned keep);

// Points the trace at its files, first renaming away those that are larger than their limit
// (closing the streams that already point there, and opening them again), and traces what it
// renamed.
void pointTraceAtFiles(Platform& os, const TraceFiles& files);

// --- Control handler ---

// Called on the control thread, one control at a time: records the control for the
// supervisor and returns at once (NO_ERROR, or ERROR_CALL_NOT_IMPLEMENTED for a control the
// host does not take).
uint32_t VornelAgentServiceCtrl(ControlInbox& inbox, uint32_t control);

// --- Settings ---

// StopTimeout as stored: decimal seconds. Absent or not a number: 60 s; "0": no limit (absent).
std::optional<uint32_t> stopTimeoutSeconds(const std::optional<std::string>& stored);

// RestartThrottle as stored: decimal seconds. Absent or not a number: 60; "0": restarts at once.
uint32_t restartThrottleSeconds(const std::optional<std::string>& stored);

// How long the restart after the given number of short runs in a row waits: 0 s after none,
// 1 s after the first, then twice as long each time, at most 256 s.
uint32_t restartDelaySeconds(unsigned shortRunsInARow);

// --- Script runner ---

enum class AgentScript { Start, Stop };

// A script's command line and working directory, composed from the Parameters key, and the
// command line as the trace shows it (decoded arguments replaced by their length).
struct ScriptCommand {
    std::string commandLine;
    std::string workingDir;
    std::string tracedLine;
    std::optional<std::string> logFile;  // where the script's output goes
};

// Composes the command for the script; absent (after a console line saying so, and with the
// reason in refusal) when AgentHome is not configured, AgentHome, AgentName or LogFile holds a
// double quote, or the line is longer than the command interpreter runs. The folder of
// LogFile is made when it is missing; where it cannot be, the line has no redirection.
std::optional<ScriptCommand> composeScriptCommand(HostContext& host, AgentScript script,
                                                  const std::optional<std::string>& serviceName, std::string& refusal);

// Launches a script into the host's job: created suspended, put into the job (so that what it
// starts belongs to the job too), then let run. A script that cannot be put into the job still
// runs, and the trace says so; inJob tells which.
ErrorCode launchScript(HostContext& host, AgentScript script, const ScriptCommand& command, ProcessInfo& info,
                       bool& inJob);

// --- Pid file ---

// The pieces a line read into a 100-byte buffer gives: each ends after a line feed or at its
// 99th character.
std::vector<std::string> pidFilePieces(const std::string& content);

// The number at the start of a piece: white space skipped, an optional sign, decimal digits.
// Saturates at the limits of 32 bits instead of overflowing; 0 when there are no digits.
int32_t parsePid(const std::string& piece);

// The pid in the first piece of the file, or 0.
int32_t readAgentPidFile(HostContext& host, const std::string& pidFile);

// A system time (milliseconds since 1601) as "2026-12-08 14:02:40 UTC".
std::string formatSystemTime(uint64_t time);

// The pid named by the file when that process is alive and can have written the file (it was
// created before the file's last write, or at most 10 s after it, and the file was written
// since the system started), else 0.
int32_t isServerRunningAlready(HostContext& host, const std::string& pidFile);

// What the pid wait reads from the file's content: the pid of its last piece, with the piece,
// when that piece does not begin with a zero byte; absent otherwise.
struct PidPiece {
    int32_t pid = 0;
    std::string piece;
};
std::optional<PidPiece> lastPidPiece(const std::string& content);

}  // namespace vornel::host
