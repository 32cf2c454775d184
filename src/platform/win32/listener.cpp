// Creating one instance of the service's named pipe and waiting for a client.
#include <windows.h>
// Needs the definitions of windows.h.
#include <aclapi.h>
#include <sddl.h>

#include <mutex>
#include <utility>
#include <vector>

#include "platform/runtime.h"
#include "platform/win32/service_names.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

// Local system and administrators: everything; authenticated users: what a
// client needs and no more: FILE_GENERIC_READ | FILE_WRITE_DATA |
// FILE_WRITE_ATTRIBUTES (0x12018B; the last for SetNamedPipeHandleState).
// Never GENERIC_WRITE: it includes FILE_APPEND_DATA, which on a pipe is
// FILE_CREATE_PIPE_INSTANCE, and any user could then add instances of the
// LocalSystem service's pipe, serve its clients and crowd it out. Nobody
// else. Protected, so nothing is inherited.
constexpr char kPipeSddl[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12018b;;;AU)";
constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX;
// Message type, read in message mode, blocking, local clients only: a remote
// caller whose pid happens to match a local game client could otherwise bind
// a session to that local process and get it terminated.
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE |
                            PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kMaxInstances = static_cast<DWORD>(kEndpointPlaces);
constexpr DWORD kBufferBytes = 4096;
// 0: clients that wait with the default time-out get the system's 50 ms.
constexpr DWORD kDefaultTimeoutMs = 0;
// How long the start waits for the pipe's name to come free, and how often
// it looks.
constexpr ULONGLONG kFirstInstancePatienceMs = 3000;
constexpr DWORD kFirstInstanceRetryMs = 100;
constexpr char kNameTaken[] =
    " exists already: another program has taken the name (the service "
    "serves only a pipe it created itself)";

using SystemTimeFunction = VOID(WINAPI*)(LPFILETIME);

// GetSystemTimePreciseAsFileTime exists from Windows 8 on and is looked up
// so the service still starts on Windows 7, which gets the coarse system
// time instead. Both read the system clock that process creation times are
// stamped from, and neither lags behind those stamps, so a client that
// started before the connection never looks as if it started after it
// (unless the clock is set back in between).
SystemTimeFunction system_time_function() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const FARPROC precise =
      kernel != nullptr
          ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")
          : nullptr;
  // FARPROC and the real signature differ; the plain void (*)() in between
  // is the sanctioned way to change function pointer types.
  return precise != nullptr ? reinterpret_cast<SystemTimeFunction>(
                                  reinterpret_cast<void (*)()>(precise))
                            : GetSystemTimeAsFileTime;
}

std::uint64_t system_time_now() {
  static const SystemTimeFunction now_function = system_time_function();
  FILETIME now{};
  now_function(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
         now.dwLowDateTime;
}

HANDLE create_instance(DWORD first_flag) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Only the descriptor pointer tells success; a failed conversion leaves the
  // instance with the default security of a named pipe.
  ConvertStringSecurityDescriptorToSecurityDescriptorA(
      kPipeSddl, SDDL_REVISION_1, &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  HANDLE instance = CreateNamedPipeA(
      kPipeName, kOpenMode | first_flag, kPipeMode, kMaxInstances, kBufferBytes,
      kBufferBytes, kDefaultTimeoutMs,
      descriptor != nullptr ? &attributes : nullptr);
  // A fresh descriptor per instance, freed whether or not creation worked.
  if (descriptor != nullptr) LocalFree(descriptor);
  return instance;
}

// The owner of the pipe an instance belongs to (one descriptor for all its
// instances); empty when it cannot be read.
std::vector<unsigned char> pipe_owner(HANDLE instance) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(instance, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                      &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<unsigned char> sid;
  if (owner != nullptr && IsValidSid(owner)) {
    const auto* bytes = static_cast<const unsigned char*>(owner);
    sid.assign(bytes, bytes + GetLengthSid(owner));
  }
  LocalFree(descriptor);
  return sid;
}

// The first instance, made by listener_open and served first; and the owner
// of the pipe it made. Set before the listener thread starts; the instance
// is taken under the lock, since listener_close may run beside a listener
// still waiting for a client.
std::mutex g_first_lock;
win32::UniqueHandle g_first_instance;
std::vector<unsigned char> g_own_pipe_owner;

win32::UniqueHandle take_first_instance() {
  const std::lock_guard<std::mutex> lock(g_first_lock);
  return std::move(g_first_instance);
}

// Makes the first instance of the pipe, with the name still free, or tells
// why not; `taken` when the name exists.
win32::UniqueHandle first_instance(bool& taken, Error& error) {
  taken = false;
  win32::UniqueHandle first(create_instance(FILE_FLAG_FIRST_PIPE_INSTANCE));
  if (!first.valid()) {
    error = last_system_error();
    taken = error.native() == ERROR_ACCESS_DENIED ||
            error.native() == ERROR_PIPE_BUSY;
    error.context(std::string(kPipeName) +
                  (taken ? kNameTaken : " cannot be created"));
    return first;
  }
  DWORD instances = 0;
  if (!GetNamedPipeHandleStateA(first.get(), nullptr, &instances, nullptr,
                                nullptr, nullptr, 0)) {
    error = last_system_error().context(std::string(kPipeName) +
                                        " cannot be examined");
    return win32::UniqueHandle();
  }
  if (instances != 1) {
    taken = true;
    error = Error(Errc::already_exists, std::string(kPipeName) + kNameTaken);
    return win32::UniqueHandle();
  }
  return first;
}

}  // namespace

