// vorn-guard-probe: the operator's and the tests' client of the guard
// service. See probe_usage() for the commands.
#include <cstdio>
#include <string>
#include <vector>

#include "probe/probe_args.h"
#include "probe/probe_commands.h"

int main(int argc, char** argv) {
  using namespace vorn::probe;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);

  ProbeOptions options;
  if (const vorn::os::Error error = parse_probe_args(arguments, options)) {
    std::fprintf(stderr, "vorn-guard-probe: %s\n(try --help)\n",
                 error.words().c_str());
    return kExitUsage;
  }
  switch (options.command) {
    case Command::help:
      std::fputs(probe_usage().c_str(), stdout);
      return kExitOk;
    case Command::version:
      std::puts("vorn-guard-probe " VORN_VERSION);
      return kExitOk;
    case Command::status:
      return run_status(options);
    case Command::session:
      return run_session(options);
    case Command::raw:
      return run_raw(options);
    case Command::evidence:
      return run_evidence(options);
  }
  return kExitUsage;
}
