// The soak: 32 client loops against one running service for a bounded time
// (VORN_SOAK_SECONDS; 120 s by default, 60 s on Windows, where every client
// process starts slowly under Wine). Each loop cycles through whole
// sessions: connect, HELLO, a few PINGs, BYE, and every few cycles a client
// that replays a sequence number and is terminated for it. Afterwards the
// log must be whole (every line well-formed, one CLOSED per READY, as many
// READY lines as handshakes the clients saw, one ENFORCEMENT per replay),
// and the service's descriptors or handles and memory must have stayed flat.
//
// The BYE sessions are the test process's own (the guard module loaded into
// it); the replays run in probe processes, since the service terminates
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <thread>

#include "e2e/e2e_support.h"
#include "e2e/hostile_support.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"
#include "platform/system.h"
#include "probe/probe_args.h"
#include "support/patience.h"

namespace vorn::test {
namespace {

constexpr int kLoops = 32;
// Every kReplayEvery-th cycle of a loop is a replay.
constexpr int kReplayEvery = 6;
constexpr int kPingsPerSession = 3;
// Between two PINGs of one session: keeps 32 sessions open at once without
// making every cycle a handshake (each one hashes the client's files).
constexpr unsigned kPingSpacingMs = 800;
constexpr std::uint64_t kProgressEveryMs = 60000;

unsigned soak_seconds() {
  const char* value = std::getenv("VORN_SOAK_SECONDS");
  if (value != nullptr && *value != '\0') {
    const unsigned long seconds = std::strtoul(value, nullptr, 10);
    if (seconds > 0) return static_cast<unsigned>(seconds);
  }
  return os::path_separator() == '\\' ? 60u : 120u;
}

struct Sample {
  std::uint64_t at_ms = 0;
  ServiceResources resources;
};

// What the client loops saw, shared by all of them.
struct Tally {
  std::atomic<unsigned> cycles{0};
  std::atomic<unsigned> handshakes{0};  // OK replies seen by any client
  std::atomic<unsigned> byes{0};
  std::atomic<unsigned> replays{0};  // replayed PINGs sent after a PONG
  std::mutex mutex;
  std::vector<std::string> problems;  // the first few only

  void problem(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (problems.size() < 20) problems.push_back(what);
  }
};

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

void bye_cycle(Tally& tally, int loop) {
  Session session;
  std::string error;
  if (!session_open(session, 30000, error)) {
    tally.problem("loop " + std::to_string(loop) + ": " + error);
    return;
  }
  ++tally.handshakes;
  for (int i = 0; i < kPingsPerSession; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPingSpacingMs));
    if (!session_send_ping(session) ||
        !session_expect_pong(session, 30000, error)) {
      tally.problem("loop " + std::to_string(loop) + " PING: " + error);
      return;
    }
  }
  if (!session_bye(session, 10000, error)) {
    tally.problem("loop " + std::to_string(loop) + " BYE: " + error);
    return;
  }
  ++tally.byes;
}

void replay_cycle(const ServiceRun& run, Tally& tally, int loop,
                  unsigned cycle) {
  const std::string output_file = run.dir->file(
      "replay-" + std::to_string(loop) + "-" + std::to_string(cycle) + ".out");
  int exit_code = -1;
  bool ended = false;
  std::string output;
  // The probe waits 3 s for a free place, while the 32 loops keep every
  // place taken: it tries again for as long as a session's client waits.
  const std::uint64_t give_up = now_ms() + patient_ms(30000);
  do {
    ChildProcess child;
    if (!start_probe(run,
                     // As long for the OK as a session's client waits.
                     {"raw", "--load-guard", "--wait-ms", "30000", "--hold-ms",
                      "30000", "HELLO|{pid}|e2e-soak-replay|{e1}|{e2}",
                      "PING|{token}|1|soak", "PING|{token}|1|soak"},
                     child, output_file)) {
      tally.problem("loop " + std::to_string(loop) + ": probe not started");
      return;
    }
    ended = wait_child(child, 60000, exit_code);
    release_child(child);
    output = read_probe_output(output_file);
  } while (ended && exit_code == probe::kExitUnreachable && now_ms() < give_up);
  if (output.find("< OK|") != std::string::npos) ++tally.handshakes;
  // The replay went out once the first PING was answered.
  if (output.find("< PONG|1\n") != std::string::npos &&
      occurrences(output, "> PING|") == 2 &&
      output.find("closed") == std::string::npos) {
    ++tally.replays;
  } else {
    tally.problem("replay not sent: " + output);
  }
  if (!ended || exit_code != terminated_exit_code()) {
    tally.problem("replaying probe not terminated (exit " +
                  std::to_string(exit_code) + "): " + output);
  }
}

