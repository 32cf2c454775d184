// vorn-bench-client: a guarded client driven by the benchmark harness over
// its stdin and stdout. It loads the guard module that lies beside it (never
// one from the search path, so a padded copy brings its own) without starting
// it, and speaks the protocol itself so the harness can time every step.
//
//   idle                 load the module, print "ready", wait for stdin EOF
//   handshake            for every stdin line: connect, HELLO, time until OK,
//                        BYE; prints "handshake_us N"
//   sessions --count N --interval-ms M
//                        N sessions, each pinging every M ms (phases spread
//                        evenly); "ready N" once all are open; at stdin EOF
//                        BYE on each, then "pong_us N" per PONG and a total
//   hold                 one session ("ready"), one PING; prints
//                        "pinged SENT PONG"
//   launch               a game's launch: the guard module beside it started
//                        as a game starts it (evidence, connect, HELLO, OK),
//                        then stopped; prints "launch_us N cpu_us C result R"
//   floor --threads N    N threads that make only the system calls of one
//                        session-loop pass every 200 ms, spread over the
//                        200 ms (the cost of the polling design itself on
//                        this machine); "ready",
//                        then runs until stdin EOF
//                        (CLOCK_MONOTONIC ns), then waits for stdin EOF or
//                        for the service to terminate it
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "integrity/integrity.h"
#include "platform/client.h"
#include "probe/guard_loader.h"
#include "protocol/guard_protocol.h"

