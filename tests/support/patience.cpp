#include "support/patience.h"

#include <algorithm>
#include <thread>

namespace vorn::test {

namespace {

// What a sanitizer costs the service's own work, roughly, as measured here.
#if defined(__SANITIZE_THREAD__)
constexpr double kSanitizerCost = 4.0;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kSanitizerCost = 2.0;
#else
constexpr double kSanitizerCost = 1.0;
#endif

// Beyond this the machine is not loaded but broken; a test should fail.
constexpr double kMostLoad = 8.0;
constexpr unsigned kLongestWaitMs = 10 * 60 * 1000;

}  // namespace

double slowness() {
  const double cores = std::max(1u, std::thread::hardware_concurrency());
  const double load = load_average() / cores;
  return kSanitizerCost * std::clamp(load, 1.0, kMostLoad);
}

unsigned patient_ms(unsigned idle_ms) {
  const double stretched = idle_ms * slowness();
  return stretched >= kLongestWaitMs ? kLongestWaitMs
                                     : static_cast<unsigned>(stretched);
}

}  // namespace vorn::test
