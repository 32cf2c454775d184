// What the running service process holds: its open descriptors or handles
// and its resident memory, read from outside the process, so the end-to-end
// tests can see that hostile clients and long runs leave nothing behind.
#pragma once

#include <cstdint>
#include <string>

#include "e2e/service_harness.h"

namespace vorn::test {

struct ServiceResources {
  bool handles_known = false;
  std::uint64_t handles = 0;  // POSIX: open descriptors; Windows: handles
  bool memory_known = false;
  std::uint64_t resident_bytes = 0;  // VmRSS / working set
  std::string source;  // how the figures were read, or why they were not
};

// The service's process id; 0 when it cannot be told (not running).
unsigned service_pid(const ServiceRun& run);

// True while the service process is alive (Windows: the service manager
// reports it running).
bool service_is_running(ServiceRun& run);

// One reading of the service's figures.
ServiceResources read_service_resources(const ServiceRun& run);

}  // namespace vorn::test
