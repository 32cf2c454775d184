// The code a verified client runs, watched for its session.
//
// At the OK the executable regions of the image and guard module mappings
// are found through the kernel's view of the client's address space
// (VirtualQueryEx, GetMappedFileNameW), never through its loader list, and
// compared with the verified files: each page as the loader makes it from the
// file (sections placed, base relocations applied). A digest of each region
// is kept. Later looks ask the kernel whether each region is still that
// file's image mapping and whether its pages are still the file's shared
// pages (QueryWorkingSetEx: a written image page becomes private), and read
// the region again where that cannot be told.
#include <windows.h>
// These need the definitions of windows.h.
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/system.h"
#include "platform/win32/code_watch_state.h"
#include "platform/win32/file_hash.h"
#include "platform/win32/mapped_files.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

ClientCode::ClientCode() = default;
ClientCode::ClientCode(ClientCode&&) noexcept = default;
ClientCode& ClientCode::operator=(ClientCode&&) noexcept = default;
ClientCode::~ClientCode() = default;
void ClientCode::reset(std::unique_ptr<State> state) {
  state_ = std::move(state);
}

namespace {

using Region = ClientCode::State::Region;
using win32::ended;
using win32::is_code;
using win32::kMaxRegionsWalked;

constexpr std::size_t kPage = 4096;
// Compared and hashed in pieces of this size, a whole number of pages: small,
// so that 32 handshakes at once keep the service's memory flat.
constexpr std::size_t kChunk = 16 * kPage;
// Bounds on what the client (its address space) and its files can make the
// service do.
constexpr std::size_t kMaxCodeRegions = 4096;
constexpr WORD kMaxSections = 96;
constexpr std::uint32_t kMaxHeaderBytes = 64 * 1024;
constexpr std::uint32_t kMaxRelocationBytes = 64u << 20;
// One entry of a working-set query per page, asked this many at a time.
constexpr std::size_t kWorkingSetBatch = 512;

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_text_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

std::string file_name_in(const std::string& path) {
  const std::size_t cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// ------------------------------------------------------------ the PE file

bool read_at(HANDLE file, std::uint64_t offset, void* out, std::size_t size) {
  char* bytes = static_cast<char*>(out);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD wanted =
        size > kChunk ? static_cast<DWORD>(kChunk) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!ReadFile(file, bytes, wanted, &read, &at) || read == 0) return false;
    bytes += read;
    offset += read;
    size -= read;
  }
  return true;
}

struct Section {
  std::uint32_t rva = 0;
  std::uint32_t mapped = 0;  // bytes the loader takes from the file
  std::uint32_t raw_offset = 0;
};

// What the loader makes of a verified file, read through an open handle.
// Every field is the client's, so everything is bounded by the file's size.
struct PeImage {
  HANDLE file = nullptr;
  std::uint64_t file_size = 0;
  bool wide = false;  // PE32+
  std::uint64_t image_base = 0;
  std::uint32_t header_bytes = 0;
  std::vector<Section> sections;
  // (rva << 4) | width in bytes, sorted.
  std::vector<std::uint64_t> relocations;
};

bool file_offset_of(const PeImage& pe, std::uint32_t rva, std::uint32_t size,
                    std::uint64_t& offset) {
  for (const Section& section : pe.sections) {
    if (rva >= section.rva && std::uint64_t{rva} + size <=
                                  std::uint64_t{section.rva} + section.mapped) {
      offset = std::uint64_t{section.raw_offset} + (rva - section.rva);
      return offset + size <= pe.file_size;
    }
  }
  return false;
}

