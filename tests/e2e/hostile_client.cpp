// vorn_hostile_client: a misbehaving client for the end-to-end tests, in its
// own process so a test can kill it at a chosen moment or let a blocking
// write hang without hanging the test.
//
//   vorn_hostile_client connect [--hold-ms N]
//       connects, prints "connected", then waits up to N ms (default 60000)
//       for the service to end the connection.
//   vorn_hostile_client write --bytes N [--hold-ms M]
//       connects, prints "connected", writes N bytes 'A' as one message,
//       prints "written" or "write failed", then waits as `connect` does.
//
// The wait prints "closed" when the service closed the connection, "< " and
// the length of anything it sent, or "held" when the time ran out. Exit code
// 0 unless the arguments are wrong (1) or the endpoint cannot be reached (3).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/client.h"
#include "platform/runtime.h"

namespace {

constexpr std::uint32_t kConnectTimeoutMs = 10000;
constexpr std::uint32_t kDefaultHoldMs = 60000;

void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool parse_number(const char* text, unsigned long& value) {
  char* end = nullptr;
  value = std::strtoul(text, &end, 10);
  return end != text && *end == '\0';
}

void hold(const vorn::os::ClientConnection& connection, std::uint32_t hold_ms) {
  const std::uint64_t start = vorn::os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = vorn::os::tick_ms() - start;
    if (elapsed >= hold_ms) {
      say("held");
      return;
    }
    std::string message;
    bool closed = false;
    const std::uint64_t left = hold_ms - elapsed;
    if (vorn::os::client_read(
            connection, message,
            static_cast<std::uint32_t>(left < 100 ? left : 100), closed)) {
      say("< " + std::to_string(message.size()) + " bytes");
    } else if (closed) {
      say("closed");
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: vorn_hostile_client connect|write [options]\n", stderr);
    return 1;
  }
  const std::string mode = argv[1];
  unsigned long hold_ms = kDefaultHoldMs;
  unsigned long bytes = 0;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    unsigned long* target = option == "--hold-ms" ? &hold_ms
                            : option == "--bytes" ? &bytes
                                                  : nullptr;
    if (target == nullptr || !parse_number(argv[i + 1], *target)) {
      std::fprintf(stderr, "vorn_hostile_client: bad option %s\n", argv[i]);
      return 1;
    }
  }
  if ((mode != "connect" && mode != "write") || (argc % 2) != 0) {
    std::fputs("vorn_hostile_client: bad arguments\n", stderr);
    return 1;
  }

  vorn::os::ClientConnection connection;
  if (vorn::os::client_connect(connection, kConnectTimeoutMs) !=
      vorn::os::ConnectResult::connected) {
    say("unreachable");
    return 3;
  }
  say("connected");
  if (mode == "write") {
    const std::string message(bytes, 'A');
    say(vorn::os::client_write(connection, message.data(), message.size())
            ? "written"
            : "write failed");
  }
  hold(connection, static_cast<std::uint32_t>(hold_ms));
  connection.close();
  return 0;
}
