// The name an ELF shared object gives itself (its SONAME), read from its
// dynamic section. The file is the client's: every offset and size in it is
// checked, and the reads are few, small and fixed whatever it claims.
#pragma once

#include <string>

#include "platform/read_at.h"

namespace vorn::os::posix {

// The SONAME of the ELF file `read` reads (this machine's byte order), or ""
// when it names none or is no ELF file. At most five reads, none over 4 KiB.
std::string elf_soname(const ReadAt& read);

// elf_soname of an open file, read with pread.
std::string elf_soname_of(int fd);

}  // namespace vorn::os::posix
