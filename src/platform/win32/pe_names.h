// The name a DLL gives itself: the Name of its PE export directory, read
// from its file. The file is the client's: every offset and size in it is
// checked, and the reads are few, small and fixed whatever it claims.
#pragma once

#include <windows.h>

#include <string>

#include "platform/read_at.h"

namespace vorn::os::win32 {

// The export directory's Name of the PE file `read` reads (as laid out in
// the file, not as loaded), or "" when it has none or is no PE file. At most
// six reads, none over 4 KiB.
std::string pe_export_name(const ReadAt& read);

// pe_export_name of an open file; its file pointer is left where it was.
std::string pe_export_name_of(HANDLE file);

}  // namespace vorn::os::win32