Error read_relocations(PeImage& pe, std::uint32_t rva, std::uint32_t size) {
  if (size == 0) return Error();
  std::uint64_t offset = 0;
  if (size > kMaxRelocationBytes || !file_offset_of(pe, rva, size, offset)) {
    return Error(Errc::invalid, "its relocations lie outside the file");
  }
  std::vector<unsigned char> table(size);
  if (!read_at(pe.file, offset, table.data(), size)) {
    return Error(Errc::invalid, "its relocations cannot be read");
  }
  std::size_t at = 0;
  while (at + 8 <= table.size()) {
    std::uint32_t page = 0;
    std::uint32_t block = 0;
    std::memcpy(&page, &table[at], 4);
    std::memcpy(&block, &table[at + 4], 4);
    if (block < 8 || block > table.size() - at) break;
    for (std::size_t entry = at + 8; entry + 2 <= at + block; entry += 2) {
      const unsigned word = table[entry] | (table[entry + 1] << 8);
      const unsigned type = word >> 12;
      const std::uint64_t target = std::uint64_t{page} + (word & 0xFFF);
      if (type == IMAGE_REL_BASED_ABSOLUTE) continue;  // padding
      if (type == IMAGE_REL_BASED_DIR64) {
        pe.relocations.push_back(target << 4 | 8);
      } else if (type == IMAGE_REL_BASED_HIGHLOW) {
        pe.relocations.push_back(target << 4 | 4);
      } else {
        return Error(Errc::invalid,
                     "it has relocations of type " + std::to_string(type));
      }
    }
    at += block;
  }
  std::sort(pe.relocations.begin(), pe.relocations.end());
  return Error();
}

// Takes the fields wanted from an optional header of the form `Header`
// (PE32 or PE32+), of which `bytes` holds the first `size`. False when the
// header ends before its data directories.
template <typename Header>
bool take_optional_header(const void* bytes, std::size_t size, PeImage& pe,
                          IMAGE_DATA_DIRECTORY& relocation) {
  constexpr std::size_t kDirectories = offsetof(Header, DataDirectory);
  if (size < kDirectories) return false;
  Header header{};
  std::memcpy(&header, bytes, std::min(size, sizeof header));
  pe.wide = sizeof(Header) == sizeof(IMAGE_OPTIONAL_HEADER64);
  pe.image_base = header.ImageBase;
  pe.header_bytes = header.SizeOfHeaders;
  if (header.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_BASERELOC &&
      size >= kDirectories + (IMAGE_DIRECTORY_ENTRY_BASERELOC + 1) *
                                 sizeof(IMAGE_DATA_DIRECTORY)) {
    relocation = header.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  }
  return true;
}

