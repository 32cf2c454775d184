// Under Wine: the Unix name of a file, for the tests that hand files to Unix
// programs (ln, chown, openssl, osslsigncode).
#pragma once

#include <string>

namespace vorn::test {

// The Unix path of a DOS path (Wine's own wine_get_unix_file_name); empty
// outside Wine or when it has none.
std::string unix_path(const std::string& path);

}  // namespace vorn::test
