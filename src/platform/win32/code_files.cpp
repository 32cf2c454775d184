// The strict code policy's list of the other files a client runs code from,
// on Windows.
//
// The files are found as the code watch finds the image and the module, in
// the kernel's view of the client's address space (VirtualQueryEx: image
// allocations holding executable code; GetMappedFileNameW: their files),
// never through the loader list, which the client can rewrite. Each is
// opened as the inspection opens a file: local disks only, anonymously,
// stopping at reparse points. A system file is not hashed. Any other file is
// hashed, and held open sharing reads only where it can be, so that nobody
// can change it for the rest of the session and later lists keep its digest
// without reading it again. Times are no version on Windows (they can be
// set), so a file that cannot be held is hashed at every list.
//
// The file checked is the one found under the kernel's name now: a DLL
// renamed away after it was mapped, with another file put at its name, is
// judged by that file. Wine keeps the old name of a renamed mapped file, so
// whether Windows reports the new one is not shown here.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/system.h"
#include "platform/win32/code_watch_state.h"
#include "platform/win32/file_hash.h"
#include "platform/win32/file_security.h"
#include "platform/win32/mapped_files.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

using HeldFile = ClientCode::State::HeldFile;

std::uint64_t file_index(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
         info.nFileIndexLow;
}

bool watched(const ClientCode::State& state, std::uintptr_t allocation) {
  return std::any_of(state.regions.begin(), state.regions.end(),
                     [&](const ClientCode::State::Region& region) {
                       return region.allocation == allocation;
                     });
}

// Still an image allocation starting at `allocation`: one that went away
// between two questions runs nothing any more.
bool still_image(HANDLE process, void* allocation) {
  MEMORY_BASIC_INFORMATION info{};
  return VirtualQueryEx(process, allocation, &info, sizeof info) ==
             sizeof info &&
         info.Type == MEM_IMAGE && info.AllocationBase == allocation;
}

// The kernel's names of the files behind every image allocation with
// executable code other than the watched image and module, each once.
bool find_code_files(const ClientCode::State& state,
                     std::vector<std::wstring>& names, Error& why) {
  const HANDLE process = state.process.get();
  std::uintptr_t address = 0;
  void* last = nullptr;
  for (std::size_t walked = 0;; ++walked) {
    if (walked == win32::kMaxRegionsWalked) {
      why = Error(Errc::too_large,
                  "the client's address space has too many regions to list");
      return false;
    }
    MEMORY_BASIC_INFORMATION info{};
    // Fails past the highest address, and for a process that has ended
    // (which the caller asks after).
    if (VirtualQueryEx(process, reinterpret_cast<void*>(address), &info,
                       sizeof info) != sizeof info) {
      return true;
    }
    if (win32::is_code(info) && info.AllocationBase != last) {
      last = info.AllocationBase;
      std::wstring name;
      if (watched(state, reinterpret_cast<std::uintptr_t>(last))) {
        // The verified image or module.
      } else if (!win32::mapped_image_name(process, last, name)) {
        if (still_image(process, last)) {
          why = Error(Errc::untrusted,
                      "the file of an image mapping cannot be named");
          return false;
        }
      } else if (std::find(names.begin(), names.end(), name) == names.end()) {
        if (names.size() == kMaxCodeFiles) {
          why = Error(Errc::too_large, "the client runs code from more than " +
                                           std::to_string(kMaxCodeFiles) +
                                           " files");
          return false;
        }
        names.push_back(std::move(name));
      }
    }
    const std::uintptr_t next =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (next <= address) return true;
    address = next;
  }
}

