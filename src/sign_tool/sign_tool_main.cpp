// vorn-guard-sign: a studio's tool that signs the game's executable and its
// guard module for Linux, so that operators trust the publisher instead of
// each build's digests. See usage() for the commands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sign_tool/sign_commands.h"

namespace {

using namespace vorn::sign;

const char kToolUsage[] =
    "usage: vorn-guard-sign keygen [--name NAME] KEYFILE\n"
    "       vorn-guard-sign sign --key KEYFILE FILE...\n"
    "       vorn-guard-sign verify [--publisher HEX] FILE...\n"
    "       vorn-guard-sign COMMAND --help | --help | --version\n"
    "\n"
    "Signs a game's files for the VORN Local Guard Service: the service\n"
    "admits a signed file when the trust list names its publisher\n"
    "(\"publisher ed25519 <key> <name>\").\n"
    "Exit codes: 0 done, 1 failed, 2 bad command line.\n";

const char kKeygenUsage[] =
    "usage: vorn-guard-sign keygen [--name NAME] KEYFILE\n"
    "\n"
    "Makes a new Ed25519 signing key in KEYFILE (PEM, mode 0600; an existing\n"
    "file is never replaced) and prints the trust-list line that names its\n"
    "public key, for operators: \"publisher ed25519 <key> NAME\".\n"
    "NAME defaults to the key file's name. Keep KEYFILE secret.\n";

const char kSignUsage[] =
    "usage: vorn-guard-sign sign --key KEYFILE FILE...\n"
    "\n"
    "Appends a signature by the key in KEYFILE to each FILE, in place and\n"
    "atomically (the signed file keeps its mode and replaces the old one\n"
    "whole), replacing a signature it already carries. A signed program\n"
    "runs unchanged. Sign after the last step that changes the file\n"
    "(stripping, packing).\n";

const char kVerifyUsage[] =
    "usage: vorn-guard-sign verify [--publisher HEX] FILE...\n"
    "\n"
    "Prints for each FILE the public key that signed it, or why not.\n"
    "Exits 0 only when every FILE carries a signature that verifies and,\n"
    "with --publisher, was made by that key (64 hex digits).\n";

int usage_error(const std::string& words, const char* usage) {
  std::fprintf(stderr, "vorn-guard-sign: %s\n%s", words.c_str(), usage);
  return kExitUsage;
}

bool is_help(const std::string& argument) {
  return argument == "--help" || argument == "-h";
}

// The value after an option, or false when there is none.
bool take_value(const std::vector<std::string>& arguments, std::size_t& i,
                std::string& value) {
  if (i + 1 >= arguments.size()) return false;
  value = arguments[++i];
  return true;
}

// The key file's name without folder and extension.
std::string default_name(const std::string& key_file) {
  std::string name = key_file.substr(key_file.find_last_of('/') + 1);
  return name.substr(0, name.find('.'));
}

int run(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return usage_error("no command", kToolUsage);
  const std::string& command = arguments[0];
  if (is_help(command) || command == "help") {
    std::fputs(kToolUsage, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::puts("vorn-guard-sign " VORN_VERSION);
    return kExitOk;
  }
  const char* usage = command == "keygen"   ? kKeygenUsage
                      : command == "sign"   ? kSignUsage
                      : command == "verify" ? kVerifyUsage
                                            : nullptr;
  if (usage == nullptr) {
    return usage_error("unknown command '" + command + "'", kToolUsage);
  }
  std::string key_file, name, publisher;
  std::vector<std::string> files;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (is_help(argument)) {
      std::fputs(usage, stdout);
      return kExitOk;
    }
    const bool takes_value = (command == "keygen" && argument == "--name") ||
                             (command == "sign" && argument == "--key") ||
                             (command == "verify" && argument == "--publisher");
    std::string& value = argument == "--name"  ? name
                         : argument == "--key" ? key_file
                                               : publisher;
    if (takes_value && !take_value(arguments, i, value)) {
      return usage_error(argument + " needs a value", usage);
    }
    if (takes_value) continue;
    if (argument == "--") {
      files.insert(files.end(), arguments.begin() + static_cast<long>(i) + 1,
                   arguments.end());
      break;
    }
    if (argument.rfind("-", 0) == 0) {
      return usage_error("unknown option '" + argument + "'", usage);
    }
    files.push_back(argument);
  }
  if (command == "keygen") {
    if (files.size() != 1) return usage_error("one KEYFILE, please", usage);
    return run_keygen(files[0], name.empty() ? default_name(files[0]) : name);
  }
  if (files.empty()) return usage_error("no FILE given", usage);
  if (command == "sign") {
    if (key_file.empty()) return usage_error("--key KEYFILE is needed", usage);
    return run_sign(key_file, files);
  }
  return run_verify(publisher, files);
}

}  // namespace

int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
