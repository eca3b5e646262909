// The values and records the platform operations speak in: error codes, the Windows
// constants the programs use, the service status and configuration records.
//
// The constants carry the Windows names in the form kErrorSuccess for ERROR_SUCCESS, so that
// a file may include <windows.h> before or after this header: its macros cannot reach them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornel {

// 0 for success, otherwise a Windows system error code.
using ErrorCode = uint32_t;

// The Windows values the programs use, each named after its Windows name.
namespace win {
constexpr ErrorCode kErrorSuccess = 0;
constexpr ErrorCode kErrorFileNotFound = 2;
constexpr ErrorCode kErrorPathNotFound = 3;
constexpr ErrorCode kErrorAccessDenied = 5;
constexpr ErrorCode kErrorInvalidHandle = 6;
constexpr ErrorCode kErrorSharingViolation = 32;
constexpr ErrorCode kErrorInvalidParameter = 87;
constexpr ErrorCode kErrorBrokenPipe = 109;
constexpr ErrorCode kErrorInsufficientBuffer = 122;
constexpr ErrorCode kErrorInvalidName = 123;
constexpr ErrorCode kErrorCallNotImplemented = 120;
constexpr ErrorCode kErrorBadPathname = 161;
constexpr ErrorCode kErrorAlreadyExists = 183;
constexpr ErrorCode kErrorFilenameExcedRange = 206;
constexpr ErrorCode kErrorNoData = 232;
constexpr ErrorCode kErrorMoreData = 234;
constexpr ErrorCode kErrorNoMoreItems = 259;
constexpr ErrorCode kWaitTimeout = 258;
constexpr ErrorCode kErrorDirectory = 267;
constexpr ErrorCode kErrorKeyDeleted = 1018;
constexpr ErrorCode kErrorInvalidServiceControl = 1052;
constexpr ErrorCode kErrorServiceRequestTimeout = 1053;
constexpr ErrorCode kErrorServiceAlreadyRunning = 1056;
constexpr ErrorCode kErrorServiceDisabled = 1058;
constexpr ErrorCode kErrorServiceDoesNotExist = 1060;
constexpr ErrorCode kErrorServiceCannotAcceptCtrl = 1061;
constexpr ErrorCode kErrorServiceNotActive = 1062;
constexpr ErrorCode kErrorFailedServiceControllerConnect = 1063;
constexpr ErrorCode kErrorServiceSpecificError = 1066;
constexpr ErrorCode kErrorServiceMarkedForDelete = 1072;
constexpr ErrorCode kErrorServiceExists = 1073;
constexpr ErrorCode kErrorDuplicateServiceName = 1078;
constexpr ErrorCode kErrorCircularDependency = 1059;
constexpr ErrorCode kErrorNoUnicodeTranslation = 1113;

// Registry access rights.
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyAllAccess = 0xF003F;

// Service manager access rights.
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceQueryConfig = 0x0001;
constexpr uint32_t kServiceChangeConfig = 0x0002;
constexpr uint32_t kServiceQueryStatus = 0x0004;
constexpr uint32_t kServiceStart = 0x0010;
constexpr uint32_t kServiceStop = 0x0020;
constexpr uint32_t kServicePauseContinue = 0x0040;
constexpr uint32_t kServiceInterrogate = 0x0080;
constexpr uint32_t kServiceUserDefinedControl = 0x0100;
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

// Service types, start types, error control.
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceDisabled = 4;
constexpr uint32_t kServiceBootStart = 0;
constexpr uint32_t kServiceSystemStart = 1;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceNoChange = 0xFFFFFFFF;

// Service states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;

// Controls.
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptPauseContinue = 2;
constexpr uint32_t kServiceAcceptPreshutdown = 0x100;
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlPreshutdown = 0xF;

// Event types.
constexpr uint16_t kEventlogErrorType = 1;
constexpr uint16_t kEventlogWarningType = 2;
constexpr uint16_t kEventlogInformationType = 4;

// Processes and waits.
constexpr uint32_t kProcessAllAccess = 0x1F0FFF;
constexpr uint32_t kProcessQueryLimitedInformation = 0x1000;
constexpr uint32_t kSynchronize = 0x00100000;
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Failure actions and dependencies.
constexpr uint32_t kScActionNone = 0;
constexpr uint32_t kScActionRestart = 1;
constexpr char kScGroupIdentifier = '+';

// File attributes.
constexpr uint32_t kFileAttributeDirectory = 0x10;
}  // namespace win

// The status record a service reports and a client queries (SERVICE_STATUS).
struct ServiceStatus {
    uint32_t dwServiceType = 0;
    uint32_t dwCurrentState = 0;
    uint32_t dwControlsAccepted = 0;
    uint32_t dwWin32ExitCode = 0;
    uint32_t dwServiceSpecificExitCode = 0;
    uint32_t dwCheckPoint = 0;
    uint32_t dwWaitHint = 0;
};

// What CreateServiceA is given. Absent texts are passed as NULL.
struct ServiceConfig {
    std::string name;
    std::optional<std::string> displayName;
    uint32_t desiredAccess = win::kServiceAllAccess;
    uint32_t serviceType = win::kServiceWin32OwnProcess;
    uint32_t startType = win::kServiceDemandStart;
    uint32_t errorControl = win::kServiceErrorNormal;
    std::string binaryPathName;
    std::optional<std::string> account;
    std::optional<std::string> password;
};

// What the service manager does when the service fails (SERVICE_FAILURE_ACTIONS without a
// reboot message or command): the actions in turn, one per failure, the last one repeated,
// and the failure count set back to zero after resetPeriodSeconds without a failure.
struct FailureAction {
    uint32_t type = win::kScActionNone;  // SC_ACTION_TYPE
    uint32_t delayMs = 0;
};
struct FailureActions {
    uint32_t resetPeriodSeconds = 0;
    std::vector<FailureAction> actions;  // none: the actions and the reset period are deleted
};

// Result of a wait on a process (WaitForSingleObject).
enum class WaitResult : uint32_t { Signaled = 0, Timeout = 258, Failed = 0xFFFFFFFF };

// How a new process starts: at once, or suspended until resumeProcess (CREATE_SUSPENDED), so
// that it can be put into a job before it can start processes of its own.
enum class StartMode { Running, Suspended };

}  // namespace vornel
