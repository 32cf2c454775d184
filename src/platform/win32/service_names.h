// The names by which the service and its clients find each other on
// Windows, for the listener, the client side and the inspection alike.
#pragma once

namespace vorn::os {

// The endpoint: the service's named pipe, unless a client is given
// VORN_GUARD_ENDPOINT.
constexpr char kPipeName[] = "\\\\.\\pipe\\VORNGuardLocalGuard";

// The guard module's file name, as its export directory names it (the
// inspection) and as the probe loads it: the same name in both forms.
constexpr wchar_t kGuardModuleName[] = L"vorn_guard.dll";
constexpr char kGuardModuleFile[] = "vorn_guard.dll";

}  // namespace vorn::os