namespace vorn::bench {
namespace {

constexpr char kClientTag[] = "vorn-bench-client";
constexpr std::uint32_t kConnectTimeoutMs = 3000;
constexpr std::uint32_t kReplyTimeoutMs = 15000;

struct Evidence {
  std::string e1, e2;
};

bool load_own_module(probe::GuardLibrary& library, Evidence& evidence) {
  std::string module_path;
  os::Error error;
  std::string executable;
  if (!probe::guard_module_beside_executable(module_path) ||
      (error = probe::load_guard_library(module_path, library)) ||
      !os::current_executable_path(executable) ||
      !file_evidence(executable, evidence.e1) ||
      !file_evidence(module_path, evidence.e2)) {
    std::printf("error cannot load the guard module beside the client %s\n",
                error.words().c_str());
    return false;
  }
  return true;
}

struct Session {
  os::ClientConnection connection;
  std::string token;
  std::int64_t sequence = 0;
  std::int64_t sent_ns = 0;  // of the PING waiting for its PONG, else 0
  std::int64_t next_due_ns = 0;
  bool open = false;
};

// Connects and completes the handshake; `elapsed_ns` is the time from
// writing HELLO to reading the reply.
bool open_session(const Evidence& evidence, Session& session,
                  std::int64_t& elapsed_ns, std::string& error) {
  if (os::client_connect(session.connection, kConnectTimeoutMs) !=
      os::ConnectResult::connected) {
    error = "connect failed";
    return false;
  }
  const std::string hello = guard::hello_message(
      os::current_process_id(), kClientTag, evidence.e1, evidence.e2);
  const std::int64_t start = monotonic_ns();
  std::string reply;
  bool closed = false;
  if (!os::client_write(session.connection, hello.data(), hello.size()) ||
      !os::client_read(session.connection, reply, kReplyTimeoutMs, closed)) {
    error = closed ? "closed without a reply" : "no reply";
    session.connection.close();
    return false;
  }
  elapsed_ns = monotonic_ns() - start;
  if (guard::parse_start_reply(reply, session.token) != guard::StartReply::ok) {
    error = "refused: " + guard::strip_terminators(reply);
    session.connection.close();
    return false;
  }
  session.open = true;
  return true;
}

void close_session(Session& session) {
  if (session.open) {
    const std::string bye = guard::bye_message(session.token);
    os::client_write(session.connection, bye.data(), bye.size());
  }
  session.connection.close();
  session.open = false;
}

bool send_ping(Session& session) {
  const std::string ping =
      guard::ping_message(session.token, ++session.sequence);
  session.sent_ns = monotonic_ns();
  return os::client_write(session.connection, ping.data(), ping.size());
}

// True when stdin has reached its end (or failed); consumes what is there.
bool stdin_ended() {
  char chunk[256];
  const ssize_t count = ::read(0, chunk, sizeof chunk);
  return count <= 0;
}

// Maps its own executable file whole as code and touches every page: a
// stand-in for a game with as much code as its file holds, so that the
// service's looks at the code cost what they would cost for such a game.
bool map_own_file_as_code() {
  std::string path;
  if (!os::current_executable_path(path)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) return false;
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  void* code = ::mmap(nullptr, size, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (code == MAP_FAILED) return false;
  volatile unsigned char sum = 0;
  for (std::size_t at = 0; at < size; at += 4096) {
    sum =
        static_cast<unsigned char>(sum + static_cast<unsigned char*>(code)[at]);
  }
  return true;
}

int run_idle() {
  probe::GuardLibrary library;
  Evidence evidence;
  if (!load_own_module(library, evidence) || !map_own_file_as_code()) return 4;
  std::printf("ready pid=%u e1=%s e2=%s\n", os::current_process_id(),
              evidence.e1.c_str(), evidence.e2.c_str());
  std::fflush(stdout);
  while (!stdin_ended()) {
  }
  return 0;
}

int run_handshake() {
  probe::GuardLibrary library;
  Evidence evidence;
  if (!load_own_module(library, evidence)) return 4;
  std::printf("ready\n");
  std::fflush(stdout);
  char line[256];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    Session session;
    std::int64_t elapsed_ns = 0;
    std::string error;
    if (open_session(evidence, session, elapsed_ns, error)) {
      std::printf("handshake_us %lld\n",
                  static_cast<long long>(elapsed_ns / 1000));
      close_session(session);
    } else {
      std::printf("error %s\n", error.c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}

int run_sessions(int count, int interval_ms) {
  probe::GuardLibrary library;
  Evidence evidence;
  if (!load_own_module(library, evidence)) return 4;
  std::vector<Session> sessions(static_cast<std::size_t>(count));
  for (Session& session : sessions) {
    std::int64_t elapsed_ns = 0;
    std::string error;
    if (!open_session(evidence, session, elapsed_ns, error)) {
      std::printf("error %s\n", error.c_str());
      return 2;
    }
  }
  const std::int64_t interval_ns = interval_ms * 1000000LL;
  const std::int64_t start = monotonic_ns();
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    sessions[i].next_due_ns =
        start + interval_ns * static_cast<std::int64_t>(i) / count;
  }
  std::printf("ready %d\n", count);
  std::fflush(stdout);

  std::vector<long long> latencies_us;
  int pings = 0, closed_by_service = 0;
  for (;;) {
    std::int64_t now = monotonic_ns();
    std::int64_t next_due = now + 1000000000LL;
    for (Session& session : sessions) {
      if (!session.open) continue;
      if (session.next_due_ns <= now) {
        if (send_ping(session)) ++pings;
        session.next_due_ns += interval_ns;
      }
      if (session.next_due_ns < next_due) next_due = session.next_due_ns;
    }
    std::vector<pollfd> entries;
    entries.push_back({0, POLLIN, 0});
    for (Session& session : sessions) {
      entries.push_back(
          {static_cast<int>(session.connection.raw()), POLLIN, 0});
    }
    now = monotonic_ns();
    const int wait_ms =
        next_due > now ? static_cast<int>((next_due - now) / 1000000 + 1) : 0;
    if (::poll(entries.data(), entries.size(), wait_ms) < 0) continue;
    if (entries[0].revents != 0 && stdin_ended()) break;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
      Session& session = sessions[i];
      if (!session.open || entries[i + 1].revents == 0) continue;
      std::string reply;
      bool closed = false;
      const std::int64_t received = monotonic_ns();
      std::int64_t sequence = 0;
      if (os::client_read(session.connection, reply, 0, closed)) {
        if (guard::parse_pong(reply, sequence) &&
            sequence == session.sequence && session.sent_ns != 0) {
          latencies_us.push_back((received - session.sent_ns) / 1000);
          session.sent_ns = 0;
        }
      } else if (closed) {
        ++closed_by_service;
        session.connection.close();
        session.open = false;
      }
    }
  }
  for (Session& session : sessions) close_session(session);
  for (long long latency : latencies_us) std::printf("pong_us %lld\n", latency);
  std::printf("done pings=%d pongs=%zu closed=%d\n", pings, latencies_us.size(),
              closed_by_service);
  std::fflush(stdout);
  return 0;
}

int run_hold() {
  probe::GuardLibrary library;
  Evidence evidence;
  if (!load_own_module(library, evidence)) return 4;
  Session session;
  std::int64_t elapsed_ns = 0;
  std::string error;
  if (!open_session(evidence, session, elapsed_ns, error)) {
    std::printf("error %s\n", error.c_str());
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string reply;
  bool closed = false;
  std::int64_t sequence = 0;
  if (!send_ping(session) ||
      !os::client_read(session.connection, reply, kReplyTimeoutMs, closed) ||
      !guard::parse_pong(reply, sequence)) {
    std::printf("error no PONG\n");
    return 2;
  }
  const std::int64_t pong_ns = monotonic_ns();
  std::printf("pinged %lld %lld\n", static_cast<long long>(session.sent_ns),
              static_cast<long long>(pong_ns));
  std::fflush(stdout);
  while (!stdin_ended()) {
  }
  close_session(session);
  return 0;
}

// One pass of the session loop as system calls: client alive (a pidfd),
// connection state and bytes waiting (a socket), the tick, the 200 ms sleep,
// the stop event (an eventfd).
struct FloorFds {
  int pidfd = -1, socket = -1, event = -1;
};

void floor_passes(const FloorFds& fds, const std::atomic<bool>& stop,
                  long start_offset_ns) {
  // Sessions start at unrelated moments, so their passes are spread over
  // the 200 ms; passes that fall together would share their wake-ups and
  // look cheaper than a real service's.
  timespec offset{0, start_offset_ns};
  ::nanosleep(&offset, nullptr);
  while (!stop.load()) {
    pollfd process{fds.pidfd, POLLIN, 0};
    ::poll(&process, 1, 0);
    pollfd connection{fds.socket, POLLIN | POLLRDHUP, 0};
    ::poll(&connection, 1, 0);
    int waiting = 0;
    ::ioctl(fds.socket, FIONREAD, &waiting);
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    timespec pause{0, 200 * 1000000L};
    ::nanosleep(&pause, nullptr);
    pollfd event{fds.event, POLLIN, 0};
    ::poll(&event, 1, 0);
  }
}

int run_floor(int threads) {
  FloorFds fds;
  int pair[2] = {-1, -1};
  fds.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
  fds.event = ::eventfd(0, EFD_CLOEXEC);
  if (fds.pidfd < 0 || fds.event < 0 ||
      ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    std::printf("error cannot make the descriptors\n");
    return 2;
  }
  fds.socket = pair[0];
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back(floor_passes, std::cref(fds), std::cref(stop),
                         200 * 1000000L * i / threads);
  }
  std::printf("ready %d\n", threads);
  std::fflush(stdout);
  while (!stdin_ended()) {
  }
  stop.store(true);
  for (std::thread& worker : workers) worker.join();
  ::close(pair[0]);
  ::close(pair[1]);
  ::close(fds.event);
  ::close(fds.pidfd);
  return 0;
}

int run_launch() {
  probe::GuardLibrary library;
  probe::GuardApi api;
  std::string module_path;
  os::Error error;
  if (!probe::guard_module_beside_executable(module_path) ||
      (error = probe::load_guard_library(module_path, library)) ||
      (error = probe::resolve_guard_api(library, api))) {
    std::printf("error cannot load the guard module beside the client %s\n",
                error.words().c_str());
    return 4;
  }
  const std::int64_t cpu_start = process_cpu_ns(::getpid());
  const std::int64_t start = monotonic_ns();
  const int result = api.start_ex(kClientTag, 0, 0);
  const std::int64_t elapsed_ns = monotonic_ns() - start;
  const std::int64_t cpu_ns = process_cpu_ns(::getpid()) - cpu_start;
  std::printf("launch_us %lld cpu_us %lld result %d %s\n",
              static_cast<long long>(elapsed_ns / 1000),
              static_cast<long long>(cpu_ns / 1000), result, api.last_error());
  std::fflush(stdout);
  api.stop();
  return result == VORN_GUARD_OK ? 0 : 2;
}

int usage() {
  std::fputs(
      "usage: vorn-bench-client idle | handshake | hold | launch |\n"
      "       sessions --count N --interval-ms M | floor --threads N\n",
      stderr);
  return 1;
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
  using namespace vorn::bench;
  if (argc < 2) return usage();
  const std::string mode = argv[1];
  if (mode == "idle" && argc == 2) return run_idle();
  if (mode == "handshake" && argc == 2) return run_handshake();
  if (mode == "hold" && argc == 2) return run_hold();
  if (mode == "launch" && argc == 2) return run_launch();
  if (mode == "floor" && argc == 4 && std::strcmp(argv[2], "--threads") == 0 &&
      std::atoi(argv[3]) > 0) {
    return run_floor(std::atoi(argv[3]));
  }
  if (mode == "sessions" && argc == 6 && std::strcmp(argv[2], "--count") == 0 &&
      std::strcmp(argv[4], "--interval-ms") == 0) {
    const int count = std::atoi(argv[3]);
    const int interval_ms = std::atoi(argv[5]);
    if (count < 1 || interval_ms < 1) return usage();
    return run_sessions(count, interval_ms);
  }
  return usage();
}
