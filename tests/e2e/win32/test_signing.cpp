// Windows builds: the test's publishers are certificates made with openssl,
// and files are signed with osslsigncode (Authenticode, SHA-256), both Unix
// programs that a Wine process starts directly. studio and studio_renewed
// are two leaf certificates issued by one throwaway CA, which the publisher
// line names; stranger is a self-signed certificate of its own.
#include "e2e/test_signing.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "support/temp_dir.h"
#include "support/win32/unix_files.h"

namespace vorn::test {
namespace {

constexpr DWORD kScriptWaitMs = 60000;

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Runs `script` with /bin/sh in `dir` and waits for the status it leaves: a
// Unix child's exit code cannot be read through Wine, and it may end after
// the wait for it returned. "" when it exited 0, else its output.
std::string run_script(const TempDir& dir, const std::string& name,
                       const std::string& script) {
  const std::string status = dir.file(name + ".status");
  const std::string output = unix_path(dir.file(name + ".out"));
  std::remove(status.c_str());
  const std::string unix_status = unix_path(status);
  if (!write_file(dir.file(name + ".sh"),
                  "cd " + quoted(unix_path(dir.path())) + " || exit 1\n(\n" +
                      script + "\n) >" + quoted(output) + " 2>&1\necho $? >" +
                      quoted(unix_status + ".part") + "\nmv " +
                      quoted(unix_status + ".part") + " " +
                      quoted(unix_status) + "\n")) {
    return "cannot write " + name + ".sh";
  }
  std::string line = "/bin/sh \"" + unix_path(dir.file(name + ".sh")) + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return "cannot start /bin/sh";
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (DWORD waited = 0; waited < kScriptWaitMs; waited += 50) {
    const std::string code = read_file(status);
    if (!code.empty()) {
      return code == "0\n" ? "" : name + " failed: " + read_file(output);
    }
    Sleep(50);
  }
  return name + " did not finish: " + read_file(output);
}

// Made once per test run.
struct Certificates {
  TempDir dir;
  std::string error;
  std::string studio_line;
  std::string stranger_line;
};

const char kMakeCertificates[] = R"(set -e
o=/usr/bin/openssl
$o req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
  -subj '/CN=Test Studio CA' -addext 'basicConstraints=critical,CA:TRUE' \
  -addext 'keyUsage=critical,keyCertSign'
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >leaf.ext
for leaf in studio studio_renewed; do
  $o req -newkey rsa:2048 -nodes -keyout $leaf.key -out $leaf.csr \
    -subj '/CN=Test Studio'
  $o x509 -req -in $leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -days 3650 -extfile leaf.ext -out $leaf.crt
  cat $leaf.crt ca.pem >$leaf.chain
done
$o req -x509 -newkey rsa:2048 -nodes -keyout stranger.key \
  -out stranger.chain -days 3650 -subj '/CN=Test Stranger' \
  -addext 'extendedKeyUsage=codeSigning'
for pem in ca.pem stranger.chain; do
  $o x509 -in $pem -outform DER | /usr/bin/sha256sum | /usr/bin/cut -c1-64 \
    >$pem.sha256
done)";

// The trust-list line naming the certificate `pem`, from its thumbprint.
std::string line_naming(const TempDir& dir, const std::string& pem,
                        const char* name) {
  const std::string hex = read_file(dir.file(pem + ".sha256"));
  return "publisher cert-sha256 " + hex.substr(0, 64) + " " + name + "\n";
}

Certificates* make_certificates() {
  auto* made = new Certificates;
  made->error = run_script(made->dir, "certificates", kMakeCertificates);
  made->studio_line = line_naming(made->dir, "ca.pem", "test studio");
  made->stranger_line =
      line_naming(made->dir, "stranger.chain", "test stranger");
  return made;
}

const Certificates& certificates() {
  static const std::unique_ptr<Certificates> made(make_certificates());
  return *made;
}

const char* name_of(TestSigner signer) {
  switch (signer) {
    case TestSigner::studio:
      return "studio";
    case TestSigner::studio_renewed:
      return "studio_renewed";
    case TestSigner::stranger:
      break;
  }
  return "stranger";
}

}  // namespace

std::string publisher_line(TestSigner signer) {
  return signer == TestSigner::stranger ? certificates().stranger_line
                                        : certificates().studio_line;
}

std::string sign_in_place(const std::string& file, TestSigner signer) {
  const Certificates& made = certificates();
  if (!made.error.empty()) return made.error;
  const std::string name = name_of(signer);
  const std::string unix_file = unix_path(file);
  // Signed anew from the file without its signature, if it carries one.
  return run_script(
      made.dir, "sign",
      "set -e\nin=" + quoted(unix_file) +
          "\nrm -f unsigned signed\n"
          "if /usr/bin/osslsigncode remove-signature -in \"$in\" -out "
          "unsigned; then in=unsigned; fi\n"
          "/usr/bin/osslsigncode sign -h sha256 -certs " +
          name + ".chain -key " + name +
          ".key -n 'Test client' -in \"$in\" -out signed\n"
          "cat signed >" +
          quoted(unix_file));
}

}  // namespace vorn::test
