// Helpers for the hostile-client and soak tests: the test process itself as
// a client of the service (with the guard module loaded, so it can hold many
// sessions at once), and the service's resources against a baseline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/service_harness.h"
#include "e2e/service_resources.h"
#include "platform/client.h"

namespace vorn::test {

// ------------------------------------------------------- in-process clients
// Loads the built guard module into the test process (once) and computes the
// evidence of this process. False with a reason when it cannot.
bool prepare_test_process_client(std::string& error);
// A HELLO that passes for this process (after prepare_test_process_client).
std::string test_process_hello();
unsigned test_process_pid();
// The file name the service logs as host= for this process.
std::string test_process_file_name();

// Lets this process's own connections reach the service of `run` (POSIX:
// through VORN_GUARD_ENDPOINT).
void aim_clients_at(const ServiceRun& run);

// One connection of the test process; closed with it.
struct Client {
  os::ClientConnection connection;
};

bool client_open(Client& client, std::uint32_t timeout_ms);
bool client_send(Client& client, const std::string& message);
enum class Received { message, nothing, closed };
Received client_receive(Client& client, std::string& message,
                        std::uint32_t timeout_ms);
// Waits until the service ends the connection. False when a message came
// first (it is in `message`) or the time ran out.
bool client_wait_closed(Client& client, std::uint32_t timeout_ms,
                        std::string& message);

struct Session {
  Client client;
  std::string token;
  std::int64_t sequence = 0;
};
// Connect, HELLO, and the OK reply with its token.
bool session_open(Session& session, std::uint32_t timeout_ms,
                  std::string& error);
// Sends the next PING without waiting for its PONG.
bool session_send_ping(Session& session);
// Waits for the PONG of the last PING sent.
bool session_expect_pong(Session& session, std::uint32_t timeout_ms,
                         std::string& error);
// BYE, then the service's close.
bool session_bye(Session& session, std::uint32_t timeout_ms,
                 std::string& error);

// ------------------------------------------------------- resources
struct ResourceLimits {
  std::uint64_t extra_handles = 0;
  std::uint64_t extra_bytes = 0;
  bool check_memory = true;
};
// How far above the baseline the service may stay after a scenario.
ResourceLimits baseline_limits();
std::string describe(const ServiceResources& resources);
// A reading taken once the handle count has held still for a moment.
ServiceResources settled_resources(const ServiceRun& run, unsigned timeout_ms);
// Waits up to timeout_ms for the figures to come back within `limits` of
// `baseline`. Empty when they do (or cannot be read on this system, which is
// printed); otherwise what stayed above.
std::string back_to_baseline(const ServiceRun& run,
                             const ServiceResources& baseline,
                             const ResourceLimits& limits, unsigned timeout_ms);

// Milliseconds on a steady clock, for measuring in tests.
std::uint64_t now_ms();

}  // namespace vorn::test
