// The Windows service host: the service main routine and the control handler
// that the dispatcher calls, and the status record they report through.
#pragma once

#include <windows.h>

namespace vorn {

// The name the service is registered under with the service control manager.
constexpr char kServiceName[] = "VORNGuardLocalService";

// The service-specific exit code (with ERROR_SERVICE_SPECIFIC_ERROR) of a
// start that could not make the pipe its own.
constexpr DWORD kEndpointUnavailableExitCode = 1;

// Registers the control handler, reports start pending, creates the stop
// event, reports running, runs the service until the stop event is set and
// reports stopped; reports stopped with kEndpointUnavailableExitCode, never
// running, when the pipe cannot be made its own. Both arguments are ignored.
void WINAPI ServiceMain(DWORD argument_count, LPSTR* arguments);

// Stop and shutdown: reports stop pending, sets the stop event and answers
// NO_ERROR. Every other control changes nothing, reports nothing and answers
// ERROR_CALL_NOT_IMPLEMENTED. Only the control code is looked at.
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD event_type,
                                   LPVOID event_data, LPVOID context);

// The record as it was last handed to SetServiceStatus, and how many reports
// have been made since the process started (failed ones included), so tests
// can tell what was reported.
SERVICE_STATUS last_reported_status();
unsigned reported_status_count();

}  // namespace vorn
