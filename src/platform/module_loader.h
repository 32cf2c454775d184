// Loading a module (DLL / shared object) at run time and finding its
// functions and its file: the probe loads the guard module this way, so that
// it runs without it and a test can load a copy from any folder. Part of the
// client's side (vorn_os_client); implemented in platform/posix/ and
// platform/win32/ module_loader.cpp.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/owned.h"

namespace vorn::os {

// The guard module's usual file name, which the probe loads:
// "vorn_guard.dll" / "libvorn_guard.so.1", its SONAME, which a game linked
// with it needs and the runtime package has without the development link.
const char* guard_module_file_name();

struct LoadedModuleKind {
  // FreeLibrary / dlclose: one reference less. A module that pinned itself
  // (the guard module, once started) stays.
  static void close(std::intptr_t raw);
};
// One reference to a loaded module.
using LoadedModule = Owned<LoadedModuleKind>;

// LoadLibraryA / dlopen (RTLD_NOW | RTLD_LOCAL). Fails with "cannot load
// <path>" and the system's words.
Error load_module(const std::string& path, LoadedModule& module);

// A function the module exports, by name; null when it has none. Its real
// type is the caller's to know.
using ModuleFunction = void (*)();
ModuleFunction module_function(const LoadedModule& module, const char* name);

// The full path of the file a loaded module was mapped from: Windows asks
// for the module's file name; POSIX finds the file that holds
// `exported_name`, one of its functions.
bool loaded_module_file(const LoadedModule& module, const char* exported_name,
                        std::string& path);

}  // namespace vorn::os