// Fails, saying why, for a file that is no PE image this watch understands.
Error parse_pe(HANDLE file, std::uint64_t file_size, PeImage& pe) {
  pe.file = file;
  pe.file_size = file_size;
  IMAGE_DOS_HEADER dos{};
  if (!read_at(file, 0, &dos, sizeof dos) ||
      dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      static_cast<std::uint32_t>(dos.e_lfanew) > kMaxHeaderBytes) {
    return Error(Errc::invalid, "it is no PE file");
  }
  const std::uint64_t nt = static_cast<std::uint32_t>(dos.e_lfanew);
  DWORD signature = 0;
  IMAGE_FILE_HEADER header{};
  if (!read_at(file, nt, &signature, sizeof signature) ||
      signature != IMAGE_NT_SIGNATURE ||
      !read_at(file, nt + 4, &header, sizeof header) ||
      header.NumberOfSections > kMaxSections) {
    return Error(Errc::invalid, "it is no PE file");
  }
  // The optional header, read into the larger of its two forms.
  IMAGE_OPTIONAL_HEADER64 optional{};
  const std::uint64_t optional_at = nt + 4 + sizeof header;
  const std::size_t optional_size =
      std::min<std::size_t>(header.SizeOfOptionalHeader, sizeof optional);
  WORD magic = 0;
  if (!read_at(file, optional_at, &magic, sizeof magic) ||
      !read_at(file, optional_at, &optional, optional_size)) {
    return Error(Errc::invalid, "its headers cannot be read");
  }
  IMAGE_DATA_DIRECTORY relocation{};
  const bool known = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                         ? take_optional_header<IMAGE_OPTIONAL_HEADER64>(
                               &optional, optional_size, pe, relocation)
                         : magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC &&
                               take_optional_header<IMAGE_OPTIONAL_HEADER32>(
                                   &optional, optional_size, pe, relocation);
  if (!known) {
    return Error(Errc::invalid, "its optional header is unknown");
  }
  pe.header_bytes = std::min(pe.header_bytes, kMaxHeaderBytes);
  std::vector<IMAGE_SECTION_HEADER> table(header.NumberOfSections);
  if (!table.empty() &&
      !read_at(file, optional_at + header.SizeOfOptionalHeader, table.data(),
               table.size() * sizeof(IMAGE_SECTION_HEADER))) {
    return Error(Errc::invalid, "its section table cannot be read");
  }
  for (const IMAGE_SECTION_HEADER& entry : table) {
    Section section;
    section.rva = entry.VirtualAddress;
    section.raw_offset = entry.PointerToRawData;
    // The loader takes the raw data up to the section's size in memory,
    // rounded to a page, and zero-fills the rest.
    std::uint64_t mapped = entry.SizeOfRawData;
    if (entry.Misc.VirtualSize != 0) {
      mapped = std::min<std::uint64_t>(
          mapped,
          (std::uint64_t{entry.Misc.VirtualSize} + kPage - 1) / kPage * kPage);
    }
    if (section.raw_offset >= file_size) mapped = 0;
    mapped = std::min<std::uint64_t>(
        mapped,
        file_size - std::min<std::uint64_t>(file_size, section.raw_offset));
    section.mapped = static_cast<std::uint32_t>(mapped);
    pe.sections.push_back(section);
  }
  return read_relocations(pe, relocation.VirtualAddress, relocation.Size);
}

// The bytes the loader puts at [rva, rva + size) of an image loaded at
// `base`: headers and sections from the file, zeros elsewhere, relocations
// applied where they lie wholly inside.
bool expected_bytes(const PeImage& pe, std::uintptr_t base, std::uint64_t rva,
                    std::size_t size, std::vector<unsigned char>& out) {
  out.assign(size, 0);
  const std::uint64_t end = rva + size;
  const auto copy = [&](std::uint64_t from, std::uint64_t length,
                        std::uint64_t file_offset) {
    const std::uint64_t lo = std::max(rva, from);
    const std::uint64_t hi = std::min(end, from + length);
    if (lo >= hi) return true;
    return read_at(pe.file, file_offset + (lo - from), &out[lo - rva], hi - lo);
  };
  if (!copy(0, std::min<std::uint64_t>(pe.header_bytes, pe.file_size), 0)) {
    return false;
  }
  for (const Section& section : pe.sections) {
    if (!copy(section.rva, section.mapped, section.raw_offset)) return false;
  }
  const std::uint64_t delta = std::uint64_t{base} - pe.image_base;
  auto entry =
      std::lower_bound(pe.relocations.begin(), pe.relocations.end(), rva << 4);
  for (; entry != pe.relocations.end() && (*entry >> 4) < end; ++entry) {
    const std::uint64_t at = *entry >> 4;
    const unsigned width = static_cast<unsigned>(*entry & 0xF);
    if (at + width > end) continue;
    unsigned char* where = &out[at - rva];
    if (width == 8) {
      std::uint64_t value = 0;
      std::memcpy(&value, where, 8);
      value += delta;
      std::memcpy(where, &value, 8);
    } else {
      std::uint32_t value = 0;
      std::memcpy(&value, where, 4);
      value += static_cast<std::uint32_t>(delta);
      std::memcpy(where, &value, 4);
    }
  }
  return true;
}

// ------------------------------------------------------------ the mappings

