// The names by which the service and its clients find each other on POSIX,
// for the listener, the client side and the inspection alike.
#pragma once

namespace vorn::os::posix {

// The endpoint: the socket kEndpointFile in kEndpointDirectory, unless the
// service is given RUNTIME_DIRECTORY or a client VORN_GUARD_ENDPOINT.
constexpr char kEndpointDirectory[] = "/run/VORN";
constexpr char kEndpointFile[] = "VORNGuardLocalGuard";

// The guard module's SONAME: the name the service knows it by in a client,
// and the file the probe loads.
constexpr char kGuardSoname[] = "libvorn_guard.so.1";

}  // namespace vorn::os::posix
