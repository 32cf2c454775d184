// What the inspection and the code watch share about a client's mappings:
// the kernel's names of mapped files and how such a name becomes a path that
// is safe to open. Defined in inspect.cpp.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace vorn::os::win32 {

// What both ask of a client process, opened by pid while it is held.
constexpr DWORD kInspectionRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

bool equals_ascii_case_insensitive(const std::wstring& text,
                                   const wchar_t* other);
std::wstring file_name_of(const std::wstring& path);

// The kernel's name of the file mapped as the image whose allocation starts
// at `base`; false when no image allocation starts there.
bool mapped_image_name(HANDLE process, void* base, std::wstring& name);

// A kernel name as a "\\?\" path on a local disk; false for anything else
// (shares, redirectors, pipes, other devices, remote drive letters).
bool openable_path(const std::wstring& kernel_name, std::wstring& path);

// Opens a file found through a kernel name: reading, sharing everything,
// anonymously (see inspect.cpp).
HANDLE open_for_hashing(const std::wstring& path, DWORD extra_flags);

// A client file opened to be read, and held when that was asked and could
// be done.
struct LocalFile {
  // Shares reads only: while it is open nobody can write, rename or delete
  // the file.
  UniqueHandle hold;
  // Reads the file where `hold` does not: the file was not held, or its data
  // lies behind a file system filter's reparse point.
  UniqueHandle data;
  // Why the file could not be held (the OS's error), or 0.
  DWORD hold_error = 0;
  HANDLE reader() const { return data.valid() ? data.get() : hold.get(); }
};

// Opens a file an openable path names and checks that it is a plain file on
// a local disk (a reparse point is not followed; a compressed or
// deduplicated file is read through its filter). With `hold`, it is held
// (`file.hold`) when it can be; else it is only opened to be read.
bool open_local_file(const std::wstring& path, bool hold, LocalFile& file,
                     BY_HANDLE_FILE_INFORMATION& info);

// The Win32 name of an open file, or `fallback` without a drive letter.
std::wstring dos_path_of(HANDLE file, const std::wstring& fallback);

// The path as the log shows it (ANSI code page).
std::string narrow_path(const std::wstring& path);

}  // namespace vorn::os::win32
