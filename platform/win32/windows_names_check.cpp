// <windows.h> first, then the platform header: a file of the Windows build may include them in
// this order, so the platform's names must be out of reach of the Windows macros. And each
// constant of the platform must have the value of the Windows name it stands for.
#include <windows.h>

#include "platform/platform.h"

namespace vornel {
namespace {

template <class Ours, class Theirs>
constexpr bool same(Ours ours, Theirs theirs) {
    return static_cast<unsigned long long>(ours) == static_cast<unsigned long long>(theirs);
}

static_assert(same(win::kErrorSuccess, ERROR_SUCCESS), "ERROR_SUCCESS");
static_assert(same(win::kErrorFileNotFound, ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND");
static_assert(same(win::kErrorAccessDenied, ERROR_ACCESS_DENIED), "ERROR_ACCESS_DENIED");
static_assert(same(win::kErrorSharingViolation, ERROR_SHARING_VIOLATION), "ERROR_SHARING_VIOLATION");
static_assert(same(win::kErrorInvalidHandle, ERROR_INVALID_HANDLE), "ERROR_INVALID_HANDLE");
static_assert(same(win::kErrorInvalidParameter, ERROR_INVALID_PARAMETER), "ERROR_INVALID_PARAMETER");
static_assert(same(win::kErrorBrokenPipe, ERROR_BROKEN_PIPE), "ERROR_BROKEN_PIPE");
static_assert(same(win::kErrorInvalidName, ERROR_INVALID_NAME), "ERROR_INVALID_NAME");
static_assert(same(win::kErrorBadPathname, ERROR_BAD_PATHNAME), "ERROR_BAD_PATHNAME");
static_assert(same(win::kErrorNoData, ERROR_NO_DATA), "ERROR_NO_DATA");
static_assert(same(win::kErrorMoreData, ERROR_MORE_DATA), "ERROR_MORE_DATA");
static_assert(same(win::kErrorNoMoreItems, ERROR_NO_MORE_ITEMS), "ERROR_NO_MORE_ITEMS");
static_assert(same(win::kErrorDirectory, ERROR_DIRECTORY), "ERROR_DIRECTORY");
static_assert(same(win::kErrorKeyDeleted, ERROR_KEY_DELETED), "ERROR_KEY_DELETED");
static_assert(same(win::kErrorServiceRequestTimeout, ERROR_SERVICE_REQUEST_TIMEOUT), "ERROR_SERVICE_REQUEST_TIMEOUT");
static_assert(same(win::kErrorServiceAlreadyRunning, ERROR_SERVICE_ALREADY_RUNNING), "ERROR_SERVICE_ALREADY_RUNNING");
static_assert(same(win::kErrorServiceDisabled, ERROR_SERVICE_DISABLED), "ERROR_SERVICE_DISABLED");
static_assert(same(win::kErrorServiceDoesNotExist, ERROR_SERVICE_DOES_NOT_EXIST), "ERROR_SERVICE_DOES_NOT_EXIST");
static_assert(same(win::kErrorServiceCannotAcceptCtrl, ERROR_SERVICE_CANNOT_ACCEPT_CTRL), "ERROR_SERVICE_CANNOT_ACCEPT_CTRL");
static_assert(same(win::kErrorServiceNotActive, ERROR_SERVICE_NOT_ACTIVE), "ERROR_SERVICE_NOT_ACTIVE");
static_assert(same(win::kErrorFailedServiceControllerConnect, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), "ERROR_FAILED_SERVICE_CONTROLLER_CONNECT");
static_assert(same(win::kErrorServiceSpecificError, ERROR_SERVICE_SPECIFIC_ERROR), "ERROR_SERVICE_SPECIFIC_ERROR");
static_assert(same(win::kErrorServiceMarkedForDelete, ERROR_SERVICE_MARKED_FOR_DELETE), "ERROR_SERVICE_MARKED_FOR_DELETE");
static_assert(same(win::kErrorServiceExists, ERROR_SERVICE_EXISTS), "ERROR_SERVICE_EXISTS");
static_assert(same(win::kErrorDuplicateServiceName, ERROR_DUPLICATE_SERVICE_NAME), "ERROR_DUPLICATE_SERVICE_NAME");
static_assert(same(win::kKeyRead, KEY_READ), "KEY_READ");
static_assert(same(win::kKeyAllAccess, KEY_ALL_ACCESS), "KEY_ALL_ACCESS");
static_assert(same(win::kScManagerAllAccess, SC_MANAGER_ALL_ACCESS), "SC_MANAGER_ALL_ACCESS");
static_assert(same(win::kServiceChangeConfig, SERVICE_CHANGE_CONFIG), "SERVICE_CHANGE_CONFIG");
static_assert(same(win::kServiceQueryStatus, SERVICE_QUERY_STATUS), "SERVICE_QUERY_STATUS");
static_assert(same(win::kServiceStart, SERVICE_START), "SERVICE_START");
static_assert(same(win::kServiceStop, SERVICE_STOP), "SERVICE_STOP");
static_assert(same(win::kServiceInterrogate, SERVICE_INTERROGATE), "SERVICE_INTERROGATE");
static_assert(same(win::kServiceUserDefinedControl, SERVICE_USER_DEFINED_CONTROL), "SERVICE_USER_DEFINED_CONTROL");
static_assert(same(win::kDelete, DELETE), "DELETE");
static_assert(same(win::kServiceAllAccess, SERVICE_ALL_ACCESS), "SERVICE_ALL_ACCESS");
static_assert(same(win::kServiceWin32OwnProcess, SERVICE_WIN32_OWN_PROCESS), "SERVICE_WIN32_OWN_PROCESS");
static_assert(same(win::kServiceAutoStart, SERVICE_AUTO_START), "SERVICE_AUTO_START");
static_assert(same(win::kServiceDemandStart, SERVICE_DEMAND_START), "SERVICE_DEMAND_START");
static_assert(same(win::kServiceDisabled, SERVICE_DISABLED), "SERVICE_DISABLED");
static_assert(same(win::kServiceErrorNormal, SERVICE_ERROR_NORMAL), "SERVICE_ERROR_NORMAL");
static_assert(same(win::kServiceNoChange, SERVICE_NO_CHANGE), "SERVICE_NO_CHANGE");
static_assert(same(win::kServiceStopped, SERVICE_STOPPED), "SERVICE_STOPPED");
static_assert(same(win::kServiceStartPending, SERVICE_START_PENDING), "SERVICE_START_PENDING");
static_assert(same(win::kServiceStopPending, SERVICE_STOP_PENDING), "SERVICE_STOP_PENDING");
static_assert(same(win::kServiceRunning, SERVICE_RUNNING), "SERVICE_RUNNING");
static_assert(same(win::kServiceContinuePending, SERVICE_CONTINUE_PENDING), "SERVICE_CONTINUE_PENDING");
static_assert(same(win::kServicePausePending, SERVICE_PAUSE_PENDING), "SERVICE_PAUSE_PENDING");
static_assert(same(win::kServicePaused, SERVICE_PAUSED), "SERVICE_PAUSED");
static_assert(same(win::kServiceAcceptStop, SERVICE_ACCEPT_STOP), "SERVICE_ACCEPT_STOP");
static_assert(same(win::kServiceControlStop, SERVICE_CONTROL_STOP), "SERVICE_CONTROL_STOP");
static_assert(same(win::kServiceControlInterrogate, SERVICE_CONTROL_INTERROGATE), "SERVICE_CONTROL_INTERROGATE");
static_assert(same(win::kEventlogErrorType, EVENTLOG_ERROR_TYPE), "EVENTLOG_ERROR_TYPE");
static_assert(same(win::kEventlogInformationType, EVENTLOG_INFORMATION_TYPE), "EVENTLOG_INFORMATION_TYPE");
// The value of Windows before Vista, which the host asks for; newer headers give 0x1FFFFF.
static_assert(same(win::kProcessAllAccess, STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFF), "PROCESS_ALL_ACCESS");
static_assert(same(win::kInfinite, INFINITE), "INFINITE");
static_assert(same(win::kServiceAcceptPreshutdown, SERVICE_ACCEPT_PRESHUTDOWN), "SERVICE_ACCEPT_PRESHUTDOWN");
static_assert(same(win::kServiceControlShutdown, SERVICE_CONTROL_SHUTDOWN), "SERVICE_CONTROL_SHUTDOWN");
static_assert(same(win::kServiceControlPreshutdown, SERVICE_CONTROL_PRESHUTDOWN), "SERVICE_CONTROL_PRESHUTDOWN");
static_assert(same(win::kEventlogWarningType, EVENTLOG_WARNING_TYPE), "EVENTLOG_WARNING_TYPE");
static_assert(same(win::kWaitTimeout, WAIT_TIMEOUT), "WAIT_TIMEOUT");
static_assert(same(WaitResult::Signaled, WAIT_OBJECT_0), "WAIT_OBJECT_0");
static_assert(same(WaitResult::Timeout, WAIT_TIMEOUT), "WAIT_TIMEOUT");
static_assert(same(WaitResult::Failed, WAIT_FAILED), "WAIT_FAILED");
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS), "SERVICE_STATUS");
static_assert(same(win::kErrorPathNotFound, ERROR_PATH_NOT_FOUND), "ERROR_PATH_NOT_FOUND");
static_assert(same(win::kErrorAlreadyExists, ERROR_ALREADY_EXISTS), "ERROR_ALREADY_EXISTS");
static_assert(same(win::kErrorFilenameExcedRange, ERROR_FILENAME_EXCED_RANGE), "ERROR_FILENAME_EXCED_RANGE");
static_assert(same(win::kErrorCircularDependency, ERROR_CIRCULAR_DEPENDENCY), "ERROR_CIRCULAR_DEPENDENCY");
static_assert(same(win::kErrorNoUnicodeTranslation, ERROR_NO_UNICODE_TRANSLATION), "ERROR_NO_UNICODE_TRANSLATION");
static_assert(same(win::kScActionNone, SC_ACTION_NONE), "SC_ACTION_NONE");
static_assert(same(win::kScActionRestart, SC_ACTION_RESTART), "SC_ACTION_RESTART");
#ifdef SC_GROUP_IDENTIFIERA  // not in every header set (Wine's lacks it)
static_assert(win::kScGroupIdentifier == SC_GROUP_IDENTIFIERA, "SC_GROUP_IDENTIFIER");
#endif
static_assert(same(win::kFileAttributeDirectory, FILE_ATTRIBUTE_DIRECTORY), "FILE_ATTRIBUTE_DIRECTORY");

}  // namespace
}  // namespace vornel
