// The name a DLL gives itself: the Name of its PE export directory, read
// from its file. The file is the client's: every offset and size in it is
// checked, and the reads are few, small and fixed whatever it claims.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn::os::win32 {

// Reads up to `size` bytes at `offset` into `into` and returns how many it
// read: fewer at the end of the file, 0 past it or on an error.
using ReadAt = std::function<std::size_t(std::uint64_t offset, void* into,
                                         std::size_t size)>;

// The export directory's Name of the PE file `read` reads (as laid out in
// the file, not as loaded), or "" when it has none or is no PE file. At most
// six reads, none over 4 KiB.
std::string pe_export_name(const ReadAt& read);

// pe_export_name of an open file; its file pointer is left where it was.
std::string pe_export_name_of(HANDLE file);

}  // namespace vorn::os::win32
