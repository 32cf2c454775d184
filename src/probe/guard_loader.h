// Loading the guard module at run time, so the probe runs (and `raw` works)
// without it, and a test can load a copy from any directory.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/module_loader.h"
#include "vorn_guard.h"

namespace vorn::probe {

// The module's usual file name, which the probe loads (the service knows the
// module by its contents).
using os::guard_module_file_name;

// A loaded guard module, let go when unloaded or when it goes.
struct GuardLibrary {
  os::LoadedModule module;
  std::string path;  // what was asked for
};

// Loads the module at `path`; an error with readable words when it cannot.
os::Error load_guard_library(const std::string& path, GuardLibrary& library);
// Lets it go; nothing when not loaded.
void unload_guard_library(GuardLibrary& library);

// The module's functions, looked up by name.
struct GuardApi {
  int (*start_ex)(const char*, unsigned, unsigned) = nullptr;
  int (*start_with)(const vorn_guard_options*, unsigned) = nullptr;
  void (*stop)() = nullptr;
  int (*is_connected)() = nullptr;
  const char* (*last_error)() = nullptr;
  int (*get_stats)(vorn_guard_stats*) = nullptr;
};
os::Error resolve_guard_api(const GuardLibrary& library, GuardApi& api);

// The directory part of a path (without its last separator); empty for a
// bare file name.
std::string directory_of(const std::string& path);

// The guard module file beside the running executable.
bool guard_module_beside_executable(std::string& path);

// Loads the module from beside the executable, else by bare name through the
// system's search path.
os::Error load_guard_module(GuardLibrary& library);

// The full path of the file a loaded module was mapped from.
bool guard_library_file(const GuardLibrary& library, std::string& path);

// The guard module file that load_guard_module would use: the one beside the
// executable when it is there, else the one the system's loader finds (which
// is loaded and unloaded again to learn its path).
os::Error find_guard_module(std::string& path);

}  // namespace vorn::probe
