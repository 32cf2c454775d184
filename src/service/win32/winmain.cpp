// The process entry: the process belongs to the service control manager's
// dispatcher until the service has stopped.
#include <windows.h>

#include "service/win32/service_host.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/,
                   LPSTR /*command_line*/, int /*show_mode*/) {
  // The table wants writable strings.
  char service_name[sizeof vorn::kServiceName];
  for (std::size_t i = 0; i < sizeof service_name; ++i) {
    service_name[i] = vorn::kServiceName[i];
  }
  SERVICE_TABLE_ENTRYA dispatch_table[] = {{service_name, vorn::ServiceMain},
                                           {nullptr, nullptr}};
  // Returns once the service has reported stopped, or at once when the
  // process was not started by the service control manager
  // (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT).
  if (StartServiceCtrlDispatcherA(dispatch_table)) return 0;
  return static_cast<int>(GetLastError());
}
