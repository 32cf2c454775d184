#include <windows.h>

#include "platform/runtime.h"

namespace vorn::os {

namespace {

constexpr ULONGLONG kInterruptTimeUnitsPerMs = 10000;  // 100 ns units

}  // namespace

// The unbiased interrupt time leaves out the time spent asleep or
// hibernating, unlike GetTickCount64: after a laptop resumes, a client has
// not been silent for the hours the lid was shut. (Wine cannot suspend, so
// the tests cannot show the difference.)
std::uint64_t tick_ms() {
  ULONGLONG interrupt_time = 0;
  // Fails only for a null pointer.
  QueryUnbiasedInterruptTime(&interrupt_time);
  return interrupt_time / kInterruptTimeUnitsPerMs;
}

void sleep_ms(std::uint32_t ms) { Sleep(ms); }

}  // namespace vorn::os
