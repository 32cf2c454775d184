// vorn-guard-service: the Linux entry point.
#include <cstdio>
#include <cstring>

#include "service/posix/service_host.h"

namespace {

constexpr char kUsage[] =
    "Usage: vorn-guard-service [--help]\n"
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
    "                     (default /var/log)\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return vorn::run_service_host();
}
