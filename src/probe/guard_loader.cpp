// The one file of the probe that speaks to the OS directly: loading a
// library at run time is needed by no other part of the system, so it has no
// place in the platform layer.
#include "probe/guard_loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <string>

#include "platform/client.h"
#include "platform/system.h"

namespace vorn::probe {
namespace {

#ifdef _WIN32
using RawSymbol = void (*)();

RawSymbol find_symbol(void* handle, const char* name) {
  // FARPROC and the real signature differ; the plain void (*)() in between
  // is the sanctioned way to change function pointer types.
  return reinterpret_cast<RawSymbol>(
      GetProcAddress(static_cast<HMODULE>(handle), name));
}
#else
using RawSymbol = void*;

RawSymbol find_symbol(void* handle, const char* name) {
  return dlsym(handle, name);
}
#endif

template <typename Function>
bool resolve(void* handle, const char* name, Function& function,
             std::string& error) {
  const RawSymbol symbol = find_symbol(handle, name);
  if (symbol == nullptr) {
    error = std::string("the guard module has no ") + name;
    return false;
  }
  function = reinterpret_cast<Function>(symbol);
  return true;
}

}  // namespace

const char* guard_module_file_name() {
#ifdef _WIN32
  return "vorn_guard.dll";
#else
  return "libvorn_guard.so.1";
#endif
}

bool load_guard_library(const std::string& path, GuardLibrary& library,
                        std::string& error) {
  library.path = path;
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    error = "cannot load " + path + " (error " +
            std::to_string(GetLastError()) + ")";
    return false;
  }
  library.handle = module;
#else
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = "cannot load " + path + ": " + (why != nullptr ? why : "?");
    return false;
  }
  library.handle = handle;
#endif
  return true;
}

void unload_guard_library(GuardLibrary& library) {
  if (library.handle == nullptr) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(library.handle));
#else
  dlclose(library.handle);
#endif
  library.handle = nullptr;
}

bool resolve_guard_api(const GuardLibrary& library, GuardApi& api,
                       std::string& error) {
  return resolve(library.handle, "vorn_guard_start_ex", api.start_ex, error) &&
         resolve(library.handle, "vorn_guard_start_with", api.start_with,
                 error) &&
         resolve(library.handle, "vorn_guard_stop", api.stop, error) &&
         resolve(library.handle, "vorn_guard_is_connected", api.is_connected,
                 error) &&
         resolve(library.handle, "vorn_guard_last_error", api.last_error,
                 error) &&
         resolve(library.handle, "vorn_guard_get_stats", api.get_stats, error);
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
  if (library.handle == nullptr) return false;
#ifdef _WIN32
  char buffer[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(library.handle),
                                          buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return false;
  path.assign(buffer, length);
  return true;
#else
  const void* symbol = dlsym(library.handle, "vorn_guard_start_ex");
  return symbol != nullptr && os::module_path_of(symbol, path);
#endif
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
