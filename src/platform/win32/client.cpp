// The client end of the service's pipe, for the reference guard module and
// the probe, and what a process knows about itself.
#include "platform/client.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/runtime.h"
#include "platform/win32/service_names.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

// The service whose process must be the pipe's server.
constexpr char kServiceName[] = "VORNGuardLocalService";
constexpr DWORD kConnectRetryMs = 50;
// Exactly what the pipe's descriptor grants authenticated users: reading,
// writing messages and (SetNamedPipeHandleState) the read mode. Not
// GENERIC_WRITE, whose FILE_APPEND_DATA (on a pipe: the right to create
// instances) and FILE_WRITE_EA the service grants nobody but itself.
constexpr DWORD kPipeRights =
    FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
// Identification only: a server can learn who this client is but never act
// as its user. Without it, whoever serves a pipe under the service's name
// (an administrator's program, or any program before the service started)
// could impersonate the game's user.
constexpr DWORD kOpenFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD kReadPollMs = 2;
constexpr DWORD kReadChunk = 64 * 1024;
// Longest path GetModuleFileNameA can give with the \\?\ form.
constexpr DWORD kLongestPath = 32768;

HANDLE handle_of(const ClientConnection& connection) {
  return win32::to_handle(connection.raw());
}

// The errors by which a pipe tells that the other end has gone.
bool is_closed_error(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
         error == ERROR_NO_DATA;
}

DWORD remaining_ms(ULONGLONG start, DWORD timeout_ms) {
  const ULONGLONG elapsed = GetTickCount64() - start;
  return elapsed >= timeout_ms ? 0 : static_cast<DWORD>(timeout_ms - elapsed);
}

// GetModuleFileNameA truncates without failing when the buffer is too small
// (it then fills it completely), so grow until the name fits.
bool module_file_name(HMODULE module, std::string& path) {
  for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
    std::vector<char> buffer(size);
    const DWORD length = GetModuleFileNameA(module, buffer.data(), size);
    if (length == 0) return false;
    if (length < size) {
      path.assign(buffer.data(), length);
      return true;
    }
  }
  return false;
}

// The service control manager's handle is kept for the process's life,
// which halves the cost of each query (about 4 ms instead of 10 ms under
// Wine). The service's own handle is not: an open one would keep a deleted
// service from going, and an installer that registers it again would fail
// while a game runs. Constant-initialised, so loading the module runs no
// code; the handle is left to the process's end.
std::mutex g_status_lock;
SC_HANDLE g_manager = nullptr;

// The process the service control manager runs the service in; 0 when the
// service is not running or cannot be asked. Any user may query the status.
DWORD service_process_id() {
  const std::lock_guard<std::mutex> lock(g_status_lock);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (g_manager == nullptr) {
      g_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
      if (g_manager == nullptr) return 0;
    }
    SC_HANDLE service =
        OpenServiceA(g_manager, kServiceName, SERVICE_QUERY_STATUS);
    if (service == nullptr) {
      if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
      // A manager handle gone stale: opened anew once.
      CloseServiceHandle(g_manager);
      g_manager = nullptr;
      continue;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const bool known = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                            reinterpret_cast<LPBYTE>(&status),
                                            sizeof status, &needed) != FALSE;
    CloseServiceHandle(service);
    return known && status.dwCurrentState != SERVICE_STOPPED
               ? status.dwProcessId
               : 0;
  }
  return 0;
}

bool served_by_the_service(HANDLE pipe) {
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe, &server) || server == 0) return false;
  return server == service_process_id();
}

}  // namespace

ClientEndpoint client_endpoint() {
  // The process's own environment block, whichever C runtime the game uses.
  constexpr char kVariable[] = "VORN_GUARD_ENDPOINT";
  const DWORD needed = GetEnvironmentVariableA(kVariable, nullptr, 0);
  if (needed > 1) {
    std::string value(needed, '\0');
    const DWORD length = GetEnvironmentVariableA(kVariable, &value[0], needed);
    if (length > 0 && length < needed) {
      value.resize(length);
      return {value, true};
    }
  }
  return {kPipeName, false};
}

