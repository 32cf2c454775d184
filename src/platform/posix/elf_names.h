// The name an ELF shared object gives itself (its SONAME), read from its
// dynamic section. The file is the client's: every offset and size in it is
// checked, and the reads are few, small and fixed whatever it claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn::os::posix {

// Reads up to `size` bytes at `offset` into `into` and returns how many it
// read: fewer at the end of the file, 0 past it or on an error.
using ReadAt = std::function<std::size_t(std::uint64_t offset, void* into,
                                         std::size_t size)>;

// The SONAME of the ELF file `read` reads (this machine's byte order), or ""
// when it names none or is no ELF file. At most five reads, none over 4 KiB.
std::string elf_soname(const ReadAt& read);

// elf_soname of an open file, read with pread.
std::string elf_soname_of(int fd);

}  // namespace vorn::os::posix
