#include "bench_service.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "bench_support.h"

namespace vorn::bench {

using test::ChildProcess;

std::string socket_path(const Service& service) {
  return service.dir + "/run/VORNGuardLocalGuard";
}

std::string log_path(const Service& service) {
  return service.dir + "/data/VORN/ClientService/service.log";
}

Environment client_environment(const Service& service) {
  return {{"VORN_GUARD_ENDPOINT", service.dir + "/run/VORNGuardLocalGuard"}};
}

namespace {

bool endpoint_answers(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const bool ok =
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool start_service(const std::string& bin_dir, const std::string& work_dir,
                   Service& service) {
  static int serial = 0;
  service.dir = work_dir + "/service" + std::to_string(++serial);
  ::mkdir(service.dir.c_str(), 0755);
  // The service never creates the base folder itself.
  ::mkdir((service.dir + "/data").c_str(), 0755);
  if (!test::start_child(service.process, bin_dir + "/vorn-guard-service", {},
                         {{"RUNTIME_DIRECTORY", service.dir + "/run"},
                          {"ProgramData", service.dir + "/data"}},
                         service.dir + "/service.out")) {
    return false;
  }
  for (int i = 0; i < 500; ++i) {
    int exit_code = 0;
    if (test::wait_child(service.process, 0, exit_code)) return false;
    // The probe connection costs the service one accepted-and-dropped
    // connection, which it handles like any client that closes at once.
    if (endpoint_answers(socket_path(service))) return true;
    sleep_for_ms(10);
  }
  return false;
}

// SIGTERM; the time until the process has exited, -1 when it did not within
// 10 s.
double stop_service(Service& service, int& exit_code) {
  const std::int64_t start = monotonic_ns();
  ::kill(static_cast<pid_t>(service.process.pid), SIGTERM);
  // wait_child naps 1 ms between its looks: the figure's resolution is
  // about 1 ms.
  const bool ended = test::wait_child(service.process, 10000, exit_code);
  const std::int64_t end = monotonic_ns();
  test::release_child(service.process);
  return ended ? static_cast<double>(end - start) / 1e6 : -1;
}

std::map<std::string, int> count_log_lines(const Service& service) {
  std::map<std::string, int> counts;
  std::ifstream log(log_path(service));
  std::string line;
  while (std::getline(log, line)) {
    for (const char* key :
         {"SESSION READY", "SESSION CLOSED", "ENFORCEMENT",
          "LOCAL_GUARD_HEARTBEAT_TIMEOUT", "RUNTIME_INTEGRITY_CHANGED"}) {
      if (line.find(key) != std::string::npos) ++counts[key];
    }
  }
  return counts;
}

int count_of(const std::map<std::string, int>& counts, const char* key) {
  const auto found = counts.find(key);
  return found == counts.end() ? 0 : found->second;
}

bool start_client(ChildProcess& child, const std::string& client,
                  const std::vector<std::string>& arguments,
                  const Service& service, std::string& ready_line,
                  unsigned timeout_ms) {
  return test::start_piped_child(child, client, arguments,
                                 client_environment(service)) &&
         test::read_child_line(child, ready_line, timeout_ms) &&
         ready_line.rfind("ready", 0) == 0;
}

double ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }

}  // namespace vorn::bench
