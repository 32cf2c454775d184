// The SONAME reader over real built files and damaged ones: it answers, and
// reads little whatever the file says.
#include "platform/posix/elf_names.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/child_process.h"

namespace vorn::test {
namespace {

std::string bytes_of(const std::string& name) {
  std::ifstream file(binary_directory() + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The module with `change` made to its first header, or to its dynamic one.
template <typename Change>
std::string module_with(Change change) {
  std::string elf = bytes_of("libvorn_guard.so");
  auto* header = reinterpret_cast<Elf64_Ehdr*>(&elf[0]);
  auto* headers = reinterpret_cast<Elf64_Phdr*>(&elf[header->e_phoff]);
  // Counted before the change, which may alter the count itself.
  const int count = header->e_phnum;
  for (int i = 0; i < count; ++i) {
    if (headers[i].p_type == PT_DYNAMIC) change(*header, headers[i]);
  }
  return elf;
}

struct ElfCase {
  const char* name;
  std::string (*bytes)();
  const char* soname;
};

const ElfCase kCases[] = {
    {"Module", [] { return bytes_of("libvorn_guard.so"); },
     "libvorn_guard.so.1"},
    {"Program", [] { return bytes_of("vorn-guard-probe"); }, ""},
    {"CutInsideTheName",
     [] {
       const std::string elf = bytes_of("libvorn_guard.so");
       return elf.substr(0, elf.find("libvorn_guard.so.1") + 5);
     },
     ""},
    {"CountlessProgramHeaders",
     [] {
       return module_with(
           [](Elf64_Ehdr& h, Elf64_Phdr&) { h.e_phnum = 0xFFFF; });
     },
     ""},
    {"EndlessDynamicSection",
     [] {
       return module_with(
           [](Elf64_Ehdr&, Elf64_Phdr& d) { d.p_filesz = ~0ull; });
     },
     "libvorn_guard.so.1"},
    {"DynamicSectionPastTheEnd",
     [] {
       return module_with(
           [](Elf64_Ehdr&, Elf64_Phdr& d) { d.p_offset = ~0ull - 8; });
     },
     ""},
    {"Garbage",
     [] {
       return "\x7F"
              "ELF" +
              std::string(4096, '\xFF');
     },
     ""},
};

class ElfSoname : public ::testing::TestWithParam<ElfCase> {};

TEST_P(ElfSoname, ReadsTheNameWithFewSmallReads) {
  const std::string elf = GetParam().bytes();
  ASSERT_GE(elf.size(), 64u);
  std::size_t reads = 0, largest = 0;
  const std::string soname = os::posix::elf_soname(
      [&](std::uint64_t offset, void* into, std::size_t size) {
        ++reads;
        largest = std::max(largest, size);
        if (offset >= elf.size()) return std::size_t{0};
        size = std::min<std::size_t>(size, elf.size() - offset);
        std::memcpy(into, elf.data() + offset, size);
        return size;
      });
  EXPECT_EQ(soname, GetParam().soname);
  EXPECT_LE(reads, 5u);
  EXPECT_LE(largest, 4096u);
}

INSTANTIATE_TEST_SUITE_P(Files, ElfSoname, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace vorn::test
