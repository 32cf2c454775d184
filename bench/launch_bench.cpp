// vorn-launch-bench: what a player waits for when a game launches (Linux).
//
// Starts the built vorn-guard-service as vorn-service-bench does. For games
// of 64 MiB, 1 GiB and 4 GiB (sparse copies of vorn-bench-client, with the
// guard module beside them), each round makes a fresh copy, a version that
// neither side has seen, and launches it twice, each time as a new process:
//   first   the module computes its evidence, the service hashes both files
//   repeat  the same files again: the module's evidence cache and the
//           service's digest memory stand for both hashes
// and prints, per size, the launch as the game saw it (the guard module's
// start until OK, wall and the game's CPU time), the service's CPU time for
// it, and beside them
// `openssl dgst -sha256` of the same two files: the pure hash of the bytes.
// With --signed, both files of each copy are signed with vorn-guard-sign
// first (a key made for the run), so that the two runs compare a signed
// launch with an unsigned one. Nothing here passes or fails on speed.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_service.h"
#include "bench_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::bench {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

struct Launch {
  double wall_ms = 0;         // the module's start until OK
  double game_cpu_ms = 0;     // the game's CPU time in that start
  double service_cpu_ms = 0;  // what the service spent on it
};

// One launch of `client` as a new process; false when it did not get OK.
bool launch(const Service& service, const std::string& client,
            const std::string& cache_dir, Launch& result) {
  Environment environment = client_environment(service);
  environment.push_back({"XDG_CACHE_HOME", cache_dir});
  const pid_t service_pid = static_cast<pid_t>(service.process.pid);
  const std::int64_t cpu_start = process_cpu_ns(service_pid);
  test::ChildProcess child;
  std::string line;
  bool ok = test::start_piped_child(child, client, {"launch"}, environment) &&
            test::read_child_line(child, line, 120000) &&
            line.rfind("launch_us ", 0) == 0 &&
            line.find(" result 0 ") != std::string::npos;
  int exit_code = -1;
  ok = test::wait_child(child, 10000, exit_code) && ok && exit_code == 0;
  test::release_child(child);
  // The session's end (BYE) is part of what the launch cost the service.
  sleep_for_ms(50);
  result.service_cpu_ms = ms(process_cpu_ns(service_pid) - cpu_start);
  result.wall_ms = std::atof(line.c_str() + 10) / 1000.0;
  const std::size_t cpu = line.find(" cpu_us ");
  if (cpu != std::string::npos) {
    result.game_cpu_ms = std::atof(line.c_str() + cpu + 8) / 1000.0;
  }
  if (!ok) std::printf("launch failed: %s\n", line.c_str());
  return ok;
}

// Signs the copy's two files with `key`; false when the tool failed.
bool sign_copy(const std::string& bin_dir, const std::string& key,
               const std::string& client) {
  return time_command({bin_dir + "/vorn-guard-sign", "sign", "--key", key,
                       client, directory_of(client) + "/libvorn_guard.so.1"}) >=
         0;
}

int run(int rounds, const std::vector<std::uint64_t>& sizes_mib, bool sign) {
  const std::string bin_dir = test::binary_directory();
  const test::TempDir work;
  if (work.path().empty()) return 2;
  Service service;
  if (!start_service(bin_dir, work.path(), service)) {
    std::printf("the service did not start (%s)\n", bin_dir.c_str());
    return 2;
  }
  const std::string cache_dir = work.path() + "/cache";
  const std::string key = work.path() + "/studio.pem";
  if (sign && time_command({bin_dir + "/vorn-guard-sign", "keygen", key}) < 0) {
    std::printf("vorn-guard-sign keygen failed\n");
    return 2;
  }
  std::printf("%9s %-7s %14s %13s %15s %15s\n", "size", "launch",
              "game wall ms", "game CPU ms", "service CPU ms",
              "sha256 wall ms");
  int failures = 0;
  int copies = 0;
  for (const std::uint64_t size_mib : sizes_mib) {
    std::map<std::string, std::vector<double>> wall, game_cpu, cpu;
    std::vector<double> hash;
    for (int round = 0; round < rounds; ++round) {
      const std::string client = make_client_copy(
          bin_dir, work.path() + "/game" + std::to_string(++copies),
          size_mib * kMiB, true);
      if (client.empty() || (sign && !sign_copy(bin_dir, key, client))) {
        return 2;
      }
      for (const char* which : {"first", "repeat"}) {
        Launch result;
        if (!launch(service, client, cache_dir, result)) {
          ++failures;
          continue;
        }
        wall[which].push_back(result.wall_ms);
        game_cpu[which].push_back(result.game_cpu_ms);
        cpu[which].push_back(result.service_cpu_ms);
      }
      hash.push_back(
          ms(time_command({"openssl", "dgst", "-sha256", client,
                           directory_of(client) + "/libvorn_guard.so.1"})));
      // Each copy's bytes once in the page cache is enough.
      std::remove(client.c_str());
    }
    for (const char* which : {"first", "repeat"}) {
      std::printf("%5llu MiB %-7s %14.2f %13.2f %15.2f %15.1f\n",
                  static_cast<unsigned long long>(size_mib), which,
                  summarize(wall[which]).median,
                  summarize(game_cpu[which]).median,
                  summarize(cpu[which]).median, summarize(hash).median);
    }
  }
  int exit_code = 0;
  stop_service(service, exit_code);
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
  int rounds = 3;
  bool sign = false;
  std::vector<std::uint64_t> sizes = {64, 1024, 4096};
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--quick") {
      rounds = 1;
      sizes = {64, 1024};
    } else if (argument == "--signed") {
      sign = true;
    } else if (argument == "--rounds" && i + 1 < argc &&
               std::atoi(argv[i + 1]) > 0) {
      rounds = std::atoi(argv[++i]);
    } else {
      std::fputs(
          "usage: vorn-launch-bench [--quick] [--rounds N] [--signed]\n"
          "  --quick     one round, 64 MiB and 1 GiB\n"
          "  --rounds N  launches per size and kind (default 3)\n"
          "  --signed    sign each copy's two files first\n",
          stderr);
      return 1;
    }
  }
  return vorn::bench::run(rounds, sizes, sign);
}
