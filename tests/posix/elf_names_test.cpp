// The SONAME reader over real built files and over damaged or hostile ones:
// it answers, never reads out of bounds, and reads little whatever the file
// says.
#include "platform/posix/elf_names.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/child_process.h"

namespace vorn::test {
namespace {

std::string bytes_of(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string module() {
  return bytes_of(binary_directory() + "/libvorn_guard.so");
}

std::string c_library() {
  Dl_info info{};
  return ::dladdr(reinterpret_cast<void*>(&::getpid), &info) != 0
             ? bytes_of(info.dli_fname)
             : "";
}

Elf64_Phdr* dynamic_header(std::string& elf) {
  Elf64_Ehdr header;
  std::memcpy(&header, elf.data(), sizeof header);
  auto* headers = reinterpret_cast<Elf64_Phdr*>(&elf[header.e_phoff]);
  for (int i = 0; i < header.e_phnum; ++i) {
    if (headers[i].p_type == PT_DYNAMIC) return &headers[i];
  }
  return nullptr;
}

struct ElfCase {
  const char* name;
  std::string (*bytes)();
  const char* soname;
};

void PrintTo(const ElfCase& c, std::ostream* out) { *out << c.name; }

const ElfCase kCases[] = {
    {"Module", module, "libvorn_guard.so.1"},
    {"CLibrary", c_library, "libc.so.6"},
    {"Program",
     [] { return bytes_of(binary_directory() + "/vorn-guard-probe"); }, ""},
    {"HeaderOnly", [] { return module().substr(0, sizeof(Elf64_Ehdr)); }, ""},
    {"CutInsideTheName",
     [] {
       const std::string elf = module();
       return elf.substr(0, elf.find("libvorn_guard.so.1") + 5);
     },
     ""},
    {"CountlessProgramHeaders",
     [] {
       std::string elf = module();
       reinterpret_cast<Elf64_Ehdr*>(&elf[0])->e_phnum = 0xFFFF;
       return elf;
     },
     ""},
    {"EndlessDynamicSection",
     [] {
       std::string elf = module();
       dynamic_header(elf)->p_filesz = ~0ull;
       return elf;
     },
     "libvorn_guard.so.1"},
    {"DynamicSectionPastTheEnd",
     [] {
       std::string elf = module();
       dynamic_header(elf)->p_offset = ~0ull - 8;
       return elf;
     },
     ""},
    {"Garbage", [] { return std::string(4096, '\xFF'); }, ""},
    {"MagicThenZeros",
     [] {
       return "\x7F"
              "ELF" +
              std::string(8192, '\0');
     },
     ""},
};

class ElfSoname : public ::testing::TestWithParam<ElfCase> {};

TEST_P(ElfSoname, ReadsTheNameWithFewSmallReads) {
  const std::string elf = GetParam().bytes();
  ASSERT_GE(elf.size(), 4u);
  std::size_t reads = 0, largest = 0;
  const std::string soname = os::posix::elf_soname(
      [&](std::uint64_t offset, void* into, std::size_t size) {
        ++reads;
        largest = std::max(largest, size);
        if (offset >= elf.size()) return std::size_t{0};
        const std::size_t count =
            std::min<std::size_t>(size, elf.size() - offset);
        std::memcpy(into, elf.data() + offset, count);
        return count;
      });
  EXPECT_EQ(soname, GetParam().soname);
  EXPECT_LE(reads, 5u);
  EXPECT_LE(largest, 4096u);
}

INSTANTIATE_TEST_SUITE_P(Files, ElfSoname, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace vorn::test
