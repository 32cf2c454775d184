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
constexpr DWORD kClientRights =
    FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

struct ScHandle {
  SC_HANDLE handle = nullptr;
  ~ScHandle() {
    if (handle) CloseServiceHandle(handle);
  }
};

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
  const ScHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
  const ScHandle service{
      OpenServiceA(manager.handle, "VORNGuardLocalService",
                   SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)};
  SERVICE_STATUS status{};
  if (!ControlService(service.handle, SERVICE_CONTROL_STOP, &status) ||
      !reaches(service.handle, SERVICE_STOPPED, status)) {
    return AssertionFailure() << "the service did not stop";
  }
  const auto banners = [&] {
    return count_starting(service_log_lines(run), "VORN Local Guard Service");
  };
  const std::size_t before = banners();
  {
    const UniqueHandle squatter(CreateNamedPipeA(kPipe, PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_MESSAGE, instances,
                                                 4096, 4096, 0, nullptr));
    if (!squatter.valid() || !StartServiceA(service.handle, 0, nullptr) ||
        !reaches(service.handle, SERVICE_STOPPED, status)) {
      return AssertionFailure() << "no start that stopped: " << GetLastError();
    }
    if (status.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR ||
        status.dwServiceSpecificExitCode != 1 || banners() != before) {
      return AssertionFailure() << "exit code " << status.dwWin32ExitCode << "/"
                                << status.dwServiceSpecificExitCode;
    }
  }
  if (!StartServiceA(service.handle, 0, nullptr) ||
      !reaches(service.handle, SERVICE_RUNNING, status)) {
    return AssertionFailure() << "not running once the pipe was gone";
  }
  return AssertionSuccess();
}

// An instance added to the service's pipe by an authenticated user who is no
// administrator (this process's token, Administrators for denying only):
// refused. Wine looks at no pipe's descriptor when an instance is made or
// opened, so there only what the live pipe's descriptor grants that user can
// be shown: no FILE_CREATE_PIPE_INSTANCE, and the client's rights.
AssertionResult instance_added_by_a_user(const ServiceRun& /*run*/) {
  HANDLE raw = nullptr;
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof admins;
  CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size);
  SID_AND_ATTRIBUTES deny_only{admins, 0};
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
  if (!client.valid() ||
      GetSecurityInfo(client.get(), SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                          DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return AssertionFailure() << "no descriptor read: " << GetLastError();
  }
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                          FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  const auto granted = [&](DWORD wanted) {
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

  SetThreadToken(nullptr, user.get());
  const UniqueHandle added(CreateNamedPipeA(kPipe, PIPE_ACCESS_DUPLEX,
                                            PIPE_TYPE_MESSAGE, 32, 4096, 4096,
                                            0, nullptr));
  const DWORD error = GetLastError();
  RevertToSelf();
  const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                   "wine_get_version") != nullptr;
  if (create || !connect || (!wine && error != ERROR_ACCESS_DENIED)) {
    return AssertionFailure() << "create " << create << ", connect " << connect
                              << ", instance made: " << added.valid();
  }
  return AssertionSuccess();
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