ConnectResult client_connect(ClientConnection& connection,
                             std::uint32_t timeout_ms, Error* error) {
  Error ignored;
  Error& why = error != nullptr ? *error : ignored;
  const std::string name = client_endpoint().name;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    win32::UniqueHandle pipe(CreateFileA(name.c_str(), kPipeRights, 0, nullptr,
                                         OPEN_EXISTING, kOpenFlags, nullptr));
    if (pipe.valid()) {
      if (!served_by_the_service(pipe.get())) {
        why = Error(Errc::untrusted, "its server is not the process of " +
                                         std::string(kServiceName));
        return ConnectResult::not_the_service;
      }
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
        why = last_system_error();
        return ConnectResult::unreachable;
      }
      connection = ClientConnection(win32::to_raw(pipe.release()));
      return ConnectResult::connected;
    }
    why = last_system_error();
    const DWORD failure = why.native();
    // No such pipe while the service runs: it is between two instances, which
    // is busy. No such pipe and no service: nothing to wait for.
    const bool between =
        failure == ERROR_FILE_NOT_FOUND && service_process_id() != 0;
    if (failure != ERROR_PIPE_BUSY && !between) {
      return ConnectResult::unreachable;
    }
    const DWORD left = remaining_ms(start, timeout_ms);
    if (left == 0) return ConnectResult::busy;
    if (between) {
      Sleep(left < kConnectRetryMs ? left : kConnectRetryMs);
    } else {
      // Every instance is taken; wait for one to come free. Another client
      // may take it first, so the open is simply tried again.
      WaitNamedPipeA(name.c_str(), left);
    }
  }
}

Error client_endpoint_listening() {
  // 1 ms (NMPWAIT_NOWAIT): busy instances answer ERROR_SEM_TIMEOUT.
  if (WaitNamedPipeA(client_endpoint().name.c_str(), NMPWAIT_NOWAIT) ||
      GetLastError() == ERROR_SEM_TIMEOUT) {
    return Error();
  }
  return last_system_error();
}

bool client_write(const ClientConnection& connection, const char* data,
                  std::size_t size) {
  if (size > MAXDWORD) return false;
  DWORD written = 0;
  return WriteFile(handle_of(connection), data, static_cast<DWORD>(size),
                   &written, nullptr) &&
         written == size;
}

bool client_read(const ClientConnection& connection, std::string& message,
                 std::uint32_t timeout_ms, bool& closed) {
  closed = false;
  const HANDLE pipe = handle_of(connection);
  const ULONGLONG start = GetTickCount64();
  // Peek first, so the wait keeps to the time limit without overlapped I/O.
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      closed = is_closed_error(GetLastError());
      return false;
    }
    if (available > 0) break;
    if (remaining_ms(start, timeout_ms) == 0) return false;
    Sleep(kReadPollMs);
  }
  std::string received;
  std::vector<char> chunk(kReadChunk);
  for (;;) {
    DWORD read = 0;
    if (ReadFile(pipe, chunk.data(), kReadChunk, &read, nullptr)) {
      received.append(chunk.data(), read);
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) {
      closed = is_closed_error(error);
      return false;
    }
    // A message larger than the chunk: the rest follows in the next reads.
    received.append(chunk.data(), read);
  }
  message = std::move(received);
  return true;
}

void ClientConnectionKind::close(std::intptr_t raw) {
  CloseHandle(win32::to_handle(raw));
}

bool pin_module_of(const void* address_in_module) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN |
                                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            static_cast<LPCWSTR>(address_in_module),
                            &module) != FALSE;
}

bool on_fork_child(void (*)()) { return true; }

ProcessId current_process_id() { return GetCurrentProcessId(); }

bool current_executable_path(std::string& path) {
  return module_file_name(nullptr, path);
}

bool module_path_of(const void* address_in_module, std::string& path) {
  HMODULE module = nullptr;
  // UNCHANGED_REFCOUNT: only the name is wanted, no reference to release.
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address_in_module), &module)) {
    return false;
  }
  return module_file_name(module, path);
}

std::string guard_evidence_cache_path() {
  char local[MAX_PATH] = {};
  const DWORD length =
      GetEnvironmentVariableA("LOCALAPPDATA", local, sizeof local);
  if (length == 0 || length >= sizeof local) return "";
  // Made when missing, as on POSIX (a test points it at a fresh folder).
  std::string folder = std::string(local);
  CreateDirectoryA(folder.c_str(), nullptr);
  folder += "\\VORN";
  CreateDirectoryA(folder.c_str(), nullptr);
  folder += "\\Guard";
  if (!CreateDirectoryA(folder.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return "";
  }
  return folder + "\\evidence";
}

bool replace_file(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace vorn::os
