// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace vorn::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The directory in the OS's own form (backslashes on Windows).
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Reads a whole file; empty when missing.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& bytes);
// Sets or, with an empty value and unset == true, removes a variable of the
// test process's own environment.
void set_env(const std::string& name, const std::string& value,
             bool unset = false);

}  // namespace vorn::test
