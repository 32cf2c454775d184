// Windows: the built service is registered with the service control manager
// (Wine's, in the tests) under its real name, started and stopped through the
// service API, exactly as an installed service is.
#include "e2e/service_harness.h"

#include <windows.h>

#include <chrono>
#include <thread>

namespace vorn::test {

namespace {

constexpr char kServiceName[] = "VORNGuardLocalService";

struct ScHandle {
  SC_HANDLE handle = nullptr;
  ~ScHandle() {
    if (handle) CloseServiceHandle(handle);
  }
};

std::size_t file_size_now(const std::string& path) {
  return read_file(path).size();
}

bool wait_for_state(SC_HANDLE service, DWORD state, unsigned timeout_ms,
                    SERVICE_STATUS& status) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == state)
      return true;
    if (std::chrono::steady_clock::now() - start >
        std::chrono::milliseconds(timeout_ms))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool pipe_exists() {
  return WaitNamedPipeA("\\\\.\\pipe\\VORNGuardLocalGuard", 0) ||
         GetLastError() == ERROR_SEM_TIMEOUT;
}

}  // namespace

void service_cleanup() {
  ScHandle scm{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  if (!scm.handle) return;
  ScHandle service{OpenServiceA(scm.handle, kServiceName, SERVICE_ALL_ACCESS)};
  if (!service.handle) return;
  SERVICE_STATUS status{};
  if (QueryServiceStatus(service.handle, &status) &&
      status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service.handle, SERVICE_CONTROL_STOP, &status);
    wait_for_state(service.handle, SERVICE_STOPPED, 30000, status);
  }
  DeleteService(service.handle);
}

bool service_start(ServiceRun& run, std::string& error) {
  run.dir = std::make_unique<TempDir>();
  service_cleanup();
  // A service sees ProgramData as the machine sets it for services; under
  // Wine that is C:\users\Public, on Windows C:\ProgramData.
  run.log_paths = {"C:\\users\\Public\\VORN\\ClientService\\service.log",
                   "C:\\ProgramData\\VORN\\ClientService\\service.log"};
  run.log_offsets.clear();
  for (const std::string& path : run.log_paths) {
    run.log_offsets.push_back(file_size_now(path));
  }

  const std::string binary = binary_directory() + "\\vorn-guard-service.exe";
  ScHandle scm{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  if (!scm.handle) {
    error = "OpenSCManagerA failed: " + std::to_string(GetLastError());
    return false;
  }
  const std::string quoted = "\"" + binary + "\"";
  ScHandle service{CreateServiceA(
      scm.handle, kServiceName, "VORN Local Guard Service", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      quoted.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)};
  if (!service.handle) {
    error = "CreateServiceA failed: " + std::to_string(GetLastError());
    return false;
  }
  if (!StartServiceA(service.handle, 0, nullptr)) {
    error = "StartServiceA failed: " + std::to_string(GetLastError());
    DeleteService(service.handle);
    return false;
  }
  SERVICE_STATUS status{};
  if (!wait_for_state(service.handle, SERVICE_RUNNING, 30000, status)) {
    error = "service did not report RUNNING";
    return false;
  }
  run.started = true;
  for (int i = 0; i < 3000 && !pipe_exists(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool service_restart(ServiceRun& /*run*/, unsigned timeout_ms,
                     std::string& error) {
  ScHandle scm{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  ScHandle service{
      scm.handle ? OpenServiceA(scm.handle, kServiceName, SERVICE_ALL_ACCESS)
                 : nullptr};
  SERVICE_STATUS status{};
  if (!service.handle ||
      !ControlService(service.handle, SERVICE_CONTROL_STOP, &status) ||
      !wait_for_state(service.handle, SERVICE_STOPPED, timeout_ms, status)) {
    error = "the service did not stop";
    return false;
  }
  if (!StartServiceA(service.handle, 0, nullptr) ||
      !wait_for_state(service.handle, SERVICE_RUNNING, 30000, status)) {
    error =
        "the service did not start again: " + std::to_string(GetLastError());
    return false;
  }
  for (int i = 0; i < 3000 && !pipe_exists(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<std::string> trusted_digests_paths(const ServiceRun& run) {
  std::vector<std::string> paths;
  for (const std::string& log : run.log_paths) {
    paths.push_back(log.substr(0, log.rfind('\\')) + "\\trusted-digests.txt");
  }
  return paths;
}

bool service_stop(ServiceRun& run, unsigned timeout_ms, int& exit_code) {
  if (!run.started) return false;
  run.started = false;
  ScHandle scm{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  if (!scm.handle) return false;
  ScHandle service{OpenServiceA(scm.handle, kServiceName, SERVICE_ALL_ACCESS)};
  if (!service.handle) return false;
  SERVICE_STATUS status{};
  ControlService(service.handle, SERVICE_CONTROL_STOP, &status);
  const bool stopped =
      wait_for_state(service.handle, SERVICE_STOPPED, timeout_ms, status);
  exit_code = static_cast<int>(status.dwWin32ExitCode);
  if (!stopped) {
    wait_for_state(service.handle, SERVICE_STOPPED, 30000, status);
  }
  DeleteService(service.handle);
  return stopped;
}

std::vector<std::pair<std::string, std::string>> client_environment(
    const ServiceRun&) {
  return {};
}

int terminated_exit_code() { return 0; }

}  // namespace vorn::test
