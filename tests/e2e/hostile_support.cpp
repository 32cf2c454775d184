#include "e2e/hostile_support.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "e2e/e2e_support.h"
#include "integrity/integrity.h"
#include "probe/guard_loader.h"
#include "protocol/message_fields.h"
#include "support/child_process.h"
#include "support/patience.h"
#include "support/temp_dir.h"

namespace vorn::test {

namespace {

// At least 12 bytes, as the service wants.
constexpr char kClientTag[] = "e2e-hostile-suite";

struct TestProcessEvidence {
  bool ready = false;
  std::string error;
  std::string hello;
  std::string file_name;
};

std::mutex g_evidence_mutex;
TestProcessEvidence g_evidence;

// The module stays loaded until the process ends: the service checks for it
// in this process for as long as any of its sessions runs.
bool load_once(TestProcessEvidence& evidence) {
  static probe::GuardLibrary library;
  const std::string module = binary_directory() + os::path_separator() +
                             probe::guard_module_file_name();
  if (const os::Error error = probe::load_guard_library(module, library)) {
    evidence.error = error.words();
    return false;
  }
  std::string mapped;
  if (!probe::guard_library_file(library, mapped)) mapped = module;
  std::string executable;
  std::string evidence_1;
  std::string evidence_2;
  if (!os::current_executable_path(executable) ||
      !file_evidence(executable, evidence_1) ||
      !file_evidence(mapped, evidence_2)) {
    evidence.error = "cannot hash " + executable + " or " + mapped;
    return false;
  }
  evidence.hello = "HELLO|" + format_decimal_u32(os::current_process_id()) +
                   "|" + kClientTag + "|" + evidence_1 + "|" + evidence_2;
  evidence.file_name = file_name_from_path(executable);
  return true;
}

}  // namespace

// ------------------------------------------------------- in-process clients

bool prepare_test_process_client(std::string& error) {
  std::lock_guard<std::mutex> lock(g_evidence_mutex);
  if (!g_evidence.ready && g_evidence.error.empty()) {
    g_evidence.ready = load_once(g_evidence);
  }
  error = g_evidence.error;
  return g_evidence.ready;
}

std::string test_process_hello() {
  std::lock_guard<std::mutex> lock(g_evidence_mutex);
  return g_evidence.hello;
}

unsigned test_process_pid() { return os::current_process_id(); }

std::string test_process_file_name() {
  std::lock_guard<std::mutex> lock(g_evidence_mutex);
  return g_evidence.file_name;
}

void aim_clients_at(const ServiceRun& run) {
  for (const auto& [name, value] : client_environment(run)) {
    set_env(name, value);
  }
}

bool client_open(Client& client, std::uint32_t timeout_ms) {
  client.connection.close();
  return os::client_connect(client.connection, timeout_ms) ==
         os::ConnectResult::connected;
}

bool client_send(Client& client, const std::string& message) {
  return os::client_write(client.connection, message.data(), message.size());
}

Received client_receive(Client& client, std::string& message,
                        std::uint32_t timeout_ms) {
  bool closed = false;
  if (os::client_read(client.connection, message, timeout_ms, closed)) {
    return Received::message;
  }
  return closed ? Received::closed : Received::nothing;
}

bool client_wait_closed(Client& client, std::uint32_t timeout_ms,
                        std::string& message) {
  const std::uint64_t start = now_ms();
  for (;;) {
    const std::uint64_t elapsed = now_ms() - start;
    if (elapsed >= timeout_ms) return false;
    switch (client_receive(client, message,
                           static_cast<std::uint32_t>(timeout_ms - elapsed))) {
      case Received::closed:
        return true;
      case Received::message:
        return false;
      case Received::nothing:
        break;
    }
  }
}

bool session_open(Session& session, std::uint32_t timeout_ms,
                  std::string& error) {
  const std::string hello = test_process_hello();
  if (hello.empty()) {
    error = "the test process is not prepared as a client";
    return false;
  }
  const std::uint32_t limit_ms = patient_ms(timeout_ms);
  if (!client_open(session.client, limit_ms)) {
    error = "connect failed";
    return false;
  }
  if (!client_send(session.client, hello)) {
    error = "HELLO not sent";
    return false;
  }
  std::string reply;
  if (client_receive(session.client, reply, limit_ms) != Received::message) {
    error = "no reply to HELLO";
    return false;
  }
  // "OK|" + 64 digits + "|1.0.0\n"
  const FieldList fields = split_fields(reply);
  if (fields.size() != 3 || fields[0] != "OK" || fields[1].size() != 64 ||
      fields[2] != "1.0.0\n") {
    error = "unexpected reply to HELLO: " + reply;
    return false;
  }
  session.token = fields[1];
  session.sequence = 0;
  return true;
}

bool session_send_ping(Session& session) {
  ++session.sequence;
  return client_send(session.client, "PING|" + session.token + "|" +
                                         format_decimal_i64(session.sequence) +
                                         "|soak");
}

bool session_expect_pong(Session& session, std::uint32_t timeout_ms,
                         std::string& error) {
  std::string reply;
  const Received received =
      client_receive(session.client, reply, patient_ms(timeout_ms));
  const std::string expected =
      "PONG|" + format_decimal_i64(session.sequence) + "\n";
  if (received == Received::message && reply == expected) return true;
  error = received == Received::message  ? "unexpected reply: " + reply
          : received == Received::closed ? "closed instead of " + expected
                                         : "no PONG in time";
  return false;
}

bool session_bye(Session& session, std::uint32_t timeout_ms,
                 std::string& error) {
  if (!client_send(session.client, "BYE|" + session.token)) {
    error = "BYE not sent";
    return false;
  }
  std::string unexpected;
  if (!client_wait_closed(session.client, patient_ms(timeout_ms), unexpected)) {
    error = unexpected.empty() ? "not closed after BYE"
                               : "reply to BYE: " + unexpected;
    return false;
  }
  return true;
}

// ------------------------------------------------------- resources

ResourceLimits baseline_limits() {
  ResourceLimits limits;
  if (os::path_separator() == '\\') {
    // Handles of finished worker threads and of the listener's waiting
    // instance come and go with its timing.
    limits.extra_handles = 4;
  } else {
    // Descriptors must come back exactly.
    limits.extra_handles = 0;
  }
  // The C runtime keeps some heap and the stacks of finished workers for
  // reuse; a leak per session would go far beyond this within a scenario.
  limits.extra_bytes = 4u << 20;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Sanitizer builds hold freed memory back (quarantine, shadow), so their
  // resident size says nothing about leaks.
  limits.check_memory = false;
#endif
  return limits;
}

std::string describe(const ServiceResources& resources) {
  std::string text;
  text += resources.handles_known
              ? "handles=" + std::to_string(resources.handles)
              : std::string("handles=?");
  text += resources.memory_known
              ? " resident=" + std::to_string(resources.resident_bytes / 1024) +
                    " KiB"
              : std::string(" resident=?");
  return text + " (" + resources.source + ")";
}

ServiceResources settled_resources(const ServiceRun& run, unsigned timeout_ms) {
  const std::uint64_t start = now_ms();
  ServiceResources last = read_service_resources(run);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ServiceResources next = read_service_resources(run);
    const bool still = next.handles_known == last.handles_known &&
                       next.handles == last.handles;
    last = next;
    if (still || now_ms() - start > timeout_ms) return last;
  }
}

