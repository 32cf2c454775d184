// What a PE file's headers say, read from its file: the name a DLL gives
// itself (the Name of its PE export directory) and whether it carries a
// certificate table. The file is the client's: every offset and size in it is
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

// True when the PE file `read` reads has a certificate table (the data
// directory an Authenticode signature sits in) that is not empty. Three
// small reads: a file without it is never handed to the signature check.
bool has_certificate_table(const ReadAt& read);

// Reads an open file at offsets; each read still moves a synchronous
// handle's file pointer.
ReadAt read_at_of(HANDLE file);

// pe_export_name of an open file; its file pointer is left where it was.
std::string pe_export_name_of(HANDLE file);

}  // namespace vorn::os::win32