// Reads [base, base + size) of the client, hashing it as it goes; `visit`
// sees each piece with its offset in the region. False when any of it
// cannot be read.
template <typename Visit>
bool read_region(HANDLE process, std::uintptr_t base, std::size_t size,
                 std::uint8_t (&digest)[32], Visit visit) {
  win32::Sha256Hasher hasher;
  if (!hasher.ready()) return false;
  std::vector<unsigned char> buffer;
  for (std::size_t offset = 0; offset < size; offset += kChunk) {
    const std::size_t length = std::min(kChunk, size - offset);
    buffer.resize(length);
    SIZE_T read = 0;
    if (!ReadProcessMemory(process,
                           reinterpret_cast<const void*>(base + offset),
                           buffer.data(), length, &read) ||
        read != length || !hasher.add(buffer.data(), length) ||
        !visit(offset, buffer)) {
      return false;
    }
  }
  return hasher.finish(digest);
}

// The file behind a mapping, opened through the kernel's name of it, when
// it is the very file verified as `examined`: the same volume and file index
// where the file system gives one, else (Wine) the same name, and in both
// cases the bytes that hashed to the evidence. Hashed once more here, once a
// session, so the code is compared with the verified bytes even where the
// session could not hold the file.
bool open_verified_file(const std::wstring& kernel_name,
                        const ExaminedFile& examined, win32::UniqueHandle& file,
                        std::uint64_t& size) {
  std::wstring path;
  if (!win32::openable_path(kernel_name, path)) return false;
  file = win32::UniqueHandle(
      win32::open_for_hashing(path, FILE_FLAG_OPEN_REPARSE_POINT));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file.get(), &info)) {
    return false;
  }
  const std::uint64_t index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
      info.nFileIndexLow;
  if (index != 0 || examined.identity.inode != 0) {
    if (index != examined.identity.inode ||
        info.dwVolumeSerialNumber != examined.identity.device) {
      return false;
    }
  } else if (!same_text_ignoring_case(
                 win32::narrow_path(win32::dos_path_of(file.get(), path)),
                 examined.path)) {
    return false;
  }
  size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
         info.nFileSizeLow;
  std::uint8_t digest[32] = {};
  return win32::hash_open_file(file.get(), nullptr, nullptr, digest) ==
             ExamineOutcome::examined &&
         std::memcmp(digest, examined.digest, sizeof digest) == 0;
}

struct WatchContext {
  HANDLE process = nullptr;
  ClientCode::State* state = nullptr;
  std::uint64_t image_pages_differing = 0;
  Error why;
};

// Records and checks the code regions of the allocation at `allocation`,
// an image mapping of the file `pe` describes. The guard module's pages must
// equal its file's; the image's differing pages are counted.
bool watch_allocation(WatchContext& context, std::size_t which,
                      std::uintptr_t allocation, const PeImage& pe) {
  const bool module = which == 1;
  std::uintptr_t address = allocation;
  for (;;) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQueryEx(context.process, reinterpret_cast<void*>(address), &info,
                       sizeof info) != sizeof info ||
        reinterpret_cast<std::uintptr_t>(info.AllocationBase) != allocation) {
      return true;
    }
    const std::uintptr_t next =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (is_code(info)) {
      if (context.state->regions.size() >= kMaxCodeRegions) {
        context.why = Error(Errc::too_large, "too many code regions");
        return false;
      }
      Region region;
      region.base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
      region.size = info.RegionSize;
      region.allocation = allocation;
      region.file = which;
      std::uint64_t differing = 0;
      std::vector<unsigned char> expected;
      const bool read = read_region(
          context.process, region.base, region.size, region.digest,
          [&](std::size_t offset, const std::vector<unsigned char>& bytes) {
            const std::uint64_t rva = region.base - allocation + offset;
            // Made with a margin on both sides, so a relocated value that
            // straddles the piece's edge is applied whole.
            const std::size_t lead =
                static_cast<std::size_t>(std::min<std::uint64_t>(rva, 8));
            if (!expected_bytes(pe, allocation, rva - lead,
                                lead + bytes.size() + 8, expected)) {
              return false;
            }
            for (std::size_t page = 0; page < bytes.size(); page += kPage) {
              const std::size_t length = std::min(kPage, bytes.size() - page);
              if (std::memcmp(&bytes[page], &expected[lead + page], length) ==
                  0) {
                continue;
              }
              if (module) {
                context.why = Error(Errc::untrusted,
                                    "guard module code at +" + hex(rva + page) +
                                        " differs from its file");
                return false;
              }
              ++differing;
            }
            return true;
          });
      if (!read) {
        if (!context.why) {
          context.why = Error(
              Errc::other, "code at " + hex(region.base) + " cannot be read");
        }
        return false;
      }
      region.file_pages = differing == 0;
      context.image_pages_differing += differing;
      context.state->regions.push_back(region);
    }
    if (next <= address) return true;
    address = next;
  }
}

