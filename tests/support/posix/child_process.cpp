#include "support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

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

bool start_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment,
    const std::string& stdout_file, bool own_session) {
  std::vector<std::string> argument_texts;
  argument_texts.push_back(program);
  argument_texts.insert(argument_texts.end(), arguments.begin(),
                        arguments.end());
  std::vector<std::string> environment_texts = merged_environment(environment);
  std::vector<char*> argv = pointers_to(argument_texts);
  std::vector<char*> envp = pointers_to(environment_texts);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (!stdout_file.empty() && posix_spawn_file_actions_addopen(
                                  &actions, STDOUT_FILENO, stdout_file.c_str(),
                                  O_WRONLY | O_CREAT | O_TRUNC, 0644) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_session) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int result = posix_spawn(&pid, program.c_str(), &actions, &attributes,
                                 argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return false;
  child.handle = pid;
  child.pid = static_cast<std::uint32_t>(pid);
  child.running = true;
  return true;
}

bool wait_child(ChildProcess& child, unsigned timeout_ms, int& exit_code) {
  const pid_t pid = static_cast<pid_t>(child.handle);
  if (pid <= 0) return false;
  if (!child.running) {
    std::lock_guard<std::mutex> lock(g_reaped_mutex);
    const auto found = g_reaped.find(pid);
    if (found == g_reaped.end()) return false;
    exit_code = found->second;
    return true;
  }
  constexpr unsigned kStepMs = 10;
  for (unsigned waited = 0;; waited += kStepMs) {
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
    if (waited >= timeout_ms) return false;
    pause_ms(kStepMs);
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

}  // namespace vorn::test
