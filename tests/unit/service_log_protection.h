// What the service log's protection tests share: a fixture that points
// ProgramData at a fresh directory of its own, and the OS's ways of planting
// links and weakening owners or permissions there, as an attacker would
// (implemented in tests/posix/ and tests/win32/).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/system.h"
#include "support/temp_dir.h"

namespace vorn::test {

// Makes `link` a link to the existing directory `target` that the OS shows as
// a link. POSIX: a symbolic link. Windows: a junction; under Wine, which
// cannot make junctions, a Unix symbolic link (Wine shows it as a reparse
// point). False when this system can make neither.
bool plant_directory_link(const std::string& link, const std::string& target);

// Makes `link` a symbolic link to the file `target` that the OS shows as a
// link. False where none can be made (Windows without the privilege; Wine,
// which shows a Unix link to a file as the file itself).
bool plant_file_link(const std::string& link, const std::string& target);

// Gives `path` to an account the service does not trust. POSIX: "nobody"
// (needs root). Windows: the Users group; under Wine, which keeps no owners
// of its own, the Unix owner "nobody" (needs root). False when not possible.
bool give_to_untrusted_owner(const std::string& path);

// Lets every account create and remove entries in the directory `path`.
// POSIX: mode 0777. Windows: Everyone full control.
bool let_everyone_change(const std::string& path);

// True when an account other than this process's own, root / SYSTEM or
// Administrators may create or remove entries in the directory `path`.
bool others_may_change(const std::string& path);

// True when `path` itself is a symbolic link, junction or other reparse
// point.
bool is_link(const std::string& path);

// Removes the link `path` itself, never what it points to.
bool remove_link(const std::string& path);

class ServiceLogProtectionFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    const char* old = std::getenv(kVariable);
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    set_env(kVariable, temp_.path());
  }

  void TearDown() override {
    if (had_old_) {
      set_env(kVariable, old_);
    } else {
      set_env(kVariable, "", true);
    }
  }

  static std::string join(const std::string& directory,
                          const std::string& name) {
    return directory + os::path_separator() + name;
  }
  std::string vorn_dir() const { return join(temp_.path(), "VORN"); }
  std::string log_dir() const { return join(vorn_dir(), "ClientService"); }
  std::string log_file() const { return join(log_dir(), "service.log"); }
  // Next to VORN under the base: where a planted link points.
  std::string elsewhere() const { return join(temp_.path(), "elsewhere"); }

  static constexpr char kVariable[] = "ProgramData";
  TempDir temp_;
  bool had_old_ = false;
  std::string old_;
};

}  // namespace vorn::test