// Finds every image allocation of the verified file in the client's address
// space and watches its code. The loader list is not asked: the kernel
// names each allocation's file.
bool watch_file(WatchContext& context, std::size_t which,
                const ExaminedFile& examined, std::uint64_t limit) {
  const char* kind = which == 0 ? "the image" : "the guard module";
  const std::string wanted_name = file_name_in(examined.path);
  const std::size_t regions_before = context.state->regions.size();
  win32::UniqueHandle file;
  PeImage pe;
  std::uintptr_t address = 0;
  for (std::size_t walked = 0; walked < kMaxRegionsWalked; ++walked) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQueryEx(context.process, reinterpret_cast<void*>(address), &info,
                       sizeof info) != sizeof info) {
      break;
    }
    const std::uintptr_t next =
        reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    std::wstring name;
    if (info.Type == MEM_IMAGE && info.AllocationBase == info.BaseAddress &&
        win32::mapped_image_name(context.process, info.BaseAddress, name) &&
        same_text_ignoring_case(win32::narrow_path(win32::file_name_of(name)),
                                wanted_name)) {
      if (!file.valid()) {
        std::uint64_t size = 0;
        Error why;
        if (!open_verified_file(name, examined, file, size)) {
          file = win32::UniqueHandle();
        } else if (size > limit || (why = parse_pe(file.get(), size, pe))) {
          context.why =
              Error(Errc::untrusted, std::string(kind) +
                                         " cannot be compared with its file: " +
                                         (why ? why.words() : "too large"));
          return false;
        } else {
          context.state->names[which] = name;
        }
      }
      // Another file of the same name is not the verified one.
      if (file.valid() && name == context.state->names[which] &&
          !watch_allocation(context, which,
                            reinterpret_cast<std::uintptr_t>(info.BaseAddress),
                            pe)) {
        return false;
      }
    }
    if (next <= address) break;
    address = next;
  }
  if (context.state->regions.size() == regions_before) {
    context.why =
        Error(Errc::untrusted,
              std::string(kind) + " has no code mapped from its verified file");
    return false;
  }
  return true;
}

// True when every page of the region is resident and still the image
// section's shared page. Windows only: Wine fails the query for another
// process (error 87), and reports Shared=0 for its own pages, so there every
// region is read again instead.
bool still_shared(HANDLE process, const Region& region) {
  std::vector<PSAPI_WORKING_SET_EX_INFORMATION> pages;
  for (std::size_t offset = 0; offset < region.size;) {
    const std::size_t count =
        std::min(kWorkingSetBatch, (region.size - offset + kPage - 1) / kPage);
    pages.assign(count, PSAPI_WORKING_SET_EX_INFORMATION{});
    for (std::size_t i = 0; i < count; ++i) {
      pages[i].VirtualAddress =
          reinterpret_cast<void*>(region.base + offset + i * kPage);
    }
    if (!QueryWorkingSetEx(
            process, pages.data(),
            static_cast<DWORD>(count *
                               sizeof(PSAPI_WORKING_SET_EX_INFORMATION)))) {
      return false;
    }
    for (const PSAPI_WORKING_SET_EX_INFORMATION& page : pages) {
      if (!page.VirtualAttributes.Valid || !page.VirtualAttributes.Shared) {
        return false;
      }
    }
    offset += count * kPage;
  }
  return true;
}

}  // namespace

