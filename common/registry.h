// Registry access and the settings layout.
//
// Every setting of a service is a string value of its Parameters key under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<full service name>. getRegistryValue
// reads one value as text (or absent) and setRegistryValue stores one; each opens and closes
// its own key.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace vornel {

inline constexpr char kServicesKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\";
inline constexpr char kEventLogSourcesKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Values of the Parameters key.
inline constexpr char kAgentHome[] = "AgentHome";
inline constexpr char kAgentName[] = "AgentName";
inline constexpr char kStartupArguments[] = "StartupArguments";
inline constexpr char kStopArguments[] = "StopArguments";
inline constexpr char kEncoded[] = "Encoded";
inline constexpr char kAgentPidFile[] = "AgentPidFile";
inline constexpr char kAgentLogRoot[] = "AgentLogRoot";
inline constexpr char kDebugTrace[] = "DebugTrace";
inline constexpr char kStdOutTraceFile[] = "StdOutTraceFile";
inline constexpr char kStdErrTraceFile[] = "StdErrTraceFile";
inline constexpr char kRestart[] = "Restart";
inline constexpr char kLogFile[] = "LogFile";
// Written by administrators, not by the installer.
inline constexpr char kStopTimeout[] = "StopTimeout";
inline constexpr char kRestartThrottle[] = "RestartThrottle";
inline constexpr char kTraceFileMaxKB[] = "TraceFileMaxKB";
inline constexpr char kTraceFileKeep[] = "TraceFileKeep";
// Values of the Runtime key: the host's account of itself while the service runs, written by
// the host at every change and read by the tools. All are strings; times read
// "2026-12-09 02:11:05 UTC".
inline constexpr char kRuntimeHostPid[] = "HostPid";
inline constexpr char kRuntimePhase[] = "Phase";
inline constexpr char kRuntimeAgentPid[] = "AgentPid";
inline constexpr char kRuntimeAgentSince[] = "AgentSince";
inline constexpr char kRuntimeStarts[] = "Starts";
inline constexpr char kRuntimeLastExit[] = "LastExit";
inline constexpr char kRuntimeRestartAt[] = "RestartAt";
inline constexpr char kRuntimeOutcome[] = "Outcome";
// The phases the host passes through, as the Phase value names them.
inline constexpr char kPhaseStarting[] = "starting";
inline constexpr char kPhaseWaitingForPidFile[] = "waiting for the pid file";
inline constexpr char kPhaseSupervising[] = "supervising";
inline constexpr char kPhaseWaitingToRestart[] = "waiting to restart";
inline constexpr char kPhaseStopping[] = "stopping";
inline constexpr char kPhaseStopped[] = "stopped";
// Values of the service key and of the event-log source key.
inline constexpr char kDescription[] = "Description";
inline constexpr char kImagePath[] = "ImagePath";
inline constexpr char kEventMessageFile[] = "EventMessageFile";
inline constexpr char kTypesSupported[] = "TypesSupported";

// "SYSTEM\CurrentControlSet\Services\" + the full service name.
std::string serviceKeyPath(const std::string& fullServiceName);
// The service key path + "\Parameters\" (with the closing separator).
std::string parametersKeyPath(const std::string& fullServiceName);
// The service key path + "\Runtime": a volatile key, gone at the next boot.
std::string runtimeKeyPath(const std::string& fullServiceName);
// "SYSTEM\CurrentControlSet\Services\EventLog\Application\" + the full service name.
std::string eventLogSourceKeyPath(const std::string& fullServiceName);

// The value's text up to its first zero byte, whatever its length and type; absent when the
// key cannot be opened for reading or the value cannot be read.
std::optional<std::string> getRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName);
// The same, with the error of the open or the read in error (0 when the value was read;
// ERROR_FILE_NOT_FOUND when the key or the value does not exist).
std::optional<std::string> getRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName,
                                            ErrorCode& error);

// Creates the key with its missing parents when needed and stores the text as a string value.
// 1 when stored, 0 otherwise.
int setRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName,
                     const std::string& text);
// The same, with the error of the create or the write in error (0 when stored).
int setRegistryValue(Platform& os, const std::string& keyPath, const std::string& valueName,
                     const std::string& text, ErrorCode& error);

}  // namespace vornel
