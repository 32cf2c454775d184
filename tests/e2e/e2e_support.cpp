#include "e2e/e2e_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "e2e/service_log_reader.h"
#include "platform/system.h"
#include "protocol/message_fields.h"
#include "support/patience.h"
#include "support/temp_dir.h"

namespace vorn::test {

namespace {

std::string probe_path() {
  return binary_directory() + os::path_separator() +
         executable_name("vorn-guard-probe");
}

std::string next_output_file(const ServiceRun& run) {
  static std::atomic<unsigned> counter{0};
  return run.dir->file("probe-" + std::to_string(++counter) + ".out");
}

unsigned elapsed_since(std::chrono::steady_clock::time_point start) {
  return static_cast<unsigned>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start)
          .count());
}

}  // namespace

std::string read_probe_output(const std::string& path) {
  std::string text = read_file(path);
  std::string normal;
  normal.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    normal.push_back(text[i]);
  }
  return normal;
}

std::string probe_file_name() { return executable_name("vorn-guard-probe"); }

std::string pid_text(unsigned pid) { return format_decimal_u32(pid); }

void write_trusted_list(const ServiceRun& run, const std::string& text) {
  for (const std::string& path : trusted_digests_paths(run)) {
    write_file(path, text);
  }
}

void remove_trusted_list(const ServiceRun& run) {
  for (const std::string& path : trusted_digests_paths(run)) {
    std::remove(path.c_str());
  }
}

std::string wait_ended_by_recheck(const ServiceRun& run, ChildProcess& client) {
  const std::string line = "ENFORCEMENT pid=" + pid_text(client.pid) +
                           " reason=RUNTIME_INTEGRITY_CHANGED";
  int exit_code = 0;
  const bool logged = wait_for_log_line(run, line, 45000);
  const bool ended = wait_child(client, 30000, exit_code);
  release_child(client);
  if (!logged) return "no line " + line;
  if (!ended || exit_code != terminated_exit_code()) {
    return "the client was not terminated (exit code " +
           std::to_string(exit_code) + ")";
  }
  return "";
}

std::vector<std::string> patient_probe(std::vector<std::string> arguments) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] != "--wait-ms") continue;
    const unsigned long idle_ms =
        std::strtoul(arguments[i + 1].c_str(), nullptr, 10);
    arguments[i + 1] =
        std::to_string(patient_ms(static_cast<unsigned>(idle_ms)));
  }
  return arguments;
}

bool start_probe(const ServiceRun& run,
                 const std::vector<std::string>& arguments, ChildProcess& child,
                 const std::string& output_file) {
  return start_child(child, probe_path(), patient_probe(arguments),
                     client_environment(run), output_file);
}

ProbeResult run_probe(const ServiceRun& run,
                      const std::vector<std::string>& arguments,
                      unsigned timeout_ms, const Environment& changes) {
  ProbeResult result;
  const std::string output_file = next_output_file(run);
  Environment environment = client_environment(run);
  for (const auto& change : changes) {
    environment.erase(std::remove_if(environment.begin(), environment.end(),
                                     [&](const auto& entry) {
                                       return entry.first == change.first;
                                     }),
                      environment.end());
    environment.push_back(change);
  }
  ChildProcess child;
  const auto start = std::chrono::steady_clock::now();
  if (!start_child(child, probe_path(), patient_probe(arguments), environment,
                   output_file)) {
    return result;
  }
  result.ended = wait_child(child, timeout_ms, result.exit_code);
  result.elapsed_ms = elapsed_since(start);
  release_child(child);
  result.output = read_probe_output(output_file);
  return result;
}

}  // namespace vorn::test
