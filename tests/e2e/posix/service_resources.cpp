// POSIX: the service is the harness's own child; /proc tells its descriptors
// (/proc/<pid>/fd) and its resident memory (VmRSS in /proc/<pid>/status).
#include "e2e/service_resources.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace vorn::test {

namespace {

bool count_descriptors(unsigned pid, std::uint64_t& count) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return false;
  count = 0;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(directory);
  return true;
}

// "VmRSS:	    1234 kB"
bool resident_memory(unsigned pid, std::uint64_t& bytes) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string key = "VmRSS:";
  while (std::getline(status, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const unsigned long long kib =
        std::strtoull(line.c_str() + key.size(), nullptr, 10);
    bytes = kib * 1024ull;
    return kib > 0;
  }
  return false;
}

}  // namespace

unsigned service_pid(const ServiceRun& run) {
  return run.started && run.process.running ? run.process.pid : 0;
}

bool service_is_running(ServiceRun& run) {
  if (!run.started) return false;
  int exit_code = 0;
  return !wait_child(run.process, 0, exit_code);
}

ServiceResources read_service_resources(const ServiceRun& run) {
  ServiceResources resources;
  const unsigned pid = service_pid(run);
  if (pid == 0) {
    resources.source = "service not running";
    return resources;
  }
  resources.handles_known = count_descriptors(pid, resources.handles);
  resources.memory_known = resident_memory(pid, resources.resident_bytes);
  resources.source = "/proc/" + std::to_string(pid);
  return resources;
}

}  // namespace vorn::test