void client_loop(const ServiceRun& run, Tally& tally, int loop,
                 std::uint64_t deadline_ms) {
  for (unsigned cycle = 0; now_ms() < deadline_ms; ++cycle) {
    // Staggered, so the replays of different loops do not come together.
    if ((cycle + static_cast<unsigned>(loop)) % kReplayEvery ==
        kReplayEvery - 1) {
      replay_cycle(run, tally, loop, cycle);
    } else {
      bye_cycle(tally, loop);
    }
    ++tally.cycles;
  }
}

// The samples taken in [from, to) of the run, as fractions.
std::vector<Sample> part_of(const std::vector<Sample>& samples, double from,
                            double to) {
  std::vector<Sample> part;
  if (samples.empty()) return part;
  const std::uint64_t first = samples.front().at_ms;
  const double span = static_cast<double>(samples.back().at_ms - first);
  for (const Sample& sample : samples) {
    const double at = static_cast<double>(sample.at_ms - first);
    if (at >= from * span && at < to * span + (to >= 1.0 ? 1.0 : 0.0)) {
      part.push_back(sample);
    }
  }
  return part;
}

struct Range {
  std::uint64_t low = 0, high = 0, median = 0;
  bool known = false;
};

Range handle_range(const std::vector<Sample>& samples) {
  std::vector<std::uint64_t> values;
  for (const Sample& s : samples) {
    if (s.resources.handles_known) values.push_back(s.resources.handles);
  }
  Range range;
  if (values.empty()) return range;
  std::sort(values.begin(), values.end());
  range = {values.front(), values.back(), values[values.size() / 2], true};
  return range;
}

Range memory_range(const std::vector<Sample>& samples) {
  std::vector<std::uint64_t> values;
  for (const Sample& s : samples) {
    if (s.resources.memory_known) values.push_back(s.resources.resident_bytes);
  }
  Range range;
  if (values.empty()) return range;
  std::sort(values.begin(), values.end());
  range = {values.front(), values.back(), values[values.size() / 2], true};
  return range;
}

std::string kib(std::uint64_t bytes) {
  return std::to_string(bytes / 1024) + " KiB";
}

// Every line: the timestamp, a blank, one of the four texts the service
// writes, CR LF.
const std::regex& well_formed_line() {
  static const std::regex line(
      "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
      "(VORN Local Guard Service 1\\.0\\.0 ONLINE"
      "|SESSION READY pid=[1-9][0-9]* host=[^ \r\n]+"
      "|SESSION CLOSED pid=[1-9][0-9]*"
      "|ENFORCEMENT pid=[1-9][0-9]* reason=(LOCAL_PROTOCOL_REPLAY"
      "|LOCAL_PROTOCOL_INVALID|LOCAL_GUARD_HEARTBEAT_TIMEOUT"
      "|RUNTIME_INTEGRITY_CHANGED))");
  return line;
}

using EndToEndSoak = ServiceTest<>;

