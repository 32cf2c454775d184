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
os::Error resolve(void* handle, const char* name, Function& function) {
  const RawSymbol symbol = find_symbol(handle, name);
  if (symbol == nullptr) {
    return os::Error(os::Errc::not_found,
                     std::string("the guard module has no ") + name);
  }
  function = reinterpret_cast<Function>(symbol);
  return os::Error();
}

}  // namespace

const char* guard_module_file_name() {
#ifdef _WIN32
  return "vorn_guard.dll";
#else
  return "libvorn_guard.so.1";
#endif
}

os::Error load_guard_library(const std::string& path, GuardLibrary& library) {
  library.path = path;
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    const os::Error failure = os::last_system_error();
    return os::Error(failure.code(),
                     "cannot load " + path + " (error " +
                         std::to_string(failure.native()) + ")",
                     failure.native());
  }
  library.handle = module;
#else
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return os::Error(os::Errc::not_found, "cannot load " + path + ": " +
                                              (why != nullptr ? why : "?"));
  }
  library.handle = handle;
#endif
  return os::Error();
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

os::Error resolve_guard_api(const GuardLibrary& library, GuardApi& api) {
  void* const handle = library.handle;
  const os::Error errors[] = {
      resolve(handle, "vorn_guard_start_ex", api.start_ex),
      resolve(handle, "vorn_guard_start_with", api.start_with),
      resolve(handle, "vorn_guard_stop", api.stop),
      resolve(handle, "vorn_guard_is_connected", api.is_connected),
      resolve(handle, "vorn_guard_last_error", api.last_error),
      resolve(handle, "vorn_guard_get_stats", api.get_stats)};
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
