#include "platform/posix/elf_names.h"

#include <elf.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <limits>

#include "platform/posix/fd_util.h"

namespace vorn::os::posix {

namespace {

// A shared object has a handful of program headers and a few dozen dynamic
// entries; the SONAME is a short file name.
constexpr std::size_t kMaxProgramHeaders = 64;
constexpr std::size_t kMaxDynamicEntries = 256;
constexpr std::size_t kMaxNameBytes = 256;

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kOwnByteOrder = ELFDATA2LSB;
#else
constexpr unsigned char kOwnByteOrder = ELFDATA2MSB;
#endif

// The file offset of the `size` bytes at virtual address `address`, from the
// PT_LOAD segment whose file bytes hold them all.
template <typename Phdr>
bool file_offset_of(const Phdr* headers, std::size_t count,
                    std::uint64_t address, std::uint64_t& offset,
                    std::uint64_t& available) {
  for (std::size_t i = 0; i < count; ++i) {
    const Phdr& segment = headers[i];
    if (segment.p_type != PT_LOAD || address < segment.p_vaddr ||
        address - segment.p_vaddr >= segment.p_filesz) {
      continue;
    }
    const std::uint64_t into = address - segment.p_vaddr;
    if (segment.p_offset > std::numeric_limits<std::uint64_t>::max() - into) {
      return false;
    }
    offset = segment.p_offset + into;
    available = segment.p_filesz - into;
    return true;
  }
  return false;
}

template <typename Ehdr, typename Phdr, typename Dyn>
std::string soname_of(const ReadAt& read) {
  Ehdr header{};
  if (!read_whole(read, 0, &header, sizeof header) ||
      header.e_phentsize != sizeof(Phdr) || header.e_phnum == 0 ||
      header.e_phnum > kMaxProgramHeaders) {
    return "";
  }
  std::array<Phdr, kMaxProgramHeaders> headers{};
  const std::size_t count = header.e_phnum;
  if (!read_whole(read, header.e_phoff, headers.data(), count * sizeof(Phdr))) {
    return "";
  }
  const Phdr* dynamic = nullptr;
  for (std::size_t i = 0; i < count && dynamic == nullptr; ++i) {
    if (headers[i].p_type == PT_DYNAMIC) dynamic = &headers[i];
  }
  if (dynamic == nullptr) return "";

  std::array<Dyn, kMaxDynamicEntries> entries{};
  const std::size_t listed = static_cast<std::size_t>(std::min<std::uint64_t>(
      dynamic->p_filesz / sizeof(Dyn), kMaxDynamicEntries));
  const std::size_t got =
      read(dynamic->p_offset, entries.data(), listed * sizeof(Dyn)) /
      sizeof(Dyn);
  bool named = false, has_table = false, sized = false;
  std::uint64_t name = 0, table = 0, table_size = 0;
  for (std::size_t i = 0; i < got && entries[i].d_tag != DT_NULL; ++i) {
    const std::uint64_t value = entries[i].d_un.d_val;
    switch (entries[i].d_tag) {
      case DT_SONAME:
        named = true;
        name = value;
        break;
      case DT_STRTAB:
        has_table = true;
        table = value;
        break;
      case DT_STRSZ:
        sized = true;
        table_size = value;
        break;
      default:
        break;
    }
  }
  if (!named || !has_table) return "";

  // The string table is named by its address once loaded; its bytes are
  // where the segment holding that address takes them from the file.
  std::uint64_t offset = 0, available = 0;
  if (!file_offset_of(headers.data(), count, table, offset, available)) {
    return "";
  }
  if (sized) available = std::min(available, table_size);
  if (name >= available ||
      offset > std::numeric_limits<std::uint64_t>::max() - name) {
    return "";
  }
  char text[kMaxNameBytes];
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(available - name, kMaxNameBytes));
  const std::size_t length = read(offset + name, text, want);
  const void* end = std::memchr(text, '\0', std::min(length, want));
  if (end == nullptr) return "";
  return std::string(static_cast<const char*>(text),
                     static_cast<const char*>(end));
}

}  // namespace

std::string elf_soname(const ReadAt& read) {
  unsigned char ident[EI_NIDENT] = {};
  if (!read_whole(read, 0, ident, sizeof ident) ||
      std::memcmp(ident, ELFMAG, SELFMAG) != 0 ||
      ident[EI_DATA] != kOwnByteOrder) {
    return "";
  }
  switch (ident[EI_CLASS]) {
    case ELFCLASS64:
      return soname_of<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn>(read);
    case ELFCLASS32:
      return soname_of<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn>(read);
    default:
      return "";
  }
}

std::string elf_soname_of(int fd) {
  return elf_soname([fd](std::uint64_t offset, void* into, std::size_t size) {
    if (offset >
        static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      return std::size_t{0};
    }
    std::size_t done = 0;
    while (done < size) {
      const ssize_t count = retry_on_eintr([&] {
        return ::pread(fd, static_cast<char*>(into) + done, size - done,
                       static_cast<off_t>(offset + done));
      });
      if (count <= 0) break;
      done += static_cast<std::size_t>(count);
    }
    return done;
  });
}

}  // namespace vorn::os::posix
