#include "service/win32/service_host.h"

#include "platform/runtime.h"
#include "service/service_run.h"

namespace vorn {

namespace {

// SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, in every report but the
// start-pending one.
constexpr DWORD kAcceptedControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Shared by ServiceMain and the control handler without a lock: the handler
// can only report after a stop control, which the service control manager
// sends only once running was reported, and ServiceMain reports again only
// after the handler has set the stop event.
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status{};
unsigned g_report_count = 0;

// Five fields are rewritten before every report; the checkpoint and the
// wait hint stay 0.
void report_status(DWORD state, DWORD controls_accepted, DWORD exit_code,
                   DWORD service_exit_code = 0) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = controls_accepted;
  g_status.dwWin32ExitCode = exit_code;
  g_status.dwServiceSpecificExitCode = service_exit_code;
  ++g_report_count;
  // Nothing to do about a failed report.
  SetServiceStatus(g_status_handle, &g_status);
}

}  // namespace

void WINAPI ServiceMain(DWORD /*argument_count*/, LPSTR* /*arguments*/) {
  g_status_handle = RegisterServiceCtrlHandlerExA(
      kServiceName, ServiceControlHandler, nullptr);
  if (g_status_handle == nullptr) return;
  report_status(SERVICE_START_PENDING, 0, NO_ERROR);

  if (const os::Error error = os::stop_event_create()) {
    report_status(SERVICE_STOPPED, kAcceptedControls, error.native());
    return;
  }
  // Running is reported once the endpoint is open, before the listener
  // starts; after the stop, at most 2000 ms for the listener.
  ServiceHooks hooks;
  hooks.listening = [](const std::string& /*endpoint*/) {
    report_status(SERVICE_RUNNING, kAcceptedControls, NO_ERROR);
  };
  if (service_run(hooks)) {
    // The pipe's name is taken (the event log says by what): never reported
    // running. An error stop, so the failure actions start the service again
    // once the name may be free.
    report_status(SERVICE_STOPPED, kAcceptedControls,
                  ERROR_SERVICE_SPECIFIC_ERROR, kEndpointUnavailableExitCode);
    return;
  }

  // The stop event is deliberately left open: a listener still blocked on a
  // client or a session worker between two polls may look at it in the
  // moment before the process ends, and must never find a closed (or reused)
  // handle. The process's end closes it.
  report_status(SERVICE_STOPPED, kAcceptedControls, NO_ERROR);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD /*event_type*/,
                                   LPVOID /*event_data*/, LPVOID /*context*/) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) {
    // Interrogate, pause and the rest: nothing changes, nothing is reported.
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
  // Reported before the event is set, so it always precedes ServiceMain's
  // stopped report.
  report_status(SERVICE_STOP_PENDING, kAcceptedControls, NO_ERROR);
  os::stop_event_set();  // does nothing while there is no event
  return NO_ERROR;
}

SERVICE_STATUS last_reported_status() { return g_status; }

unsigned reported_status_count() { return g_report_count; }

}  // namespace vorn