CodeLook watch_client_code(const ProcessHandle& process, ProcessId pid,
                           const ExaminedFile& image,
                           const ExaminedFile& module, ClientCode& code,
                           std::uint64_t& image_pages_differing, Error& why) {
  code.reset(nullptr);
  image_pages_differing = 0;
  if (!process.open() || ended(win32::to_handle(process.raw()))) {
    why = Error(Errc::not_found, "the process has ended");
    return CodeLook::gone;
  }
  auto state = std::make_unique<ClientCode::State>();
  // Opened by pid: the held `process` keeps the pid from being reused.
  state->process = win32::UniqueHandle(
      OpenProcess(win32::kInspectionRights | SYNCHRONIZE, FALSE, pid));
  if (!state->process.valid()) {
    why = last_system_error().context("the process cannot be read");
    return ended(win32::to_handle(process.raw())) ? CodeLook::gone
                                                  : CodeLook::changed;
  }
  WatchContext context;
  context.process = state->process.get();
  context.state = state.get();
  if (!watch_file(context, 1, module, kMaxGuardModuleBytes) ||
      !watch_file(context, 0, image, kMaxImageBytes)) {
    why = context.why;
    return ended(context.process) ? CodeLook::gone : CodeLook::changed;
  }
  image_pages_differing = context.image_pages_differing;
  code.reset(std::move(state));
  return CodeLook::intact;
}

CodeLook look_at_client_code(ClientCode& code, CodeLookDepth depth,
                             Error& why) {
  ClientCode::State* state = code.state();
  if (state == nullptr) {
    why = Error(Errc::invalid, "no code is watched");
    return CodeLook::changed;
  }
  const HANDLE process = state->process.get();
  for (const Region& region : state->regions) {
    if (ended(process)) return CodeLook::gone;
    MEMORY_BASIC_INFORMATION info{};
    std::wstring name;
    if (VirtualQueryEx(process, reinterpret_cast<void*>(region.base), &info,
                       sizeof info) != sizeof info ||
        !is_code(info) ||
        reinterpret_cast<std::uintptr_t>(info.AllocationBase) !=
            region.allocation ||
        !win32::mapped_image_name(
            process, reinterpret_cast<void*>(region.allocation), name) ||
        name != state->names[region.file]) {
      why = Error(Errc::untrusted,
                  "code at " + hex(region.base) +
                      " is no longer the verified file's image mapping");
      return ended(process) ? CodeLook::gone : CodeLook::changed;
    }
    if (depth == CodeLookDepth::mappings) continue;
    // A page that equalled the file and is still the section's shared page
    // has not been written; anything else is read again.
    if (region.file_pages && still_shared(process, region)) continue;
    std::uint8_t digest[32] = {};
    if (!read_region(process, region.base, region.size, digest,
                     [](std::size_t, const std::vector<unsigned char>&) {
                       return true;
                     })) {
      why =
          Error(Errc::other, "code at " + hex(region.base) + " cannot be read");
      return ended(process) ? CodeLook::gone : CodeLook::changed;
    }
    if (std::memcmp(digest, region.digest, sizeof digest) != 0) {
      why = Error(Errc::untrusted, "code at " + hex(region.base) + " (" +
                                       hex(region.size) +
                                       " bytes) changed since the OK");
      return CodeLook::changed;
    }
  }
  return ended(process) ? CodeLook::gone : CodeLook::intact;
}

// Windows has no exec: the process runs the watched program until it ends.
CodeLook client_code_still_runs(ClientCode& code) {
  ClientCode::State* state = code.state();
  if (state == nullptr || ended(state->process.get())) return CodeLook::gone;
  return CodeLook::intact;
}

}  // namespace vorn::os