// Examines the file a kernel name leads to: a system file, or its digest.
// A file held since the last list (`state.held_files`) keeps the digest it
// had there; a file hashed now is held from now on where it can be. What is
// held after this list goes to `held`.
bool examine_code_file(const std::wstring& name, ClientCode::State& state,
                       const std::vector<CodeFile>& known,
                       const win32::TrustedAccounts& accounts,
                       std::vector<HeldFile>& held, CodeFile& result,
                       Error& why) {
  std::wstring path;
  win32::LocalFile file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!win32::openable_path(name, path) ||
      !win32::open_local_file(path, false, file, info)) {
    why = Error(Errc::other, "the code file " + win32::narrow_path(name) +
                                 " cannot be opened");
    return false;
  }
  result.path = win32::narrow_path(win32::dos_path_of(file.reader(), name));
  const std::uint64_t index = file_index(info);
  result.identity.device = info.dwVolumeSerialNumber;
  result.identity.inode = index;
  // Wine reports every file as owned by its own user, so under Wine no file
  // is a system file and every one is hashed.
  result.system_file = win32::protection_of(file.reader(), accounts) ==
                       win32::Protection::trusted;
  if (result.system_file) return true;
  // Wine reports no file index (0): there nothing is held.
  if (index != 0) {
    const auto was =
        std::find_if(state.held_files.begin(), state.held_files.end(),
                     [&](const HeldFile& held_file) {
                       return held_file.file.valid() &&
                              held_file.volume == info.dwVolumeSerialNumber &&
                              held_file.index == index;
                     });
    const auto seen =
        std::find_if(known.begin(), known.end(), [&](const CodeFile& entry) {
          return !entry.system_file &&
                 entry.identity.device == info.dwVolumeSerialNumber &&
                 entry.identity.inode == index;
        });
    if (was != state.held_files.end() && seen != known.end()) {
      result.identity.size = seen->identity.size;
      std::memcpy(result.digest, seen->digest, sizeof result.digest);
      held.push_back(std::move(*was));
      return true;
    }
    win32::LocalFile pin;
    BY_HANDLE_FILE_INFORMATION again{};
    if (win32::open_local_file(path, true, pin, again) && pin.hold.valid() &&
        again.dwVolumeSerialNumber == info.dwVolumeSerialNumber &&
        file_index(again) == index) {
      file = std::move(pin);
      info = again;
    }
  }
  result.identity.size =
      (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
      info.nFileSizeLow;
  if (result.identity.size > kMaxImageBytes) {
    why = Error(Errc::too_large,
                "the code file " + result.path + " is too large to hash");
    return false;
  }
  if (win32::hash_open_file(file.reader(), nullptr, nullptr, result.digest) !=
      ExamineOutcome::examined) {
    why =
        Error(Errc::other, "the code file " + result.path + " cannot be read");
    return false;
  }
  if (file.hold.valid()) {
    HeldFile kept;
    kept.volume = info.dwVolumeSerialNumber;
    kept.index = index;
    kept.file = std::move(file.hold);
    held.push_back(std::move(kept));
  }
  return true;
}

}  // namespace

CodeLook list_code_files(ClientCode& code, const std::vector<CodeFile>& known,
                         std::vector<CodeFile>& files, Error& why) {
  files.clear();
  ClientCode::State* state = code.state();
  if (state == nullptr) return CodeLook::intact;
  const HANDLE process = state->process.get();
  if (win32::ended(process)) return CodeLook::gone;
  std::vector<std::wstring> names;
  if (!find_code_files(*state, names, why)) {
    return win32::ended(process) ? CodeLook::gone : CodeLook::changed;
  }
  const win32::TrustedAccounts accounts(
      win32::TrustedAccounts::Kind::system_files);
  std::vector<HeldFile> held;
  for (const std::wstring& name : names) {
    CodeFile file;
    if (!examine_code_file(name, *state, known, accounts, held, file, why)) {
      files.clear();
      return win32::ended(process) ? CodeLook::gone : CodeLook::changed;
    }
    files.push_back(std::move(file));
  }
  // A walk of an ended process finds nothing, which says nothing.
  if (win32::ended(process)) {
    files.clear();
    return CodeLook::gone;
  }
  // Files no longer mapped are let go.
  state->held_files = std::move(held);
  return CodeLook::intact;
}

}  // namespace vorn::os
