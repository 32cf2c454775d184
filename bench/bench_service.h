// The service under measurement: the built vorn-guard-service started in the
// foreground with its socket and log in a temporary folder, and the clients
// that talk to it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

namespace vorn::bench {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Service {
  std::string dir;  // run/ (socket), data/ (ProgramData), service.out
  test::ChildProcess process;
};

std::string socket_path(const Service& service);
std::string log_path(const Service& service);
// What a client needs to find this service.
Environment client_environment(const Service& service);

// Starts it in a new folder under `work_dir`; true once its socket answers.
bool start_service(const std::string& bin_dir, const std::string& work_dir,
                   Service& service);
// SIGTERM; the time until the process has exited, -1 when it did not within
// 10 s.
double stop_service(Service& service, int& exit_code);

// How often each of the log's session texts occurs.
std::map<std::string, int> count_log_lines(const Service& service);
int count_of(const std::map<std::string, int>& counts, const char* key);

// A piped client started with `arguments` that printed its "ready" line.
bool start_client(test::ChildProcess& child, const std::string& client,
                  const std::vector<std::string>& arguments,
                  const Service& service, std::string& ready_line,
                  unsigned timeout_ms);

double ms(std::int64_t ns);

}  // namespace vorn::bench
