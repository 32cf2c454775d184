// vorn-guard-service: the Linux entry point.
#include <cstdio>
#include <cstring>

#include "service/posix/service_host.h"

namespace {

constexpr char kUsage[] =
    "Usage: vorn-guard-service [--help | --version]\n"
    "\n"
    "VORN Local Guard Service: serves the guard modules of protected game\n"
    "clients on this machine over a local socket, checks their heartbeats\n"
    "and integrity, and terminates clients that break the rules. It runs in\n"
    "the foreground (under systemd as a Type=notify service) until SIGTERM\n"
    "or SIGINT stops it.\n"
    "\n"
    "Environment:\n"
    "  RUNTIME_DIRECTORY  directory of the socket VORNGuardLocalGuard\n"
    "                     (first entry of a ':' list; default /run/VORN)\n"
    "  ProgramData        base of the log VORN/ClientService/service.log\n"
    "                     (default: $LOGS_DIRECTORY/service.log, else\n"
    "                     /var/log/VORN/ClientService/service.log)\n"
    "  LOGS_DIRECTORY     folder of service.log (systemd's LogsDirectory=)\n"
    "  CONFIGURATION_DIRECTORY  folder of the trusted-digest list\n"
    "                     trusted-digests (default /etc/vorn-guard)\n"
    "\n"
    "What it does, and why it refuses or terminates a client, goes to\n"
    "standard error with journal priorities (\"<4>...\"); the log itself\n"
    "holds only its four kinds of line. Exit codes: 0 stopped, 1 cannot\n"
    "run (see standard error), 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("vorn-guard-service " VORN_VERSION);
    return 0;
  }
  if (argc > 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return vorn::run_service_host();
}
