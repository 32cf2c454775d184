// What the Windows code watch keeps for one client (code_watch.cpp), shared
// with the strict code policy's list of other code files (code_files.cpp).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

struct ClientCode::State {
  struct Region {
    std::uintptr_t base = 0;
    std::size_t size = 0;
    std::uintptr_t allocation = 0;
    std::size_t file = 0;  // index into `names`
    std::uint8_t digest[32] = {};
    // Every page equalled the file's at the watch, so a page that is still
    // the image section's shared page is still the file's.
    bool file_pages = false;
  };
  // A code file hashed and held open sharing reads only: nobody can write,
  // rename or delete it while it is held, so its digest stays true.
  struct HeldFile {
    DWORD volume = 0;
    std::uint64_t index = 0;
    win32::UniqueHandle file;
  };
  win32::UniqueHandle process;
  std::wstring names[2];  // the kernel's names of the image and the module
  std::vector<Region> regions;
  std::vector<HeldFile> held_files;  // the other code files, when strict
};

namespace win32 {

// A walk of a client's address space stops after this many regions.
constexpr std::size_t kMaxRegionsWalked = 1u << 20;

inline bool ended(HANDLE process) {
  return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// Committed, executable code of an image mapping.
inline bool is_code(const MEMORY_BASIC_INFORMATION& info) {
  constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return info.State == MEM_COMMIT && info.Type == MEM_IMAGE &&
         (info.Protect & kExecutable) != 0 && (info.Protect & PAGE_GUARD) == 0;
}

}  // namespace win32
}  // namespace vorn::os
