// The export name reader over real built files and damaged ones: it answers,
// and reads little whatever the file says.
#include "platform/win32/pe_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/child_process.h"

namespace vorn::test {
namespace {

std::string bytes_of(const std::string& name) {
  std::ifstream file(binary_directory() + "\\" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The module with `change` made to its NT headers.
template <typename Change>
std::string module_with(Change change) {
  std::string pe = bytes_of("vorn_guard.dll");
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pe.data());
  change(*reinterpret_cast<IMAGE_NT_HEADERS64*>(&pe[dos->e_lfanew]));
  return pe;
}

struct PeCase {
  const char* name;
  std::string (*bytes)();
  const char* export_name;
};

const PeCase kCases[] = {
    {"Module", [] { return bytes_of("vorn_guard.dll"); }, "vorn_guard.dll"},
    {"Program", [] { return bytes_of("vorn-guard-probe.exe"); }, ""},
    {"CutInsideTheName",
     [] {
       const std::string pe = bytes_of("vorn_guard.dll");
       return pe.substr(0, pe.find(std::string("vorn_guard.dll") + '\0') + 5);
     },
     ""},
    {"CountlessSections",
     [] {
       return module_with([](IMAGE_NT_HEADERS64& nt) {
         nt.FileHeader.NumberOfSections = 0xFFFF;
       });
     },
     ""},
    {"ExportsOutsideEverySection",
     [] {
       return module_with([](IMAGE_NT_HEADERS64& nt) {
         nt.OptionalHeader.DataDirectory[0].VirtualAddress = 0xFFFFFFF0;
       });
     },
     ""},
    {"Garbage", [] { return "MZ" + std::string(4096, '\xFF'); }, ""},
};

class PeExportName : public ::testing::TestWithParam<PeCase> {};

TEST_P(PeExportName, ReadsTheNameWithFewSmallReads) {
  const std::string pe = GetParam().bytes();
  ASSERT_GE(pe.size(), 1024u);
  std::size_t reads = 0, largest = 0;
  const std::string name = os::win32::pe_export_name(
      [&](std::uint64_t offset, void* into, std::size_t size) {
        ++reads;
        largest = std::max(largest, size);
        if (offset >= pe.size()) return std::size_t{0};
        size = std::min<std::size_t>(size, pe.size() - offset);
        std::memcpy(into, pe.data() + offset, size);
        return size;
      });
  EXPECT_EQ(name, GetParam().export_name);
  EXPECT_LE(reads, 6u);
  EXPECT_LE(largest, 4096u);
}

INSTANTIATE_TEST_SUITE_P(Files, PeExportName, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace vorn::test
