#include "probe/guard_loader.h"

#include <cstdio>
#include <string>

#include "platform/client.h"
#include "platform/system.h"

namespace vorn::probe {
namespace {

template <typename Function>
os::Error resolve(const os::LoadedModule& module, const char* name,
                  Function& function) {
  const os::ModuleFunction symbol = os::module_function(module, name);
  if (symbol == nullptr) {
    return os::Error(os::Errc::not_found,
                     std::string("the guard module has no ") + name);
  }
  function = reinterpret_cast<Function>(symbol);
  return os::Error();
}

}  // namespace

os::Error load_guard_library(const std::string& path, GuardLibrary& library) {
  library.path = path;
  return os::load_module(path, library.module);
}

void unload_guard_library(GuardLibrary& library) { library.module.close(); }

os::Error resolve_guard_api(const GuardLibrary& library, GuardApi& api) {
  const os::LoadedModule& module = library.module;
  const os::Error errors[] = {
      resolve(module, "vorn_guard_start_ex", api.start_ex),
      resolve(module, "vorn_guard_start_with", api.start_with),
      resolve(module, "vorn_guard_stop", api.stop),
      resolve(module, "vorn_guard_is_connected", api.is_connected),
      resolve(module, "vorn_guard_last_error", api.last_error),
      resolve(module, "vorn_guard_get_stats", api.get_stats)};
  for (const os::Error& error : errors) {
    if (error) return error;
  }
  return os::Error();
}

std::string directory_of(const std::string& path) {
  const std::size_t last = path.find_last_of("/\\");
  return last == std::string::npos ? std::string() : path.substr(0, last);
}

bool guard_module_beside_executable(std::string& path) {
  std::string executable;
  if (!os::current_executable_path(executable)) return false;
  const std::string directory = directory_of(executable);
  if (directory.empty()) return false;
  path = directory + os::path_separator() + guard_module_file_name();
  return true;
}

os::Error load_guard_module(GuardLibrary& library) {
  std::string beside;
  os::Error beside_error(os::Errc::not_found,
                         "the probe's own path is unknown");
  if (guard_module_beside_executable(beside)) {
    beside_error = load_guard_library(beside, library);
    if (!beside_error) return beside_error;
  }
  // Not beside the probe: whatever the system's search path finds.
  const os::Error error = load_guard_library(guard_module_file_name(), library);
  if (!error) return error;
  return os::Error(error.code(), beside_error.words() + "; " + error.words(),
                   error.native());
}

bool guard_library_file(const GuardLibrary& library, std::string& path) {
  return os::loaded_module_file(library.module, "vorn_guard_start_ex", path);
}

os::Error find_guard_module(std::string& path) {
  std::string beside;
  if (guard_module_beside_executable(beside)) {
    std::FILE* file = std::fopen(beside.c_str(), "rb");
    if (file != nullptr) {
      std::fclose(file);
      path = beside;
      return os::Error();
    }
  }
  GuardLibrary library;
  if (os::Error error = load_guard_library(guard_module_file_name(), library)) {
    return os::Error(
        error.code(),
        "not beside the probe (" + beside + ") and " + error.words(),
        error.native());
  }
  const bool found = guard_library_file(library, path);
  unload_guard_library(library);
  if (!found) {
    return os::Error(os::Errc::not_found,
                     "cannot tell where the guard module was loaded from");
  }
  return os::Error();
}

}  // namespace vorn::probe
