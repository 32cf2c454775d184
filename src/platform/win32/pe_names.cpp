#include "platform/win32/pe_names.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace vorn::os::win32 {

namespace {

// Bounds a real DLL never comes near.
constexpr std::uint32_t kMaxHeaderOffset = 64 * 1024;
constexpr WORD kMaxSections = 96;
constexpr std::size_t kMaxNameBytes = 256;

// The file offset of the byte at `rva`, and how many bytes of the section's
// file data follow it there.
bool file_offset_of(const IMAGE_SECTION_HEADER* sections, std::size_t count,
                    std::uint32_t rva, std::uint64_t& offset,
                    std::uint64_t& available) {
  for (std::size_t i = 0; i < count; ++i) {
    const IMAGE_SECTION_HEADER& section = sections[i];
    if (rva < section.VirtualAddress ||
        rva - section.VirtualAddress >= section.SizeOfRawData) {
      continue;
    }
    const std::uint32_t into = rva - section.VirtualAddress;
    offset = std::uint64_t{section.PointerToRawData} + into;
    available = section.SizeOfRawData - into;
    return true;
  }
  return false;
}

// What the headers say: where the section table is, how many sections it
// has, and one data directory.
struct PeDirectory {
  std::uint64_t sections_at = 0;
  std::size_t section_count = 0;
  IMAGE_DATA_DIRECTORY entry{};
};

// Reads the headers of the PE file `read` reads, 32- or 64-bit, and its data
// directory `index`; false when it is no PE file or has no such entry.
bool read_pe_directory(const ReadAt& read, unsigned index, PeDirectory& found) {
  IMAGE_DOS_HEADER dos{};
  if (!read_whole(read, 0, &dos, sizeof dos) ||
      dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      static_cast<std::uint32_t>(dos.e_lfanew) > kMaxHeaderOffset) {
    return false;
  }
  const std::uint64_t nt = static_cast<std::uint32_t>(dos.e_lfanew);
  struct {
    DWORD signature;
    IMAGE_FILE_HEADER file;
  } headers{};
  if (!read_whole(read, nt, &headers, sizeof headers) ||
      headers.signature != IMAGE_NT_SIGNATURE ||
      headers.file.NumberOfSections == 0 ||
      headers.file.NumberOfSections > kMaxSections) {
    return false;
  }
  // The optional header, read into the larger of its two forms; only as
  // much of it as it says it has counts.
  const std::uint64_t optional_at = nt + sizeof headers;
  IMAGE_OPTIONAL_HEADER64 optional{};
  const std::size_t optional_size =
      std::min<std::size_t>(headers.file.SizeOfOptionalHeader, sizeof optional);
  if (read(optional_at, &optional, optional_size) != optional_size) {
    return false;
  }
  const auto take = [&](const auto& header) {
    using Header = std::decay_t<decltype(header)>;
    const std::size_t entry_end = offsetof(Header, DataDirectory) +
                                  (index + 1) * sizeof(IMAGE_DATA_DIRECTORY);
    if (index >= IMAGE_NUMBEROF_DIRECTORY_ENTRIES ||
        optional_size < entry_end || header.NumberOfRvaAndSizes <= index) {
      return false;
    }
    found.entry = header.DataDirectory[index];
    return true;
  };
  if (optional.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    if (!take(optional)) return false;
  } else if (optional.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    IMAGE_OPTIONAL_HEADER32 narrow{};
    std::memcpy(&narrow, &optional, std::min(optional_size, sizeof narrow));
    if (!take(narrow)) return false;
  } else {
    return false;
  }
  found.sections_at = optional_at + headers.file.SizeOfOptionalHeader;
  found.section_count = headers.file.NumberOfSections;
  return true;
}

}  // namespace

std::string pe_export_name(const ReadAt& read) {
  PeDirectory headers;
  if (!read_pe_directory(read, IMAGE_DIRECTORY_ENTRY_EXPORT, headers)) {
    return "";
  }
  const IMAGE_DATA_DIRECTORY exports = headers.entry;
  if (exports.VirtualAddress == 0 ||
      exports.Size < sizeof(IMAGE_EXPORT_DIRECTORY)) {
    return "";
  }

  std::array<IMAGE_SECTION_HEADER, kMaxSections> sections{};
  const std::size_t count = headers.section_count;
  if (!read_whole(read, headers.sections_at, sections.data(),
                  count * sizeof(IMAGE_SECTION_HEADER))) {
    return "";
  }
  std::uint64_t offset = 0, available = 0;
  IMAGE_EXPORT_DIRECTORY directory{};
  if (!file_offset_of(sections.data(), count, exports.VirtualAddress, offset,
                      available) ||
      available < sizeof directory ||
      !read_whole(read, offset, &directory, sizeof directory) ||
      !file_offset_of(sections.data(), count, directory.Name, offset,
                      available)) {
    return "";
  }
  char text[kMaxNameBytes];
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(available, kMaxNameBytes));
  const std::size_t length = std::min(read(offset, text, want), want);
  const void* end = std::memchr(text, '\0', length);
  if (end == nullptr) return "";
  return std::string(static_cast<const char*>(text),
                     static_cast<const char*>(end));
}

bool has_certificate_table(const ReadAt& read) {
  PeDirectory headers;
  return read_pe_directory(read, IMAGE_DIRECTORY_ENTRY_SECURITY, headers) &&
         headers.entry.VirtualAddress != 0 && headers.entry.Size != 0;
}

ReadAt read_at_of(HANDLE file) {
  return [file](std::uint64_t offset, void* into, std::size_t size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD count = 0;
    if (!ReadFile(file, into, static_cast<DWORD>(size), &count, &at)) {
      return std::size_t{0};
    }
    return static_cast<std::size_t>(count);
  };
}

std::string pe_export_name_of(HANDLE file) {
  // A read at an offset still moves a synchronous handle's file pointer,
  // which the hash that follows reads from.
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT)) {
    return "";
  }
  std::string name = pe_export_name(read_at_of(file));
  if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return "";
  return name;
}

}  // namespace vorn::os::win32
