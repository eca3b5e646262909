// Service control helpers shared by the start, stop, uninstall and info tools: the common
// way of opening a service, the report printed when it cannot be opened, and the console
// sentence for a service state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace vornel {

// The rights each tool asks for on the service.
inline constexpr uint32_t kStartToolServiceAccess = win::kServiceStart | win::kServiceQueryStatus;
inline constexpr uint32_t kStopToolServiceAccess =
    win::kServiceStop | win::kServiceQueryStatus | win::kServiceUserDefinedControl;
inline constexpr uint32_t kUninstallToolServiceAccess = win::kDelete | win::kServiceQueryStatus;
inline constexpr uint32_t kInfoToolServiceAccess = win::kServiceQueryStatus;

// The sentence for a current-state value; never null.
const char* serviceStateText(uint32_t state);

// The state's word as its sentence says it ("stopped", "start pending", "running", ...), or
// "unknown" for a value that has no sentence of its own.
const char* serviceStateWord(uint32_t state);

// "Could not open service '%s'\n" and the "\treason" line, both on the error stream.
void reportOpenServiceFailure(Platform& os, const std::optional<std::string>& serviceName, ErrorCode code);

// The service control manager of the local machine, database "ServicesActive", all access.
ErrorCode openServiceManager(Platform& os, ScHandle& manager);

// The name under which the service manager knows a service: the name of its key under the
// services key that equals the given one without regard to letter case in any language, in
// the letter case it was created with. Absent when there is none or the key cannot be read.
std::optional<std::string> registeredServiceName(Platform& os, const std::string& fullServiceName);

// The service by its full name with the tool's rights. Windows' service manager finds a name
// in any letter case; where it finds none and the name holds letters outside ASCII (which
// Wine's manager matches only as they are), the service is opened by its registered name.
ErrorCode openServiceByName(Platform& os, const ScHandle& manager, const std::string& fullServiceName,
                            uint32_t access, ScHandle& service);

// How a tool reports a failed open step. The trace lines (none when null) come before the
// tool's error lines.
struct OpenStepReports {
    const char* managerFailureTrace;  // when the manager cannot be opened
    const char* managerFailureLabel;  // label of the system-error line that follows it
    const char* serviceFailureTrace;  // when the service cannot be opened, before its report
};

// The open step of the tools: the manager, then the service by its full name with the tool's
// rights. When either open fails, the failure is reported as the tool reports it (the
// system-error line for the manager, the open-failure report for the service), nothing stays
// open, and the code is returned; 0 with both handles open otherwise.
ErrorCode openServiceForTool(Platform& os, const std::string& fullServiceName, uint32_t access,
                             const OpenStepReports& reports, ScHandle& manager, ScHandle& service);

}  // namespace vornel
