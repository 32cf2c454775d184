#include "bench_support.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace vorn::bench {

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void sleep_for_ms(std::int64_t ms) {
  timespec wait{};
  wait.tv_sec = static_cast<time_t>(ms / 1000);
  wait.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------- figures

double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double rank = std::ceil(fraction * static_cast<double>(samples.size()));
  std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  index = std::min(index, samples.size() - 1);
  return samples[index];
}

Summary summarize(const std::vector<double>& samples) {
  Summary summary;
  summary.count = samples.size();
  if (samples.empty()) return summary;
  summary.min = *std::min_element(samples.begin(), samples.end());
  summary.max = *std::max_element(samples.begin(), samples.end());
  summary.p10 = percentile(samples, 0.10);
  summary.median = percentile(samples, 0.50);
  summary.p90 = percentile(samples, 0.90);
  summary.p99 = percentile(samples, 0.99);
  double total = 0;
  for (double sample : samples) total += sample;
  summary.mean = total / static_cast<double>(samples.size());
  return summary;
}

std::string describe(const Summary& s, const char* unit) {
  char text[256];
  std::snprintf(text, sizeof text,
                "n=%zu min=%.2f p10=%.2f median=%.2f p90=%.2f p99=%.2f "
                "max=%.2f mean=%.2f %s",
                s.count, s.min, s.p10, s.median, s.p90, s.p99, s.max, s.mean,
                unit);
  return text;
}

// ---------------------------------------------------------------- files

std::string directory_of(const std::string& path) {
  const std::size_t last = path.rfind('/');
  return last == std::string::npos ? std::string(".") : path.substr(0, last);
}

namespace {

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

}  // namespace

bool copy_file(const std::string& from, const std::string& to, mode_t mode) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (in.fd < 0 || out.fd < 0) return false;
  std::vector<char> chunk(1 << 20);
  for (;;) {
    const ssize_t count = ::read(in.fd, chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return true;
    if (!write_all(out.fd, chunk.data(), static_cast<std::size_t>(count))) {
      return false;
    }
  }
}

bool pad_file(const std::string& path, std::uint64_t size) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  struct stat info {};
  if (fd.fd < 0 || ::fstat(fd.fd, &info) != 0) return false;
  std::uint64_t current = static_cast<std::uint64_t>(info.st_size);
  // Real bytes, not a hole: a sparse file would let every read skip the
  // page cache's copy and flatter the hash time.
  std::vector<char> chunk(1 << 20);
  std::uint32_t state = 0x9E3779B9u;
  for (char& byte : chunk) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  while (current < size) {
    const std::size_t count = static_cast<std::size_t>(
        std::min<std::uint64_t>(chunk.size(), size - current));
    if (!write_all(fd.fd, chunk.data(), count)) return false;
    current += count;
  }
  return true;
}

std::string make_client_copy(const std::string& bin_dir,
                             const std::string& target_dir, std::uint64_t size,
                             bool sparse) {
  ::mkdir(target_dir.c_str(), 0755);
  const std::string client = target_dir + "/vorn-bench-client";
  if (!copy_file(bin_dir + "/vorn-bench-client", client, 0755) ||
      !copy_file(bin_dir + "/libvorn_guard.so.1",
                 target_dir + "/libvorn_guard.so.1", 0644)) {
    return "";
  }
  if (size == 0) return client;
  if (sparse) {
    return ::truncate(client.c_str(), static_cast<off_t>(size)) == 0 ? client
                                                                     : "";
  }
  return pad_file(client, size) ? client : "";
}

// ---------------------------------------------------------------- commands

std::int64_t time_command(const std::vector<std::string>& argv_text,
                          std::int64_t* cpu_ns) {
  std::vector<std::string> copy = argv_text;
  std::vector<char*> argv;
  for (std::string& text : copy) argv.push_back(text.data());
  argv.push_back(nullptr);
  const std::int64_t start = monotonic_ns();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const std::int64_t elapsed = monotonic_ns() - start;
  if (cpu_ns != nullptr) {
    auto ns = [](const timeval& value) {
      return static_cast<std::int64_t>(value.tv_sec) * 1000000000LL +
             static_cast<std::int64_t>(value.tv_usec) * 1000;
    };
    *cpu_ns = ns(usage.ru_utime) + ns(usage.ru_stime);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return elapsed;
}

// ---------------------------------------------------------------- /proc

std::int64_t process_cpu_ns(pid_t pid) {
  clockid_t clock = 0;
  timespec value{};
  if (clock_getcpuclockid(pid, &clock) != 0 ||
      clock_gettime(clock, &value) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>(value.tv_sec) * 1000000000LL + value.tv_nsec;
}

namespace {
std::string proc_text(pid_t pid, const char* entry) {
  std::string text = "\n";  // so that every key follows a line feed
  Fd fd(::open(("/proc/" + std::to_string(pid) + "/" + entry).c_str(),
               O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) return text;
  char chunk[4096];
  ssize_t count = 0;
  while ((count = ::read(fd.fd, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(count));
  }
  return text;
}
long kib_field(const std::string& text, const char* name) {
  const std::string key = std::string("\n") + name + ":";
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}
}  // namespace

long status_kib(pid_t pid, const char* name) {
  return kib_field(proc_text(pid, "status"), name);
}

long smaps_rollup_kib(pid_t pid, const char* name) {
  return kib_field(proc_text(pid, "smaps_rollup"), name);
}

int thread_count(pid_t pid) {
  return static_cast<int>(status_kib(pid, "Threads"));
}

}  // namespace vorn::bench