TEST_F(EndToEndSoak, ThirtyTwoClientLoopsKeepTheLogWholeAndTheServiceFlat) {
  std::string error;
  ASSERT_TRUE(prepare_test_process_client(error)) << error;
  aim_clients_at(run_);
  const unsigned own_pid = test_process_pid();

  {
    Session warm;
    ASSERT_TRUE(session_open(warm, 20000, error)) << error;
    ASSERT_TRUE(session_bye(warm, 5000, error)) << error;
  }
  ASSERT_TRUE(wait_sessions_closed(run_, own_pid, 30000));
  const ServiceResources baseline = settled_resources(run_, 5000);
  const unsigned seconds = soak_seconds();
  std::printf("soak: %u s, %d loops; baseline %s\n", seconds, kLoops,
              describe(baseline).c_str());
  std::fflush(stdout);

  Tally tally;
  std::vector<Sample> samples;
  std::mutex samples_mutex;
  std::atomic<bool> sampling{true};
  // Two readings a second; a progress line every minute for long runs.
  std::thread sampler([&] {
    const std::uint64_t start = now_ms();
    std::uint64_t next_report = start + kProgressEveryMs;
    while (sampling) {
      Sample sample{now_ms(), read_service_resources(run_)};
      {
        std::lock_guard<std::mutex> lock(samples_mutex);
        samples.push_back(sample);
      }
      if (sample.at_ms >= next_report) {
        next_report += kProgressEveryMs;
        std::printf(
            "soak: %llu s, %u cycles, %s\n",
            static_cast<unsigned long long>((sample.at_ms - start) / 1000),
            tally.cycles.load(), describe(sample.resources).c_str());
        std::fflush(stdout);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  });
  const std::uint64_t deadline = now_ms() + seconds * 1000ull;
  std::vector<std::thread> loops;
  for (int loop = 0; loop < kLoops; ++loop) {
    loops.emplace_back([&, loop] { client_loop(run_, tally, loop, deadline); });
  }
  for (std::thread& loop : loops) loop.join();
  sampling = false;
  sampler.join();

  EXPECT_TRUE(service_is_running(run_));
  EXPECT_TRUE(wait_sessions_closed(run_, own_pid, 30000));
  // Descriptors or handles must come all the way back; memory is judged by
  // its band below, since the C runtime keeps what 32 busy workers used.
  ResourceLimits handles_only = baseline_limits();
  handles_only.check_memory = false;
  const std::string back =
      back_to_baseline(run_, baseline, handles_only, 30000);
  const ServiceResources after = read_service_resources(run_);
  for (const std::string& problem : tally.problems) {
    ADD_FAILURE() << problem;
  }

  // The log, byte for byte.
  const std::string text = raw_log_since_start(run_);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << "last line unfinished";
  std::size_t lines = 0;
  std::size_t malformed = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    ++lines;
    if (!std::regex_match(line, well_formed_line())) {
      if (++malformed <= 5) ADD_FAILURE() << "malformed line: " << line;
    }
    start = end + 2;
  }
  EXPECT_EQ(malformed, 0u);
  const std::vector<std::string> log = service_log_lines(run_);
  const std::size_t ready = count_starting(log, "SESSION READY pid=");
  const std::size_t closed = count_starting(log, "SESSION CLOSED pid=");
  const std::size_t enforced = count_starting(log, "ENFORCEMENT pid=");
  std::size_t replays_logged = 0;
  for (const std::string& line : log) {
    if (line.find(" reason=LOCAL_PROTOCOL_REPLAY") != std::string::npos) {
      ++replays_logged;
    }
  }
  // The warm-up session counts on both sides.
  const std::size_t handshakes = tally.handshakes + 1u;
  EXPECT_EQ(log.front(), "VORN Local Guard Service 1.0.0 ONLINE");
  EXPECT_EQ(ready, handshakes);
  EXPECT_EQ(closed, handshakes);
  EXPECT_EQ(enforced, tally.replays.load());
  EXPECT_EQ(replays_logged, enforced);
  EXPECT_EQ(check_session_balance(log, own_pid), "");

  // Flat: the last quarter of the run holds no more than the first.
  std::vector<Sample> all;
  {
    std::lock_guard<std::mutex> lock(samples_mutex);
    all = samples;
  }
  const std::vector<Sample> first = part_of(all, 0.0, 0.25);
  const std::vector<Sample> last = part_of(all, 0.75, 1.0);
  const Range first_handles = handle_range(first);
  const Range last_handles = handle_range(last);
  const Range first_memory = memory_range(first);
  const Range last_memory = memory_range(last);
  std::printf(
      "soak: %u cycles, %u handshakes, %u BYE sessions, %u replays; %zu log "
      "lines (%zu READY, %zu CLOSED, %zu ENFORCEMENT); %zu samples\n",
      tally.cycles.load(), tally.handshakes.load(), tally.byes.load(),
      tally.replays.load(), lines, ready, closed, enforced, all.size());
  std::printf(
      "soak: handles first quarter %llu..%llu (median %llu), last "
      "quarter %llu..%llu (median %llu)\n",
      static_cast<unsigned long long>(first_handles.low),
      static_cast<unsigned long long>(first_handles.high),
      static_cast<unsigned long long>(first_handles.median),
      static_cast<unsigned long long>(last_handles.low),
      static_cast<unsigned long long>(last_handles.high),
      static_cast<unsigned long long>(last_handles.median));
  std::printf(
      "soak: resident first quarter %s..%s (median %s), last quarter "
      "%s..%s (median %s)\n",
      kib(first_memory.low).c_str(), kib(first_memory.high).c_str(),
      kib(first_memory.median).c_str(), kib(last_memory.low).c_str(),
      kib(last_memory.high).c_str(), kib(last_memory.median).c_str());
  std::fflush(stdout);
  EXPECT_GT(tally.byes.load(), 0u);
  EXPECT_GT(tally.replays.load(), 0u);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(last.empty());
  const ResourceLimits limits = baseline_limits();
  // 32 sessions come and go all the time, each holding its connection and
  // its process handle, so readings swing between the baseline and about
  // two per session above it; a leak lifts the top of that band (and keeps
  // the count above the baseline at the end, checked above).
  constexpr std::uint64_t kHandleSlack = 8;
  if (first_handles.known && last_handles.known) {
    EXPECT_LE(last_handles.high, first_handles.high + kHandleSlack);
  } else {
    std::printf("soak: handle count not readable here: not compared\n");
  }
  if (limits.check_memory && first_memory.known && last_memory.known) {
    EXPECT_LE(last_memory.median, first_memory.median + limits.extra_bytes);
    EXPECT_LE(last_memory.high, first_memory.high + limits.extra_bytes);
    if (after.memory_known) {
      EXPECT_LE(after.resident_bytes, first_memory.high + limits.extra_bytes);
    }
  } else {
    std::printf("soak: resident memory not compared here\n");
  }
  EXPECT_EQ(back, "");

  int exit_code = -1;
  EXPECT_TRUE(service_stop(run_, 30000, exit_code));
  EXPECT_EQ(exit_code, 0);
}

}  // namespace
}  // namespace vorn::test
