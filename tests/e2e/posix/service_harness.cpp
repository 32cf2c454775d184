// POSIX: the service runs as a foreground child with its socket and log in a
// fresh temporary folder, so every test has its own instance.
#include "e2e/service_harness.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace vorn::test {

namespace {

std::string socket_path(const ServiceRun& run) {
  return run.dir->file("run") + "/VORNGuardLocalGuard";
}

bool endpoint_answers(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool ok =
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Starts the service process in the folders of `run`.
bool launch(ServiceRun& run, std::string& error) {
  const std::string data = run.dir->file("data");
  const std::string program = binary_directory() + "/vorn-guard-service";
  if (!start_child(run.process, program, {},
                   {{"RUNTIME_DIRECTORY", run.dir->file("run")},
                    {"ProgramData", data},
                    {"CONFIGURATION_DIRECTORY", data + "/VORN/ClientService"}},
                   run.dir->file("service.out"), /*own_session=*/true,
                   run.dir->file("service.err"))) {
    error = "cannot start " + program;
    return false;
  }
  run.started = true;
  // A client may connect once the socket answers; the banner, which makes
  // the log's folders (where tests put the trusted-digest list), follows
  // from the listener's thread, so it is waited for too. Connecting costs
  // the service one accepted-and-dropped connection, which it handles like
  // any client that closes without writing.
  for (int i = 0; i < 500; ++i) {
    int exit_code = 0;
    if (wait_child(run.process, 0, exit_code)) {
      error = "service exited at start with " + std::to_string(exit_code) +
              ": " + read_file(run.dir->file("service.out"));
      run.started = false;
      return false;
    }
    struct stat log {};
    if (endpoint_answers(socket_path(run)) &&
        ::stat(run.log_paths[0].c_str(), &log) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error = "service did not start listening";
  return false;
}

}  // namespace

bool service_start(ServiceRun& run, std::string& error) {
  run.dir = std::make_unique<TempDir>();
  // The service never creates the base directory itself.
  const std::string data = run.dir->file("data");
  mkdir(data.c_str(), 0755);
  run.log_paths = {data + "/VORN/ClientService/service.log"};
  run.log_offsets = {0};
  return launch(run, error);
}

bool service_restart(ServiceRun& run, unsigned timeout_ms, std::string& error) {
  int exit_code = -1;
  if (!service_stop(run, timeout_ms, exit_code)) {
    error = "the service did not stop";
    return false;
  }
  return launch(run, error);
}

std::vector<std::string> trusted_digests_paths(const ServiceRun& run) {
  return {run.dir->file("data") + "/VORN/ClientService/trusted-digests"};
}

bool service_stop(ServiceRun& run, unsigned timeout_ms, int& exit_code) {
  if (!run.started) return false;
  kill(static_cast<pid_t>(run.process.pid), SIGTERM);
  const bool ended = wait_child(run.process, timeout_ms, exit_code);
  if (!ended) kill_child(run.process);
  release_child(run.process);
  run.started = false;
  return ended;
}

std::vector<std::pair<std::string, std::string>> client_environment(
    const ServiceRun& run) {
  return {{"VORN_GUARD_ENDPOINT", run.dir->file("run/VORNGuardLocalGuard")}};
}

int terminated_exit_code() { return 128 + SIGKILL; }

void service_cleanup() {}

}  // namespace vorn::test
