#include "platform/module_loader.h"

#include <dlfcn.h>

#include "platform/client.h"
#include "platform/posix/service_names.h"

namespace vorn::os {

namespace {

void* handle_of(const LoadedModule& module) {
  return reinterpret_cast<void*>(module.raw());
}

}  // namespace

const char* guard_module_file_name() { return posix::kGuardSoname; }

Error load_module(const std::string& path, LoadedModule& module) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // dlerror() names no errno: the file's absence is the usual cause.
    const char* why = ::dlerror();
    return Error(Errc::not_found,
                 "cannot load " + path + ": " + (why != nullptr ? why : "?"));
  }
  module = LoadedModule(reinterpret_cast<std::intptr_t>(handle));
  return Error();
}

void LoadedModuleKind::close(std::intptr_t raw) {
  ::dlclose(reinterpret_cast<void*>(raw));
}

ModuleFunction module_function(const LoadedModule& module, const char* name) {
  // dlsym's object pointer names a function here: POSIX makes that
  // conversion valid.
  return reinterpret_cast<ModuleFunction>(::dlsym(handle_of(module), name));
}

bool loaded_module_file(const LoadedModule& module, const char* exported_name,
                        std::string& path) {
  if (!module.open()) return false;
  const void* symbol = ::dlsym(handle_of(module), exported_name);
  return symbol != nullptr && module_path_of(symbol, path);
}

}  // namespace vorn::os
