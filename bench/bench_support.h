// Small helpers shared by the benchmark programs (Linux only): timing,
// figures over samples, padded client copies, timed commands and what /proc
// tells about the service.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::bench {

// CLOCK_MONOTONIC in nanoseconds; the same clock in every process, so times
// taken by a client and by the harness can be subtracted.
std::int64_t monotonic_ns();
void sleep_for_ms(std::int64_t ms);

// ---------------------------------------------------------------- figures
struct Summary {
  std::size_t count = 0;
  double min = 0, p10 = 0, median = 0, p90 = 0, p99 = 0, max = 0, mean = 0;
};
// Nearest-rank percentile of unsorted samples; 0 for none.
double percentile(std::vector<double> samples, double fraction);
Summary summarize(const std::vector<double>& samples);
std::string describe(const Summary& summary, const char* unit);

// ---------------------------------------------------------------- files
// Temporary folders, child processes driven over pipes, the binary
// folder and whole-file writes come from the tests' support library
// (support/temp_dir.h, support/child_process.h).
std::string directory_of(const std::string& path);
bool copy_file(const std::string& from, const std::string& to, mode_t mode);
// Pads the file with bytes after its end up to `size` bytes. An ELF program
// ignores bytes after its last section, so the copy still runs.
bool pad_file(const std::string& path, std::uint64_t size);

// A directory holding a copy of vorn-bench-client padded to `size` bytes (0:
// unpadded; `sparse`: with a hole, which hashes as fast and costs no disk)
// and a copy of libvorn_guard.so.1 beside it, so the client loads that copy.
// Returns the client's path, empty on failure.
std::string make_client_copy(const std::string& bin_dir,
                             const std::string& target_dir, std::uint64_t size,
                             bool sparse = false);

// ---------------------------------------------------------------- commands
// Runs a program to its end with stdout and stderr discarded; the wall time
// from fork to reaped exit in nanoseconds, -1 on failure. `cpu_ns`, when
// given, receives the program's user plus system CPU time.
std::int64_t time_command(const std::vector<std::string>& argv,
                          std::int64_t* cpu_ns = nullptr);

// ---------------------------------------------------------------- /proc
// User plus system CPU time of the whole process, threads that have ended
// included (clock_getcpuclockid), in nanoseconds; -1 on failure.
std::int64_t process_cpu_ns(pid_t pid);
// A "Name:   value kB" figure of /proc/<pid>/status in KiB; -1 if missing.
long status_kib(pid_t pid, const char* name);
int thread_count(pid_t pid);
// A "Name:   value kB" figure of /proc/<pid>/smaps_rollup (Pss: the
// process's fair share of pages it shares with others); -1 if missing.
long smaps_rollup_kib(pid_t pid, const char* name);

}  // namespace vorn::bench
