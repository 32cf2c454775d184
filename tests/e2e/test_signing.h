// Signing the client's files in the end-to-end tests, the way a studio
// would on each OS: keys and certificates made once per test run into a
// temporary folder. Linux: the built vorn-guard-sign; Windows builds:
// openssl and osslsigncode.
#pragma once

#include <string>

namespace vorn::test {

enum class TestSigner { studio, studio_renewed, stranger };

// The trust-list line naming `signer` ("publisher ...\n"). studio and
// studio_renewed are the same publisher (Windows: two leaf certificates
// issued by one throwaway CA, and the line names the CA; Linux: the same
// key); stranger is a publisher never listed.
std::string publisher_line(TestSigner signer);

// Signs `file` in place as `signer` (replacing a signature it carries); ""
// on success, else what failed.
std::string sign_in_place(const std::string& file, TestSigner signer);

}  // namespace vorn::test
