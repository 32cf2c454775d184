#include "platform/module_loader.h"

#include <windows.h>

#include "platform/win32/service_names.h"

namespace vorn::os {

namespace {

HMODULE module_handle(std::intptr_t raw) {
  return reinterpret_cast<HMODULE>(raw);
}

}  // namespace

const char* guard_module_file_name() { return kGuardModuleFile; }

Error load_module(const std::string& path, LoadedModule& module) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    const Error failure = last_system_error();
    return Error(failure.code(),
                 "cannot load " + path + " (error " +
                     std::to_string(failure.native()) + ")",
                 failure.native());
  }
  module = LoadedModule(reinterpret_cast<std::intptr_t>(handle));
  return Error();
}

void LoadedModuleKind::close(std::intptr_t raw) {
  FreeLibrary(module_handle(raw));
}

ModuleFunction module_function(const LoadedModule& module, const char* name) {
  // FARPROC and the real signature differ; the plain void (*)() in between
  // is the sanctioned way to change function pointer types.
  return reinterpret_cast<ModuleFunction>(
      GetProcAddress(module_handle(module.raw()), name));
}

bool loaded_module_file(const LoadedModule& module,
                        const char* /*exported_name*/, std::string& path) {
  if (!module.open()) return false;
  char buffer[MAX_PATH * 4];
  const DWORD length =
      GetModuleFileNameA(module_handle(module.raw()), buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return false;
  path.assign(buffer, length);
  return true;
}

}  // namespace vorn::os
