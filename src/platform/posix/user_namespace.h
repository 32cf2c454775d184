// How a server's uid reads inside a user namespace other than the initial
// one (a sandboxed game's), where root outside is usually no uid at all.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vorn::os::posix {

// True when `uid_map` (the text of /proc/<pid>/uid_map: "inside outside
// count" a line, each ending with a line feed) is well formed and none of
// its ranges holds `uid`.
bool uid_unmapped(const std::string& uid_map, std::uint32_t uid);

// True when `server` is the overflow uid and this process's user namespace
// maps no uid to it: the server's account is not one of this namespace's.
bool server_is_unmapped_here(uid_t server);

}  // namespace vorn::os::posix
