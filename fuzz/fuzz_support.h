// What the fuzz targets share: a check that aborts (so libFuzzer reports the
// input), and a private log folder for the real log code.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vorn::fuzz {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// The real log code writes to a private folder, emptied now and then so it
// never grows large.
inline void use_private_log_folder() {
  static bool ready = false;
  static std::filesystem::path folder;
  static unsigned runs = 0;
  if (!ready) {
    folder = std::filesystem::temp_directory_path() /
             ("vorn-fuzz-log-" + std::to_string(std::rand()));
    std::filesystem::create_directories(folder);
#ifdef _WIN32
    _putenv_s("ProgramData", folder.string().c_str());
#else
    setenv("ProgramData", folder.string().c_str(), 1);
#endif
    ready = true;
  }
  if (++runs % 4096 == 0) {
    std::error_code ignored;
    std::filesystem::remove_all(folder / "VORN", ignored);
  }
}

}  // namespace vorn::fuzz
