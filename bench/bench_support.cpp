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

extern char** environ;

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

std::string make_temp_dir(const char* prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                        "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return "";
  return buffer.data();
}

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}
}  // namespace

void remove_tree(const std::string& path) {
  if (path.empty()) return;
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string directory_of(const std::string& path) {
  const std::size_t last = path.rfind('/');
  return last == std::string::npos ? std::string(".") : path.substr(0, last);
}

std::string own_directory() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return ".";
  return directory_of(std::string(buffer, static_cast<std::size_t>(length)));
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

bool write_text(const std::string& path, const std::string& text) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  return fd.fd >= 0 && write_all(fd.fd, text.data(), text.size());
}

std::string make_client_copy(const std::string& bin_dir,
                             const std::string& target_dir,
                             std::uint64_t size) {
  ::mkdir(target_dir.c_str(), 0755);
  const std::string client = target_dir + "/vorn-bench-client";
  if (!copy_file(bin_dir + "/vorn-bench-client", client, 0755) ||
      !copy_file(bin_dir + "/libvorn_guard.so",
                 target_dir + "/libvorn_guard.so", 0644)) {
    return "";
  }
  if (size > 0 && !pad_file(client, size)) return "";
  return client;
}

// ---------------------------------------------------------------- children

bool spawn(Child& child, const std::string& program,
           const std::vector<std::string>& arguments,
           const Environment& environment, bool pipes,
           const std::string& stdout_path) {
  // Everything the child needs is built before fork: only async-signal-safe
  // calls happen between fork and exec.
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    const bool replaced =
        std::any_of(environment.begin(), environment.end(),
                    [&](const auto& pair) { return pair.first == name; });
    if (!replaced) env_text.push_back(text);
  }
  for (const auto& [name, value] : environment) {
    env_text.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (std::string& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);

  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  if (pipes &&
      (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0)) {
    return false;
  }
  int out_file = -1;
  if (!pipes && !stdout_path.empty()) {
    out_file = ::open(stdout_path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_file < 0) return false;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (pipes) {
      ::dup2(in_pipe[0], 0);
      ::dup2(out_pipe[1], 1);
    } else if (out_file >= 0) {
      ::dup2(out_file, 1);
      ::dup2(out_file, 2);
    }
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  if (out_file >= 0) ::close(out_file);
  if (pipes) {
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    if (pid < 0) {
      ::close(in_pipe[1]);
      ::close(out_pipe[0]);
      return false;
    }
    child.stdin_fd = in_pipe[1];
    child.stdout_fd = out_pipe[0];
  }
  if (pid < 0) return false;
  child.pid = pid;
  child.pending.clear();
  return true;
}

bool read_line(Child& child, std::string& line, int timeout_ms) {
  const std::int64_t deadline = monotonic_ns() + timeout_ms * 1000000LL;
  for (;;) {
    const std::size_t end = child.pending.find('\n');
    if (end != std::string::npos) {
      line = child.pending.substr(0, end);
      child.pending.erase(0, end + 1);
      return true;
    }
    if (child.stdout_fd < 0) return false;
    const std::int64_t left = deadline - monotonic_ns();
    if (left <= 0) return false;
    pollfd entry{child.stdout_fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left / 1000000 + 1));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[4096];
    const ssize_t count = ::read(child.stdout_fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      ::close(child.stdout_fd);
      child.stdout_fd = -1;
      continue;
    }
    child.pending.append(chunk, static_cast<std::size_t>(count));
  }
}

bool write_line(Child& child, const std::string& line) {
  if (child.stdin_fd < 0) return false;
  const std::string text = line + "\n";
  // A child that ended must not kill the harness with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  return write_all(child.stdin_fd, text.data(), text.size());
}

void close_stdin(Child& child) {
  if (child.stdin_fd >= 0) ::close(child.stdin_fd);
  child.stdin_fd = -1;
}

bool wait_exit(Child& child, int timeout_ms, int& exit_code) {
  if (child.pid <= 0) return false;
  const std::int64_t deadline = monotonic_ns() + timeout_ms * 1000000LL;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(child.pid, &status, WNOHANG);
    if (done == child.pid) {
      exit_code =
          WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      child.pid = -1;
      close_stdin(child);
      if (child.stdout_fd >= 0) ::close(child.stdout_fd);
      child.stdout_fd = -1;
      return true;
    }
    if (done < 0 && errno != EINTR) return false;
    if (monotonic_ns() >= deadline) return false;
    sleep_for_ms(1);
  }
}

void kill_and_reap(Child& child) {
  if (child.pid > 0) {
    ::kill(child.pid, SIGKILL);
    int exit_code = 0;
    wait_exit(child, 5000, exit_code);
  }
  close_stdin(child);
  if (child.stdout_fd >= 0) ::close(child.stdout_fd);
  child.stdout_fd = -1;
}

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
