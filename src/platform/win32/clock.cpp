#include <windows.h>

#include "platform/platform.h"

namespace vorn::os {

std::uint64_t tick_ms() { return GetTickCount64(); }

void sleep_ms(std::uint32_t ms) { Sleep(ms); }

}  // namespace vorn::os
