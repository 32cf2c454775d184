#include "support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

#include "support/patience.h"

extern char** environ;

namespace vorn::test {

namespace {

// Exit codes of children already reaped, so a second wait_child still has
// the answer.
std::mutex g_reaped_mutex;
std::map<pid_t, int> g_reaped;

std::vector<std::string> merged_environment(
    const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    bool replaced = false;
    for (const auto& [name, value] : extra) {
      if (text.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
    }
    if (!replaced) entries.push_back(text);
  }
  for (const auto& [name, value] : extra) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void pause_ms(long ms) {
  timespec pause{0, ms * 1000000L};
  while (::nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

}  // namespace

namespace {

// posix_spawn with the test's environment plus `environment`.
bool spawn_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment,
    const posix_spawn_file_actions_t& actions, bool own_session) {
  std::vector<std::string> argument_texts;
  argument_texts.push_back(program);
  argument_texts.insert(argument_texts.end(), arguments.begin(),
                        arguments.end());
  std::vector<std::string> environment_texts = merged_environment(environment);
  std::vector<char*> argv = pointers_to(argument_texts);
  std::vector<char*> envp = pointers_to(environment_texts);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_session) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int result = posix_spawn(&pid, program.c_str(), &actions, &attributes,
                                 argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  if (result != 0) return false;
  child.handle = pid;
  child.pid = static_cast<std::uint32_t>(pid);
  child.running = true;
  return true;
}

void close_descriptor(std::intptr_t& fd) {
  if (fd >= 0) ::close(static_cast<int>(fd));
  fd = -1;
}

}  // namespace

bool start_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment,
    const std::string& stdout_file, bool own_session,
    const std::string& stderr_file) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  const auto capture = [&](int fd, const std::string& file) {
    return file.empty() || posix_spawn_file_actions_addopen(
                               &actions, fd, file.c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC, 0644) == 0;
  };
  const bool started =
      capture(STDOUT_FILENO, stdout_file) &&
      capture(STDERR_FILENO, stderr_file) &&
      spawn_child(child, program, arguments, environment, actions, own_session);
  posix_spawn_file_actions_destroy(&actions);
  return started;
}

bool start_piped_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment) {
  int to_child[2] = {-1, -1};
  int from_child[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  // dup2 clears close-on-exec on the child's copies only.
  const bool started =
      ::pipe2(to_child, O_CLOEXEC) == 0 &&
      ::pipe2(from_child, O_CLOEXEC) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO) ==
          0 &&
      posix_spawn_file_actions_adddup2(&actions, from_child[1],
                                       STDOUT_FILENO) == 0 &&
      spawn_child(child, program, arguments, environment, actions, false);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {to_child[0], from_child[1]}) {
    if (fd >= 0) ::close(fd);
  }
  child.input = to_child[1];
  child.output = from_child[0];
  child.pending.clear();
  if (!started) {
    close_descriptor(child.input);
    close_descriptor(child.output);
  }
  return started;
}

bool read_child_line(ChildProcess& child, std::string& line,
                     unsigned timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::size_t end = child.pending.find('\n');
    if (end != std::string::npos) {
      line = child.pending.substr(0, end);
      child.pending.erase(0, end + 1);
      return true;
    }
    if (child.output < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    pollfd entry{static_cast<int>(child.output), POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[4096];
    const ssize_t count =
        ::read(static_cast<int>(child.output), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      close_descriptor(child.output);
      continue;
    }
    child.pending.append(chunk, static_cast<std::size_t>(count));
  }
}

bool write_child_line(ChildProcess& child, const std::string& line) {
  if (child.input < 0) return false;
  // A child that has ended must not end this process with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(static_cast<int>(child.input),
                                    text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

void close_child_input(ChildProcess& child) { close_descriptor(child.input); }

bool wait_child(ChildProcess& child, unsigned idle_ms, int& exit_code) {
  const unsigned timeout_ms = patient_ms(idle_ms);
  const pid_t pid = static_cast<pid_t>(child.handle);
  if (pid <= 0) return false;
  if (!child.running) {
    std::lock_guard<std::mutex> lock(g_reaped_mutex);
    const auto found = g_reaped.find(pid);
    if (found == g_reaped.end()) return false;
    exit_code = found->second;
    return true;
  }
  // Naps of 1 ms: how long a child took to end can be read to about a
  // millisecond (the benchmarks time the service's stop this way).
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t result = ::waitpid(pid, &status, WNOHANG);
    if (result == pid) {
      exit_code = exit_code_of(status);
      child.running = false;
      std::lock_guard<std::mutex> lock(g_reaped_mutex);
      g_reaped[pid] = exit_code;
      return true;
    }
    if (result < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pause_ms(1);
  }
}

void kill_child(ChildProcess& child) {
  // Only an unreaped child: its pid cannot have been reused yet.
  if (child.running && child.handle > 0) {
    ::kill(static_cast<pid_t>(child.handle), SIGKILL);
  }
}

void release_child(ChildProcess& child) {
  const pid_t pid = static_cast<pid_t>(child.handle);
  if (child.running && pid > 0) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (pid > 0) {
    std::lock_guard<std::mutex> lock(g_reaped_mutex);
    g_reaped.erase(pid);
  }
  close_descriptor(child.input);
  close_descriptor(child.output);
  child.pending.clear();
  child.handle = 0;
  child.pid = 0;
  child.running = false;
}

std::string binary_directory() {
  char buffer[4096];
  const ssize_t length =
      ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return ".";
  const std::string path(buffer, static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string executable_name(const std::string& base) { return base; }

bool under_wine() { return false; }

}  // namespace vorn::test
