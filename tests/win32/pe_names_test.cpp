// The export name reader over real built files and over damaged or hostile
// ones: it answers, never reads out of bounds, and reads little whatever the
// file says.
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

std::string module() { return bytes_of("vorn_guard.dll"); }

IMAGE_NT_HEADERS64* nt_headers(std::string& pe) {
  LONG at = 0;
  std::memcpy(&at, &pe[offsetof(IMAGE_DOS_HEADER, e_lfanew)], sizeof at);
  return reinterpret_cast<IMAGE_NT_HEADERS64*>(&pe[at]);
}

IMAGE_DATA_DIRECTORY& export_entry(std::string& pe) {
  return nt_headers(pe)->OptionalHeader.DataDirectory[0];
}

struct PeCase {
  const char* name;
  std::string (*bytes)();
  const char* export_name;
};

void PrintTo(const PeCase& c, std::ostream* out) { *out << c.name; }

const PeCase kCases[] = {
    {"Module", module, "vorn_guard.dll"},
    {"Program", [] { return bytes_of("vorn-guard-probe.exe"); }, ""},
    {"HeadersOnly", [] { return module().substr(0, 1024); }, ""},
    {"CutInsideTheName",
     [] {
       const std::string pe = module();
       return pe.substr(0, pe.find(std::string("vorn_guard.dll") + '\0') + 5);
     },
     ""},
    {"CountlessSections",
     [] {
       std::string pe = module();
       nt_headers(pe)->FileHeader.NumberOfSections = 0xFFFF;
       return pe;
     },
     ""},
    {"ExportsOutsideEverySection",
     [] {
       std::string pe = module();
       export_entry(pe).VirtualAddress = 0xFFFFFFF0;
       return pe;
     },
     ""},
    {"Garbage", [] { return std::string(4096, '\xFF'); }, ""},
    {"MagicThenZeros", [] { return "MZ" + std::string(8192, '\0'); }, ""},
};

class PeExportName : public ::testing::TestWithParam<PeCase> {};

TEST_P(PeExportName, ReadsTheNameWithFewSmallReads) {
  const std::string pe = GetParam().bytes();
  ASSERT_GE(pe.size(), 2u);
  std::size_t reads = 0, largest = 0;
  const std::string name = os::win32::pe_export_name(
      [&](std::uint64_t offset, void* into, std::size_t size) {
        ++reads;
        largest = std::max(largest, size);
        if (offset >= pe.size()) return std::size_t{0};
        const std::size_t count =
            std::min<std::size_t>(size, pe.size() - offset);
        std::memcpy(into, pe.data() + offset, count);
        return count;
      });
  EXPECT_EQ(name, GetParam().export_name);
  EXPECT_LE(reads, 6u);
  EXPECT_LE(largest, 4096u);
}

INSTANTIATE_TEST_SUITE_P(Files, PeExportName, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace vorn::test
