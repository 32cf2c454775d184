// vorn-service-bench: end-to-end figures of the running service (Linux).
//
// Starts the built vorn-guard-service in the foreground with its socket and
// log in a temporary folder, drives vorn-bench-client copies against it and
// prints each figure; with --out DIR it also writes the samples as CSV for
// bench/plot.py. Nothing here passes or fails on speed.
//
//   1. handshake time (HELLO written -> OK read) for clients whose executable
//      is 8/16/32/64 MiB, beside `openssl dgst -sha256` of the same two files
//      in the same rounds
//   2. service CPU with 32 sessions pinging every 5 s, small and 64 MiB
//      images, against an idle baseline; resident memory
//   3. PONG latency distribution
//   4. enforcement latency after the last PING
//   5. time from SIGTERM to the service's exit, idle and with 32 sessions
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_service.h"
#include "bench_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::bench {
namespace {

using test::ChildProcess;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr int kSessions = 32;
constexpr double kRecheckIntervalS = 10.0;

struct Options {
  std::string out_dir;
  int handshake_rounds = 15;
  int cpu_window_s = 60;
  int idle_window_s = 30;
  int latency_window_s = 30;
  int enforcement_clients = 8;
  int stop_repeats = 3;
};

std::string g_report;  // every figure printed, for summary.txt

void report(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::fputs(line, stdout);
  std::fflush(stdout);
  g_report += line;
}

// ---------------------------------------------------------------- 1

struct HandshakeSample {
  int size_mib;
  int round;
  double handshake_ms;
  double openssl_ms;
};

void bench_handshake(const Options& options, const std::string& bin_dir,
                     const std::string& work_dir, Service& service,
                     std::ostringstream& csv, double& rehash_cpu_64_ms) {
  report("\n== 1. handshake vs openssl dgst -sha256 (same two files) ==\n");
  const int sizes[] = {8, 16, 32, 64};
  struct Client {
    int size_mib;
    std::string exe, module;
    ChildProcess child;
  };
  std::vector<Client> clients;
  for (int size : sizes) {
    Client client;
    client.size_mib = size;
    client.exe =
        make_client_copy(bin_dir, work_dir + "/client" + std::to_string(size),
                         static_cast<std::uint64_t>(size) * kMiB);
    client.module = directory_of(client.exe) + "/libvorn_guard.so.1";
    std::string line;
    if (client.exe.empty() ||
        !start_client(client.child, client.exe, {"handshake"}, service, line,
                      30000)) {
      report("cannot start the %d MiB client: %s\n", size, line.c_str());
      return;
    }
    clients.push_back(std::move(client));
  }
  // openssl's own start-up, for reading the figures: the same command on an
  // empty file.
  const std::string empty = work_dir + "/empty";
  test::write_file(empty, "");
  std::vector<double> startup, startup_cpu;

  // The wall time the client saw, and the CPU time the service spent (it is
  // otherwise idle), for one handshake.
  const pid_t service_pid = static_cast<pid_t>(service.process.pid);
  auto handshake_once = [service_pid](Client& client, double& wall_ms,
                                      double& cpu_ms) {
    std::string line;
    // New times make both files versions the service has not seen: every
    // handshake here hashes them (a repeat launch is vorn-launch-bench's).
    ::utimensat(AT_FDCWD, client.exe.c_str(), nullptr, 0);
    ::utimensat(AT_FDCWD, client.module.c_str(), nullptr, 0);
    const std::int64_t cpu_start = process_cpu_ns(service_pid);
    if (!test::write_child_line(client.child, "go") ||
        !test::read_child_line(client.child, line, 20000) ||
        line.rfind("handshake_us ", 0) != 0) {
      report("handshake failed (%d MiB): %s\n", client.size_mib, line.c_str());
      return false;
    }
    cpu_ms = ms(process_cpu_ns(service_pid) - cpu_start);
    wall_ms = std::atof(line.c_str() + 13) / 1000.0;
    return true;
  };
  auto openssl_once = [](Client& client, double& wall_ms, double& cpu_ms) {
    std::int64_t cpu_ns = 0;
    wall_ms = ms(time_command(
        {"openssl", "dgst", "-sha256", client.exe, client.module}, &cpu_ns));
    cpu_ms = ms(cpu_ns);
    return wall_ms > 0;
  };
  // Warm-up: the page cache holds both files, the code paths are hot.
  for (Client& client : clients) {
    double ignored = 0, ignored_too = 0;
    for (int i = 0; i < 2; ++i) handshake_once(client, ignored, ignored_too);
    openssl_once(client, ignored, ignored_too);
  }

  std::map<int, std::vector<double>> handshakes, openssls, ratios, service_cpu,
      openssl_cpu;
  csv << "size_mib,round,handshake_ms,openssl_ms,service_cpu_ms,"
         "openssl_cpu_ms\n";
  for (int round = 0; round < options.handshake_rounds; ++round) {
    std::int64_t cpu_ns = 0;
    startup.push_back(
        ms(time_command({"openssl", "dgst", "-sha256", empty}, &cpu_ns)));
    startup_cpu.push_back(ms(cpu_ns));
    for (Client& client : clients) {
      // Alternate which goes first, so a slow patch of the machine hits
      // both sides alike.
      double handshake = 0, openssl = 0, handshake_cpu = 0, openssl_used = 0;
      bool ok = true;
      if (round % 2 == 0) {
        ok = openssl_once(client, openssl, openssl_used) &&
             handshake_once(client, handshake, handshake_cpu);
      } else {
        ok = handshake_once(client, handshake, handshake_cpu) &&
             openssl_once(client, openssl, openssl_used);
      }
      if (!ok) continue;
      handshakes[client.size_mib].push_back(handshake);
      openssls[client.size_mib].push_back(openssl);
      ratios[client.size_mib].push_back(handshake / openssl);
      service_cpu[client.size_mib].push_back(handshake_cpu);
      openssl_cpu[client.size_mib].push_back(openssl_used);
      csv << client.size_mib << "," << round << "," << handshake << ","
          << openssl << "," << handshake_cpu << "," << openssl_used << "\n";
    }
  }
  for (Client& client : clients) {
    test::close_child_input(client.child);
    int exit_code = 0;
    test::wait_child(client.child, 5000, exit_code);
    test::release_child(client.child);
  }
  const double startup_ms = summarize(startup).median;
  const double startup_cpu_ms = summarize(startup_cpu).median;
  report(
      "openssl dgst start-up (an empty file): median %.1f ms wall, %.1f "
      "ms CPU\n",
      startup_ms, startup_cpu_ms);
  report(
      "wall time, median: the handshake as the client saw it, the openssl "
      "dgst run\n");
  report("%8s %13s %11s %15s %22s\n", "size", "handshake ms", "openssl ms",
         "median(ratios)", "ratio p10..p90 (n)");
  for (int size : sizes) {
    const Summary h = summarize(handshakes[size]);
    const Summary o = summarize(openssls[size]);
    const Summary r = summarize(ratios[size]);
    report("%5d MiB %13.1f %11.1f %15.2f %11.2f..%.2f (%zu)\n", size, h.median,
           o.median, r.median, r.p10, r.p90, h.count);
  }
  report(
      "CPU time, median: the service per handshake, the openssl process, "
      "the same without its start-up\n");
  report("%8s %13s %11s %15s %22s\n", "size", "service ms", "openssl ms",
         "openssl-startup", "service/(openssl-st.)");
  for (int size : sizes) {
    const double service_ms = summarize(service_cpu[size]).median;
    const double openssl_ms = summarize(openssl_cpu[size]).median;
    const double net_ms = openssl_ms - startup_cpu_ms;
    report("%5d MiB %13.1f %11.1f %15.1f %22.2f\n", size, service_ms,
           openssl_ms, net_ms, net_ms > 0 ? service_ms / net_ms : 0);
    if (size == 64) rehash_cpu_64_ms = service_ms;
  }
}

// ---------------------------------------------------------------- 2, 3

struct Window {
  double cpu_percent = 0;        // service, of one core, over the window
  double floor_cpu_percent = 0;  // the floor process, same window
  long rss_kib = 0, hwm_kib = 0, pss_kib = 0;
  int threads = 0;
  std::vector<double> pong_ms;
  std::string done_line;
};

// CPU share of one core between two readings.
double cpu_percent(std::int64_t cpu_start, std::int64_t cpu_end,
                   std::int64_t wall_start, std::int64_t wall_end) {
  return 100.0 * static_cast<double>(cpu_end - cpu_start) /
         static_cast<double>(wall_end - wall_start);
}

// Runs `seconds` with the service in its present state (plus, when `client`
// is not empty, a sessions client) and measures the service's CPU time over
// the window, and that of `floor_pid` (when > 0) over the same window.
bool measure_window(const Service& service, const std::string& client,
                    int sessions, int interval_ms, int seconds, pid_t floor_pid,
                    Window& window) {
  ChildProcess child;
  if (!client.empty()) {
    std::string line;
    if (!start_client(child, client,
                      {"sessions", "--count", std::to_string(sessions),
                       "--interval-ms", std::to_string(interval_ms)},
                      service, line, 120000)) {
      report("sessions client did not get ready: %s\n", line.c_str());
      test::release_child(child);
      return false;
    }
    // Let the handshakes' worker threads finish their first passes.
    sleep_for_ms(2000);
  }
  const pid_t pid = static_cast<pid_t>(service.process.pid);
  const std::int64_t floor_start =
      floor_pid > 0 ? process_cpu_ns(floor_pid) : 0;
  const std::int64_t cpu_start = process_cpu_ns(pid);
  const std::int64_t wall_start = monotonic_ns();
  for (int second = 0; second < seconds; ++second) {
    sleep_for_ms(1000);
    window.rss_kib = std::max(window.rss_kib, status_kib(pid, "VmRSS"));
  }
  const std::int64_t cpu_end = process_cpu_ns(pid);
  const std::int64_t floor_end = floor_pid > 0 ? process_cpu_ns(floor_pid) : 0;
  const std::int64_t wall_end = monotonic_ns();
  window.cpu_percent = cpu_percent(cpu_start, cpu_end, wall_start, wall_end);
  window.floor_cpu_percent =
      cpu_percent(floor_start, floor_end, wall_start, wall_end);
  window.hwm_kib = status_kib(pid, "VmHWM");
  window.pss_kib = smaps_rollup_kib(pid, "Pss");
  window.threads = thread_count(pid);
  if (!client.empty()) {
    test::close_child_input(child);
    std::string line;
    while (test::read_child_line(child, line, 10000)) {
      if (line.rfind("pong_us ", 0) == 0) {
        window.pong_ms.push_back(std::atof(line.c_str() + 8) / 1000.0);
      } else if (line.rfind("done ", 0) == 0) {
        window.done_line = line;
      }
    }
    int exit_code = 0;
    test::wait_child(child, 5000, exit_code);
    test::release_child(child);
    // The sessions close at their next pass.
    sleep_for_ms(500);
  }
  return true;
}

void report_window(const char* what, int seconds, const Window& w,
                   int sessions) {
  report("%-28s %3d s: service CPU %.3f %% of one core", what, seconds,
         w.cpu_percent);
  if (sessions > 0) {
    report(" (%.4f %% per session)", w.cpu_percent / sessions);
  }
  if (w.floor_cpu_percent > 0) {
    report(", floor %.3f %% (service/floor %.2f)", w.floor_cpu_percent,
           w.cpu_percent / w.floor_cpu_percent);
  }
  report(
      "\n%-28s        VmRSS max %ld KiB, VmHWM %ld KiB, Pss %ld KiB, "
      "threads %d %s\n",
      "", w.rss_kib, w.hwm_kib, w.pss_kib, w.threads, w.done_line.c_str());
}

void bench_sessions(const Options& options, const std::string& bin_dir,
                    const std::string& work_dir, double rehash_cpu_64_ms,
                    std::ostringstream& pong_csv, std::ostringstream& cpu_csv) {
  report(
      "\n== 2./3. service CPU and memory, %d sessions pinging every 5 s "
      "==\n",
      kSessions);
  const std::string small =
      make_client_copy(bin_dir, work_dir + "/client-small", 0);
  const std::string big = work_dir + "/client64/vorn-bench-client";
  struct stat info {};
  ::stat(small.c_str(), &info);
  const double small_mib = static_cast<double>(info.st_size) / kMiB;

  Service service;
  if (!start_service(bin_dir, work_dir, service)) {
    report("the service did not start\n");
    return;
  }
  // The floor: the same system calls per pass from as many threads, in
  // another process, measured over the same windows.
  ChildProcess floor;
  std::string line;
  if (!start_client(floor, small, {"floor", "--threads", "32"}, service, line,
                    10000)) {
    report("the floor process did not start: %s\n", line.c_str());
  }
  Window idle, one, small_run, big_run, fast;
  measure_window(service, "", 0, 0, options.idle_window_s, -1, idle);
  report_window("idle (no session)", options.idle_window_s, idle, 0);
  measure_window(service, small, 1, 5000, options.idle_window_s, -1, one);
  report_window("1 session, small image", options.idle_window_s, one, 1);

  char what[64];
  measure_window(service, small, kSessions, 5000, options.cpu_window_s,
                 static_cast<pid_t>(floor.pid), small_run);
  std::snprintf(what, sizeof what, "%d sessions, %.1f MiB image", kSessions,
                small_mib);
  report_window(what, options.cpu_window_s, small_run, kSessions);
  measure_window(service, big, kSessions, 5000, options.cpu_window_s,
                 static_cast<pid_t>(floor.pid), big_run);
  std::snprintf(what, sizeof what, "%d sessions, 64 MiB image", kSessions);
  report_window(what, options.cpu_window_s, big_run, kSessions);
  test::close_child_input(floor);
  int floor_exit = 0;
  test::wait_child(floor, 5000, floor_exit);
  test::release_child(floor);

  const double per_session =
      (big_run.cpu_percent - idle.cpu_percent) / kSessions;
  const double rehash = 100.0 * (rehash_cpu_64_ms / 1000.0) / kRecheckIntervalS;
  report(
      "per session with a 64 MiB image: %.4f %% of one core (idle "
      "subtracted; all of it: 5 passes a second, the PINGs, the re-checks)"
      "\n",
      per_session);
  report(
      "64 MiB minus small image, per session: %+.4f %% of one core (what "
      "the larger files add to the re-checks)\n",
      (big_run.cpu_percent - small_run.cpu_percent) / kSessions);
  report(
      "re-hashing at every re-check would add about %.3f %% per session "
      "(the service's CPU for one 64 MiB handshake, %.1f ms, every %.0f "
      "s)\n",
      rehash, rehash_cpu_64_ms, kRecheckIntervalS);

  measure_window(service, small, kSessions, 1000, options.latency_window_s, -1,
                 fast);
  report_window("32 sessions pinging every 1 s", options.latency_window_s, fast,
                kSessions);

  cpu_csv << "window,seconds,sessions,cpu_percent,floor_cpu_percent,rss_kib,"
             "pss_kib\n";
  const struct {
    const char* name;
    int seconds, sessions;
    const Window* w;
  } windows[] = {{"idle", options.idle_window_s, 0, &idle},
                 {"one_small", options.idle_window_s, 1, &one},
                 {"small_5s", options.cpu_window_s, kSessions, &small_run},
                 {"big_5s", options.cpu_window_s, kSessions, &big_run},
                 {"small_1s", options.latency_window_s, kSessions, &fast}};
  for (const auto& w : windows) {
    cpu_csv << w.name << "," << w.seconds << "," << w.sessions << ","
            << w.w->cpu_percent << "," << w.w->floor_cpu_percent << ","
            << w.w->rss_kib << "," << w.w->pss_kib << "\n";
  }

  std::vector<double> all;
  pong_csv << "run,latency_ms\n";
  const std::pair<const char*, const Window*> runs[] = {
      {"small_5s", &small_run}, {"big_5s", &big_run}, {"small_1s", &fast}};
  for (const auto& [name, run] : runs) {
    for (double value : run->pong_ms) {
      pong_csv << name << "," << value << "\n";
      all.push_back(value);
    }
    report("PONG latency %-9s %s\n", name,
           describe(summarize(run->pong_ms), "ms").c_str());
  }
  report("PONG latency all       %s\n", describe(summarize(all), "ms").c_str());

  int exit_code = -1;
  stop_service(service, exit_code);
  const auto counts = count_log_lines(service);
  report("log: READY %d CLOSED %d ENFORCEMENT %d (service exit code %d)\n",
         count_of(counts, "SESSION READY"), count_of(counts, "SESSION CLOSED"),
         count_of(counts, "ENFORCEMENT"), exit_code);
}

// ---------------------------------------------------------------- 4

void bench_enforcement(const Options& options, const std::string& bin_dir,
                       const std::string& work_dir, std::ostringstream& csv) {
  report("\n== 4. enforcement after the last PING (%d clients) ==\n",
         options.enforcement_clients);
  const std::string client = work_dir + "/client-small/vorn-bench-client";
  Service service;
  if (!start_service(bin_dir, work_dir, service)) {
    report("the service did not start\n");
    return;
  }
  struct Held {
    ChildProcess child;
    std::int64_t sent_ns = 0, pong_ns = 0, death_ns = 0;
  };
  std::vector<Held> held(static_cast<std::size_t>(options.enforcement_clients));
  for (std::size_t i = 0; i < held.size(); ++i) {
    std::string line;
    if (!start_client(held[i].child, client, {"hold"}, service, line, 20000)) {
      report("hold client did not start: %s\n", line.c_str());
    }
    long long sent = 0, pong = 0;
    if (!test::read_child_line(held[i].child, line, 20000) ||
        std::sscanf(line.c_str(), "pinged %lld %lld", &sent, &pong) != 2) {
      report("hold client: no PONG: %s\n", line.c_str());
    }
    held[i].sent_ns = sent;
    held[i].pong_ns = pong;
    // Spread the clients over the service's 200 ms pass.
    sleep_for_ms(37);
  }
  const std::int64_t give_up = monotonic_ns() + 30000000000LL;
  std::size_t left = held.size();
  while (left > 0 && monotonic_ns() < give_up) {
    for (Held& h : held) {
      if (h.child.pid == 0 || h.death_ns != 0) continue;
      int exit_code = 0;
      if (test::wait_child(h.child, 0, exit_code)) {
        h.death_ns = monotonic_ns();
        --left;
      }
    }
    sleep_for_ms(1);
  }
  std::vector<double> after_ping, after_pong;
  csv << "after_ping_ms,after_pong_ms\n";
  for (Held& h : held) {
    test::release_child(h.child);
    if (h.death_ns == 0 || h.sent_ns == 0) continue;
    after_ping.push_back(ms(h.death_ns - h.sent_ns));
    after_pong.push_back(ms(h.death_ns - h.pong_ns));
    csv << after_ping.back() << "," << after_pong.back() << "\n";
  }
  report("terminated after the last PING was sent: %s\n",
         describe(summarize(after_ping), "ms").c_str());
  report("terminated after its PONG arrived:       %s\n",
         describe(summarize(after_pong), "ms").c_str());
  int exit_code = -1;
  stop_service(service, exit_code);
  const auto counts = count_log_lines(service);
  report("log: LOCAL_GUARD_HEARTBEAT_TIMEOUT %d of %zu clients\n",
         count_of(counts, "LOCAL_GUARD_HEARTBEAT_TIMEOUT"), held.size());
}

// ---------------------------------------------------------------- 5

void bench_stop(const Options& options, const std::string& bin_dir,
                const std::string& work_dir, std::ostringstream& csv) {
  report("\n== 5. SIGTERM to exit ==\n");
  const std::string client = work_dir + "/client-small/vorn-bench-client";
  csv << "sessions,stop_ms,exit_code\n";
  // 31 sessions leave the listener waiting for a client; at 32 it is at the
  // instance limit and pauses between attempts.
  for (int sessions : {0, kSessions - 1, kSessions}) {
    std::vector<double> times;
    for (int i = 0; i < options.stop_repeats; ++i) {
      Service service;
      if (!start_service(bin_dir, work_dir, service)) continue;
      ChildProcess child;
      std::string line;
      if (sessions > 0 &&
          !start_client(child, client,
                        {"sessions", "--count", std::to_string(sessions),
                         "--interval-ms", "5000"},
                        service, line, 60000)) {
        report("sessions client did not get ready: %s\n", line.c_str());
      }
      // Stop at a different point of the 200 ms pass each time.
      sleep_for_ms(1000 + 61 * i);
      int exit_code = -1;
      const double stop_ms = stop_service(service, exit_code);
      times.push_back(stop_ms);
      csv << sessions << "," << stop_ms << "," << exit_code << "\n";
      test::close_child_input(child);
      // A stop ends sessions without terminating their client, which then
      // ends by itself with 0.
      int client_exit = -1;
      test::wait_child(child, 5000, client_exit);
      test::release_child(child);
      const auto counts = count_log_lines(service);
      report(
          "  %2d sessions: stop %.1f ms, exit code %d, READY %d CLOSED %d "
          "ENFORCEMENT %d, client exit code %d\n",
          sessions, stop_ms, exit_code, count_of(counts, "SESSION READY"),
          count_of(counts, "SESSION CLOSED"), count_of(counts, "ENFORCEMENT"),
          client_exit);
    }
    report("SIGTERM to exit, %d sessions: %s\n", sessions,
           describe(summarize(times), "ms").c_str());
  }
}

int usage() {
  std::fputs(
      "usage: vorn-service-bench [--out DIR] [--quick]\n"
      "  --out DIR  also write the samples (CSV) and summary.txt there\n"
      "  --quick    short windows and few rounds (a smoke run)\n",
      stderr);
  return 1;
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
  using namespace vorn::bench;
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--out" && i + 1 < argc) {
      options.out_dir = argv[++i];
    } else if (argument == "--quick") {
      options.handshake_rounds = 4;
      options.cpu_window_s = 10;
      options.idle_window_s = 5;
      options.latency_window_s = 5;
      options.enforcement_clients = 3;
      options.stop_repeats = 1;
    } else {
      return usage();
    }
  }
  const std::string bin_dir = vorn::test::binary_directory();
  const vorn::test::TempDir work;
  const std::string work_dir = work.path();
  if (work_dir.empty()) return 2;
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  report("vorn-service-bench on %s, %ld CPUs online\n", host,
         ::sysconf(_SC_NPROCESSORS_ONLN));

  std::ostringstream handshake_csv, pong_csv, enforcement_csv, stop_csv,
      cpu_csv;
  double rehash_cpu_64_ms = 0;
  {
    Service service;
    if (!start_service(bin_dir, work_dir, service)) {
      report("the service did not start (%s)\n", bin_dir.c_str());
      return 2;
    }
    bench_handshake(options, bin_dir, work_dir, service, handshake_csv,
                    rehash_cpu_64_ms);
    int exit_code = 0;
    stop_service(service, exit_code);
  }
  bench_sessions(options, bin_dir, work_dir, rehash_cpu_64_ms, pong_csv,
                 cpu_csv);
  bench_enforcement(options, bin_dir, work_dir, enforcement_csv);
  bench_stop(options, bin_dir, work_dir, stop_csv);

  if (!options.out_dir.empty()) {
    ::mkdir(options.out_dir.c_str(), 0755);
    vorn::test::write_file(options.out_dir + "/handshake.csv",
                           handshake_csv.str());
    vorn::test::write_file(options.out_dir + "/pong.csv", pong_csv.str());
    vorn::test::write_file(options.out_dir + "/cpu.csv", cpu_csv.str());
    vorn::test::write_file(options.out_dir + "/enforcement.csv",
                           enforcement_csv.str());
    vorn::test::write_file(options.out_dir + "/stop.csv", stop_csv.str());
    vorn::test::write_file(options.out_dir + "/summary.txt", g_report);
  }
  return 0;
}
