// The process entry: the process belongs to the service control manager's
// dispatcher until the service has stopped. Started from a console with
// --help or --version it answers there instead (a GUI-subsystem program has
// no console of its own).
#include <windows.h>

#include <cstring>
#include <string>

#include "service/win32/service_host.h"

namespace {

constexpr char kUsage[] =
    "Usage: vorn-guard-service.exe [--help | --version]\r\n"
    "\r\n"
    "VORN Local Guard Service: serves the guard modules of protected game\r\n"
    "clients on this machine over the named pipe\r\n"
    "\\\\.\\pipe\\VORNGuardLocalGuard, checks their heartbeats and\r\n"
    "integrity, and terminates clients that break the rules. It runs as the\r\n"
    "Windows service VORNGuardLocalService, started by the service control\r\n"
    "manager (install.cmd or the MSI registers it): sc start\r\n"
    "VORNGuardLocalService.\r\n"
    "\r\n"
    "Log: %ProgramData%\\VORN\\ClientService\\service.log. What it does, "
    "and\r\n"
    "why it refuses or terminates a client, goes to the Application event\r\n"
    "log, source VORNGuardLocalService.\r\n";

// Writes to where the caller looks: its redirected output, else the console
// of the command prompt that started this process.
void answer(const char* text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE console = INVALID_HANDLE_VALUE;
  if ((out == nullptr || out == INVALID_HANDLE_VALUE) &&
      AttachConsole(ATTACH_PARENT_PROCESS)) {
    console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    out = console;
  }
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(out, text, static_cast<DWORD>(std::strlen(text)), &written,
              nullptr);
  }
  if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous_instance*/,
                   LPSTR command_line, int /*show_mode*/) {
  // The arguments after the program's name, as the C runtime hands them.
  const std::string arguments = command_line != nullptr ? command_line : "";
  if (arguments == "--help") {
    answer(kUsage);
    return 0;
  }
  if (arguments == "--version") {
    answer("vorn-guard-service " VORN_VERSION "\r\n");
    return 0;
  }
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
