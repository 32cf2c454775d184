#include "probe/guard_loader.h"

#include <cstdio>
#include <string>

#include "platform/client.h"
#include "platform/system.h"

namespace vorn::probe {
namespace {

template <typename Function>
bool resolve(const os::LoadedModule& module, const char* name,
             Function& function, std::string& error) {
  const os::ModuleFunction symbol = os::module_function(module, name);
  if (symbol == nullptr) {
    error = std::string("the guard module has no ") + name;
    return false;
  }
  function = reinterpret_cast<Function>(symbol);
  return true;
}

}  // namespace

bool load_guard_library(const std::string& path, GuardLibrary& library,
                        std::string& error) {
  library.path = path;
  return os::load_module(path, library.module, error);
}

void unload_guard_library(GuardLibrary& library) { library.module.close(); }

bool resolve_guard_api(const GuardLibrary& library, GuardApi& api,
                       std::string& error) {
  const os::LoadedModule& module = library.module;
  return resolve(module, "vorn_guard_start_ex", api.start_ex, error) &&
         resolve(module, "vorn_guard_start_with", api.start_with, error) &&
         resolve(module, "vorn_guard_stop", api.stop, error) &&
         resolve(module, "vorn_guard_is_connected", api.is_connected, error) &&
         resolve(module, "vorn_guard_last_error", api.last_error, error) &&
         resolve(module, "vorn_guard_get_stats", api.get_stats, error);
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

bool load_guard_module(GuardLibrary& library, std::string& error) {
  std::string beside;
  std::string beside_error = "the probe's own path is unknown";
  if (guard_module_beside_executable(beside) &&
      load_guard_library(beside, library, beside_error)) {
    return true;
  }
  // Not beside the probe: whatever the system's search path finds.
  if (load_guard_library(guard_module_file_name(), library, error)) {
    return true;
  }
  error = beside_error + "; " + error;
  return false;
}

bool guard_library_file(const GuardLibrary& library, std::string& path) {
  return os::loaded_module_file(library.module, "vorn_guard_start_ex", path);
}

bool find_guard_module(std::string& path, std::string& error) {
  std::string beside;
  if (guard_module_beside_executable(beside)) {
    std::FILE* file = std::fopen(beside.c_str(), "rb");
    if (file != nullptr) {
      std::fclose(file);
      path = beside;
      return true;
    }
  }
  GuardLibrary library;
  if (!load_guard_library(guard_module_file_name(), library, error)) {
    error = "not beside the probe (" + beside + ") and " + error;
    return false;
  }
  const bool found = guard_library_file(library, path);
  unload_guard_library(library);
  if (!found) error = "cannot tell where the guard module was loaded from";
  return found;
}

}  // namespace vorn::probe
