// A pipe that the test process serves: its server process is not the
// service's.
#include "e2e/impostor.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vorn::test {

struct Impostor::State {
  std::string name;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  std::thread server;
  std::atomic<long> received{-1};
  std::atomic<bool> done{false};
};

Impostor::Impostor() : state_(new State) {}

Impostor::~Impostor() {
  if (state_->server.joinable()) {
    // Nobody came: a client of our own ends the wait for one.
    if (!state_->done.load()) {
      HANDLE self = CreateFileA(state_->name.c_str(), GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
      if (self != INVALID_HANDLE_VALUE) CloseHandle(self);
    }
    state_->server.join();
  }
  if (state_->pipe != INVALID_HANDLE_VALUE) CloseHandle(state_->pipe);
}

bool Impostor::start(const TempDir&, std::string& error, bool& skip) {
  skip = false;
  state_->name =
      "\\\\.\\pipe\\VORNGuardImpostor-" + std::to_string(GetCurrentProcessId());
  state_->pipe =
      CreateNamedPipeA(state_->name.c_str(), PIPE_ACCESS_DUPLEX,
                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                       4096, 4096, 0, nullptr);
  if (state_->pipe == INVALID_HANDLE_VALUE) {
    error = "CreateNamedPipeA failed: " + std::to_string(GetLastError());
    return false;
  }
  State* state = state_.get();
  state_->server = std::thread([state] {
    if (ConnectNamedPipe(state->pipe, nullptr) ||
        GetLastError() == ERROR_PIPE_CONNECTED) {
      long total = 0;
      char buffer[4096];
      DWORD length = 0;
      for (;;) {
        if (ReadFile(state->pipe, buffer, sizeof buffer, &length, nullptr) ||
            GetLastError() == ERROR_MORE_DATA) {
          total += static_cast<long>(length);
          continue;
        }
        break;
      }
      state->received.store(total);
    }
    state->done.store(true);
  });
  return true;
}

std::string Impostor::endpoint() const { return state_->name; }

long Impostor::bytes_received(unsigned timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  while (!state_->done.load()) {
    if (std::chrono::steady_clock::now() - start >
        std::chrono::milliseconds(timeout_ms)) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return state_->received.load();
}

}  // namespace vorn::test
