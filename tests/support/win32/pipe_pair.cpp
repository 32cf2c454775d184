// A connected pair of the real transport: one instance of a message-mode
// named pipe made like the service's (under a name of the test's own) and a
// client handle opened on it.
#include "support/pipe_pair.h"

#include <windows.h>

#include <atomic>
#include <vector>

namespace vorn::test {

namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kPollStepMs = 2;
constexpr DWORD kLargestMessage = 64 * 1024;

HANDLE client_handle(const PipePair& pair) {
  return reinterpret_cast<HANDLE>(pair.client);
}

// Unique per process and per pair, and never the service's own name.
std::string unique_pipe_name() {
  static std::atomic<unsigned> counter{0};
  return "\\\\.\\pipe\\vorn-test-" + std::to_string(GetCurrentProcessId()) +
         "-" + std::to_string(counter.fetch_add(1));
}

}  // namespace

bool open_pipe_pair(PipePair& pair) {
  const std::string name = unique_pipe_name();
  HANDLE server =
      CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX,
                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                       kBufferBytes, kBufferBytes, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return false;
  HANDLE client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (client == INVALID_HANDLE_VALUE) {
    CloseHandle(server);
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  // The client is already there, so this does not block: it answers
  // ERROR_PIPE_CONNECTED.
  const bool connected = ConnectNamedPipe(server, nullptr) ||
                         GetLastError() == ERROR_PIPE_CONNECTED;
  if (!connected || !SetNamedPipeHandleState(client, &mode, nullptr, nullptr)) {
    CloseHandle(client);
    CloseHandle(server);
    return false;
  }
  pair.server = os::PipeHandle(reinterpret_cast<std::intptr_t>(server), 0);
  pair.client = reinterpret_cast<std::intptr_t>(client);
  return true;
}

bool client_send_raw(const PipePair& pair, const std::string& bytes) {
  DWORD written = 0;
  return WriteFile(client_handle(pair), bytes.data(),
                   static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool client_receive_raw(const PipePair& pair, std::string& bytes,
                        unsigned timeout_ms) {
  const HANDLE client = client_handle(pair);
  const ULONGLONG start = GetTickCount64();
  // Peek until a message waits, so the time-out holds without overlapped
  // I/O. A broken or disconnected pipe fails the peek at once.
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr)) {
      return false;
    }
    if (available > 0) break;
    if (GetTickCount64() - start >= timeout_ms) return false;
    Sleep(kPollStepMs);
  }
  std::vector<char> buffer(kLargestMessage);
  DWORD read = 0;
  if (!ReadFile(client, buffer.data(), kLargestMessage, &read, nullptr)) {
    return false;
  }
  bytes.assign(buffer.data(), read);
  return true;
}

void close_client(PipePair& pair) {
  if (pair.client != -1) CloseHandle(client_handle(pair));
  pair.client = -1;
}

}  // namespace vorn::test
