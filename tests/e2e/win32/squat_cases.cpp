// Attacks of a local user on the service's pipe: a pipe of its name made
// before the service starts, and an instance added to the service's own.
#include "e2e/win32/squat_cases.h"

#include <windows.h>
// windows.h first: this needs its types.
#include <aclapi.h>

#include "e2e/service_log_reader.h"
#include "platform/win32/win32_handle.h"

namespace vorn::test {
namespace {

using os::win32::UniqueHandle;
using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

constexpr char kPipe[] = "\\\\.\\pipe\\VORNGuardLocalGuard";

// Waits up to 20 s for the service to reach `state`.
bool reaches(SC_HANDLE service, DWORD state, SERVICE_STATUS& status) {
  for (int wait = 0; wait < 1000; ++wait) {
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == state)
      return true;
    Sleep(20);
  }
  return false;
}

// A pipe of the service's name, allowing `instances`, made while the service
// is stopped: the next start never runs (no banner) and stops with its
// service-specific exit code; once the pipe is gone it starts again.
AssertionResult squatted_before_start(const ServiceRun& run, DWORD instances) {
  const SC_HANDLE manager =
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service =
      OpenServiceA(manager, "VORNGuardLocalService",
                   SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  CloseServiceHandle(manager);
  SERVICE_STATUS status{};
  bool refused = ControlService(service, SERVICE_CONTROL_STOP, &status) &&
                 reaches(service, SERVICE_STOPPED, status);
  // The stopped service's process may still hold its instances for a moment.
  for (int wait = 0; wait < 1000 && (WaitNamedPipeA(kPipe, 0) ||
                                     GetLastError() != ERROR_FILE_NOT_FOUND);
       ++wait) {
    Sleep(20);
  }
  // Counted once the service has stopped: the stop itself closes sessions a
  // slow earlier case may have left open, and logs that.
  const std::size_t banners = service_log_lines(run).size();
  {
    const UniqueHandle squatter(CreateNamedPipeA(kPipe, PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_MESSAGE, instances,
                                                 4096, 4096, 0, nullptr));
    refused = refused && squatter.valid() &&
              StartServiceA(service, 0, nullptr) &&
              reaches(service, SERVICE_STOPPED, status) &&
              status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
              status.dwServiceSpecificExitCode == 1 &&
              service_log_lines(run).size() == banners;
  }
  const std::size_t lines = service_log_lines(run).size() - banners;
  SERVICE_STATUS after{};
  const bool back = StartServiceA(service, 0, nullptr) &&
                    reaches(service, SERVICE_RUNNING, after);
  CloseServiceHandle(service);
  if (refused && back) return AssertionSuccess();
  return AssertionFailure()
         << "refused " << refused << " (exit code " << status.dwWin32ExitCode
         << "/" << status.dwServiceSpecificExitCode << ", " << lines
         << " lines logged), back " << back;
}

// An instance added to the service's pipe by an authenticated user who is no
// administrator (this process's token, Administrators for denying only).
// Windows checks FILE_CREATE_PIPE_INSTANCE against the pipe's descriptor;
// Wine checks nothing there, so the descriptor read back from the live pipe
// is asked what it grants that user: not that, and the client's rights.
AssertionResult instance_added_by_a_user(const ServiceRun& /*run*/) {
  constexpr DWORD kClientRights =
      FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size);
  SID_AND_ATTRIBUTES deny_only{admins, 0};
  HANDLE raw = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &raw);
  const UniqueHandle own(raw);
  CreateRestrictedToken(own.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr,
                        &raw);
  const UniqueHandle restricted(raw);
  DuplicateToken(restricted.get(), SecurityImpersonation, &raw);
  const UniqueHandle user(raw);
  const UniqueHandle client(
      CreateFileA(kPipe, kClientRights, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  GetSecurityInfo(client.get(), SE_KERNEL_OBJECT,
                  OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                      DACL_SECURITY_INFORMATION,
                  nullptr, nullptr, nullptr, nullptr, &descriptor);
  const auto granted = [&](DWORD wanted) {
    GENERIC_MAPPING mapping{};
    PRIVILEGE_SET privileges{};
    DWORD length = sizeof privileges;
    DWORD access = 0;
    BOOL allowed = FALSE;
    return AccessCheck(descriptor, user.get(), wanted, &mapping, &privileges,
                       &length, &access, &allowed) &&
           allowed;
  };
  const bool create = granted(FILE_CREATE_PIPE_INSTANCE);
  const bool connect = granted(kClientRights);
  LocalFree(descriptor);
  if (!create && connect) return AssertionSuccess();
  return AssertionFailure() << "create " << create << ", connect " << connect;
}

}  // namespace

std::vector<AttackCase> squat_cases() {
  return {{"PipeTakenBeforeTheStart",
           [](const ServiceRun& run) { return squatted_before_start(run, 1); }},
          {"PipeWithRoomTakenBeforeTheStart",
           [](const ServiceRun& run) {
             return squatted_before_start(run, PIPE_UNLIMITED_INSTANCES);
           }},
          {"InstanceAddedByAUser", instance_added_by_a_user}};
}

}  // namespace vorn::test
