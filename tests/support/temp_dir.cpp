#include "support/temp_dir.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// A name no other test process picks: random bits plus a per-process count.
std::string unique_name() {
  static std::atomic<unsigned> counter{0};
  std::random_device device;
  const unsigned long long bits =
      (static_cast<unsigned long long>(device()) << 32) ^ device();
  return "vorn-test-" + std::to_string(bits) + "-" +
         std::to_string(counter.fetch_add(1));
}

}  // namespace

TempDir::TempDir() {
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) base = fs::current_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / unique_name();
    // create_directory is true only for a directory it made itself, so two
    // tests never share one.
    if (fs::create_directory(candidate, error)) {
      path_ = candidate.make_preferred().string();
      return;
    }
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code error;
  fs::remove_all(fs::path(path_), error);
}

std::string TempDir::file(const std::string& name) const {
  return (fs::path(path_) / name).make_preferred().string();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

void set_env(const std::string& name, const std::string& value, bool unset) {
#ifdef _WIN32
  // The CRT passes the change on to the process environment, where
  // GetEnvironmentVariableA sees it. An empty value removes the variable
  // here, which the service treats like an empty one.
  _putenv_s(name.c_str(), unset ? "" : value.c_str());
#else
  if (unset) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
#endif
}

}  // namespace vorn::test