std::string endpoint_name() { return kPipeName; }

// The pipe's name is taken with its first instance, before the service says
// it runs: a program that made the pipe first would otherwise get every
// client, or leave them no room. FILE_FLAG_FIRST_PIPE_INSTANCE fails when
// the name exists, whoever made it (ERROR_ACCESS_DENIED; ERROR_PIPE_BUSY
// when the other pipe allows no more instances). The instance count is
// looked at as well, so the refusal does not rest on the flag alone (Wine
// ignores it). A service stopped just before may still hold its instances
// for a moment, so the name is tried for kFirstInstancePatienceMs.
Error listener_open() {
  win32::UniqueHandle first;
  const ULONGLONG start = GetTickCount64();
  bool taken = false;
  Error error;
  for (;;) {
    first = first_instance(taken, error);
    if (!taken || GetTickCount64() - start >= kFirstInstancePatienceMs) break;
    Sleep(kFirstInstanceRetryMs);
  }
  if (!first.valid()) return error;
  std::vector<unsigned char> owner = pipe_owner(first.get());
  if (owner.empty()) {
    return last_system_error().context(std::string("the owner of ") +
                                       kPipeName + " cannot be read");
  }
  const std::lock_guard<std::mutex> lock(g_first_lock);
  g_own_pipe_owner = std::move(owner);
  g_first_instance = std::move(first);
  return Error();
}

void listener_close() { (void)take_first_instance(); }

AcceptOutcome accept_client(PipeHandle& pipe, Error& error) {
  win32::UniqueHandle first = take_first_instance();
  HANDLE instance = first.valid() ? first.release() : create_instance(0);
  // INVALID_HANDLE_VALUE also when all 32 instances exist, which is no error.
  if (instance == INVALID_HANDLE_VALUE) {
    Error failure = last_system_error();
    if (failure.native() != ERROR_PIPE_BUSY) {
      error = std::move(failure).context(
          std::string("cannot create an instance of ") + kPipeName);
    }
    return AcceptOutcome::create_failed;
  }
  // Should every instance have closed (32 sessions ending at once while the
  // listener waited), another program could have made the name its own in
  // between; a new instance would then be one of its pipe. Told by the
  // owner, which only the creator's account can be.
  if (pipe_owner(instance) != g_own_pipe_owner) {
    CloseHandle(instance);
    error = Error(Errc::untrusted,
                  std::string(kPipeName) +
                      " now belongs to another program: no client is served "
                      "until it is gone");
    return AcceptOutcome::create_failed;
  }
  // Blocks until a client connects. ERROR_PIPE_CONNECTED: it connected
  // between the creation and this call, which is just as good.
  if (!ConnectNamedPipe(instance, nullptr) &&
      GetLastError() != ERROR_PIPE_CONNECTED) {
    // ERROR_NO_DATA, say: a client came and went before the wait began.
    // Nobody is connected, so there is nothing to disconnect.
    CloseHandle(instance);
    return AcceptOutcome::connect_failed;
  }
  // Taken at once: pipe_client_process refuses a process that started later,
  // which would be a new process under the pid of a client that is gone.
  pipe = PipeHandle(win32::to_raw(instance), system_time_now());
  return AcceptOutcome::connected;
}

}  // namespace vorn::os