std::string back_to_baseline(const ServiceRun& run,
                             const ServiceResources& baseline,
                             const ResourceLimits& limits,
                             unsigned timeout_ms) {
  const std::uint64_t start = now_ms();
  for (;;) {
    const ServiceResources now = read_service_resources(run);
    const bool handles_ok =
        !baseline.handles_known || !now.handles_known ||
        now.handles <= baseline.handles + limits.extra_handles;
    const bool memory_ok =
        !limits.check_memory || !baseline.memory_known || !now.memory_known ||
        now.resident_bytes <= baseline.resident_bytes + limits.extra_bytes;
    if ((handles_ok && memory_ok) || now_ms() - start > timeout_ms) {
      std::printf("[resources] baseline: %s\n[resources] after:    %s\n",
                  describe(baseline).c_str(), describe(now).c_str());
      if (!baseline.handles_known || !now.handles_known) {
        std::printf("[resources] handle count not readable here: skipped\n");
      }
      if (!limits.check_memory) {
        std::printf("[resources] resident memory not compared\n");
      } else if (!baseline.memory_known || !now.memory_known) {
        std::printf(
            "[resources] resident memory not readable here: "
            "skipped\n");
      }
      std::fflush(stdout);
      if (handles_ok && memory_ok) return std::string();
      return "not back to baseline: " + describe(now) + " against " +
             describe(baseline);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

std::uint64_t now_ms() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace vorn::test
