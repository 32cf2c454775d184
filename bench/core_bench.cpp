// Google Benchmark of the core: the message field rules on typical messages,
// hashing a 64 MiB file, the integrity check and re-check against real
// processes (this one, and a client whose executable is 64 MiB), and the
// look at a signed client file beside an unsigned one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "integrity/digest_memory.h"
#include "integrity/integrity.h"
#include "platform/client.h"
#include "platform/runtime.h"
#include "probe/guard_loader.h"
#include "protocol/message_fields.h"
#include "sign_tool/signed_file.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::bench {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
const std::string kToken(64, 'A');
const std::string kEvidence =
    "3f8a0c5d9e1b2a4c6d8e0f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e";
const std::string kHello =
    "HELLO|48213|game-client-7.4.1|" + kEvidence + "|" + kEvidence;
const std::string kPing = "PING|" + kToken + "|1042|vorn_guard";

// ---------------------------------------------------------------- fields

void BM_SplitFields_Hello(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(split_fields(kHello));
}
BENCHMARK(BM_SplitFields_Hello);

void BM_SplitFields_Ping(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(split_fields(kPing));
}
BENCHMARK(BM_SplitFields_Ping);

// What the loop does with an accepted PING: split, compare, parse, answer.
void BM_HandlePing(benchmark::State& state) {
  for (auto _ : state) {
    const FieldList fields = split_fields(kPing);
    const bool ping = fields.size() == 4 && text_equals(fields[0], "PING") &&
                      text_equals(fields[1], kToken);
    const std::int64_t sequence = parse_decimal_i64(fields[2]);
    std::string pong = "PONG|" + format_decimal_i64(sequence);
    benchmark::DoNotOptimize(ping);
    benchmark::DoNotOptimize(pong);
  }
}
BENCHMARK(BM_HandlePing);

void BM_ParseDecimalI64(benchmark::State& state) {
  const std::string text = "9223372036854775806";
  for (auto _ : state) benchmark::DoNotOptimize(parse_decimal_i64(text));
}
BENCHMARK(BM_ParseDecimalI64);

void BM_ParseDecimalU32(benchmark::State& state) {
  const std::string text = "48213";
  for (auto _ : state) benchmark::DoNotOptimize(parse_decimal_u32(text));
}
BENCHMARK(BM_ParseDecimalU32);

void BM_FormatDecimalI64(benchmark::State& state) {
  std::int64_t value = 1000000007;
  for (auto _ : state) benchmark::DoNotOptimize(format_decimal_i64(++value));
}
BENCHMARK(BM_FormatDecimalI64);

void BM_FormatDecimalU32(benchmark::State& state) {
  std::uint32_t value = 48213;
  for (auto _ : state) benchmark::DoNotOptimize(format_decimal_u32(++value));
}
BENCHMARK(BM_FormatDecimalU32);

// The HELLO's evidence values: upper-cased on receipt and checked for hex.
void BM_EvidenceUpperCaseAndHex(benchmark::State& state) {
  for (auto _ : state) {
    const std::string upper = upper_case(kEvidence);
    benchmark::DoNotOptimize(is_hex_text(upper));
  }
}
BENCHMARK(BM_EvidenceUpperCaseAndHex);

// ---------------------------------------------------------------- hashing

// Files and processes made once, on first use, and removed at the end.
struct Fixtures {
  test::TempDir dir;
  probe::GuardLibrary own_module;
  std::string own_e1, own_e2;
  // Padded vorn-bench-clients in idle mode, 64 MiB, 512 MiB, 1 GiB and
  // 4 GiB (sparse), each with its whole file mapped as code.
  struct Client {
    test::ChildProcess child;
    os::ProcessId pid = 0;
    std::string e1, e2;
  } big[4];
  std::string error;
};

Fixtures& fixtures() {
  static Fixtures instance;
  return instance;
}

void BM_Sha256File(benchmark::State& state) {
  const std::uint64_t size = static_cast<std::uint64_t>(state.range(0)) * kMiB;
  const std::string path =
      fixtures().dir.file(std::to_string(state.range(0)) + "MiB.bin");
  if (!test::write_file(path, "") || !pad_file(path, size)) {
    state.SkipWithError("cannot write the file");
    return;
  }
  std::uint8_t digest[32] = {};
  for (auto _ : state) {
    if (!os::sha256_file(path, digest)) state.SkipWithError("hash failed");
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
  ::unlink(path.c_str());
}
BENCHMARK(BM_Sha256File)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- integrity

// This process as the client: the guard module loaded from beside it.
bool own_process_ready() {
  Fixtures& f = fixtures();
  if (f.own_module.module.open()) return true;
  std::string executable;
  const std::string module = test::binary_directory() + "/libvorn_guard.so.1";
  const os::Error error = probe::load_guard_library(module, f.own_module);
  if (error || !os::current_executable_path(executable) ||
      !file_evidence(executable, f.own_e1) ||
      !file_evidence(module, f.own_e2)) {
    f.error = "cannot load " + module + " " + error.words();
    return false;
  }
  return true;
}

// A padded copy of vorn-bench-client holding the guard module, idle:
// which 0 is 64 MiB, 1 is 512 MiB, 2 is 1 GiB, 3 is 4 GiB.
bool big_client_ready(int which) {
  Fixtures& f = fixtures();
  Fixtures::Client& c = f.big[which];
  if (c.pid != 0) return true;
  static const std::uint64_t kSizesMiB[] = {64, 512, 1024, 4096};
  const std::uint64_t size = kSizesMiB[which] * kMiB;
  const std::string client =
      make_client_copy(test::binary_directory(),
                       f.dir.file("client" + std::to_string(which)), size);
  std::string line;
  if (client.empty() || !test::start_piped_child(c.child, client, {"idle"}) ||
      !test::read_child_line(c.child, line, 60000) ||
      line.rfind("ready pid=", 0) != 0) {
    f.error = "the padded client did not start: " + line;
    return false;
  }
  // "ready pid=N e1=X e2=Y"
  c.pid = static_cast<os::ProcessId>(std::stoul(line.substr(10)));
  c.e1 = line.substr(line.find("e1=") + 3, 64);
  c.e2 = line.substr(line.find("e2=") + 3, 64);
  return true;
}

struct Target {
  os::ProcessId pid;
  std::string e1, e2;
  // Held for the benchmark's run, as a session holds its client.
  os::ProcessHandle process;
};

// Arg 0: this process; 1 to 4: the 64 MiB, 512 MiB, 1 GiB and 4 GiB
// clients.
bool target(benchmark::State& state, Target& out) {
  const int which = static_cast<int>(state.range(0)) - 1;
  if (which >= 0 ? !big_client_ready(which) : !own_process_ready()) {
    state.SkipWithError(fixtures().error.c_str());
    return false;
  }
  Fixtures& f = fixtures();
  if (which >= 0) {
    out.pid = f.big[which].pid;
    out.e1 = f.big[which].e1;
    out.e2 = f.big[which].e2;
  } else {
    out.pid = os::current_process_id();
    out.e1 = f.own_e1;
    out.e2 = f.own_e2;
  }
  static const char* const labels[] = {"this process", "64 MiB client",
                                       "512 MiB client", "1 GiB client",
                                       "4 GiB client"};
  state.SetLabel(labels[which + 1]);
  out.process = os::process_open_for_session(out.pid);
  return true;
}

// The handshake's check: /proc lookups, the code watch and both files
// hashed (second argument 0: a first launch), or recalled from the service's
// memory of verified versions (1: a repeat launch of unchanged files).
void BM_IntegrityCheck(benchmark::State& state) {
  Target t;
  if (!target(state, t)) return;
  const bool repeat = state.range(1) != 0;
  if (repeat) {
    // The first launch, untimed: the versions are remembered from here on.
    std::string image;
    IntegrityRecord record;
    (void)integrity_check(t.process, t.pid, t.e1, t.e2, image, record);
  }
  for (auto _ : state) {
    if (!repeat) {
      state.PauseTiming();
      digest_memory().follow_policy(nullptr);
      state.ResumeTiming();
    }
    std::string image;
    IntegrityRecord record;
    if (integrity_check(t.process, t.pid, t.e1, t.e2, image, record) !=
        IntegrityOutcome::pass) {
      state.SkipWithError("the check did not pass");
      return;
    }
  }
}
BENCHMARK(BM_IntegrityCheck)
    ->ArgsProduct({{0, 1, 3, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

// The periodic re-check of unchanged files: the identities recorded by the
// check stand for the hashes, so nothing is read but /proc and two stat().
void BM_IntegrityRecheck_Unchanged(benchmark::State& state) {
  Target t;
  if (!target(state, t)) return;
  std::string image;
  IntegrityRecord record;
  if (integrity_check(t.process, t.pid, t.e1, t.e2, image, record) !=
          IntegrityOutcome::pass ||
      !record.image_identity.known || !record.module_identity.known) {
    state.SkipWithError("no record with identities");
    return;
  }
  for (auto _ : state) {
    if (!integrity_recheck(t.process, t.pid, record))
      state.SkipWithError("failed");
  }
}
BENCHMARK(BM_IntegrityRecheck_Unchanged)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// The same record without identities: every re-check hashes both files.
void BM_IntegrityRecheck_NoIdentity(benchmark::State& state) {
  Target t;
  if (!target(state, t)) return;
  std::string image;
  IntegrityRecord record;
  if (integrity_check(t.process, t.pid, t.e1, t.e2, image, record) !=
      IntegrityOutcome::pass) {
    state.SkipWithError("the check did not pass");
    return;
  }
  // Still the same files, but no version known to stand for their hashes.
  record.image_identity.known = false;
  record.module_identity.known = false;
  for (auto _ : state) {
    if (!integrity_recheck(t.process, t.pid, record))
      state.SkipWithError("failed");
  }
}
BENCHMARK(BM_IntegrityRecheck_NoIdentity)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// A look at the client's code (its maps and 8 bytes of pagemap per code
// page), as at every re-check and once more at a random moment; and the
// heartbeat's look for an exec.
// The target checked, as a session starts with it; false (skipped) when the
// check does not pass.
bool checked(benchmark::State& state, Target& t, IntegrityRecord& record) {
  if (!target(state, t)) return false;
  std::string image;
  if (integrity_check(t.process, t.pid, t.e1, t.e2, image, record) !=
      IntegrityOutcome::pass) {
    state.SkipWithError("the check did not pass");
    return false;
  }
  return true;
}

void BM_LookAtCode(benchmark::State& state) {
  Target t;
  IntegrityRecord record;
  if (!checked(state, t, record)) return;
  for (auto _ : state) {
    if (integrity_look_at_code(record) != os::CodeLook::intact)
      state.SkipWithError("changed");
  }
}
BENCHMARK(BM_LookAtCode)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_CodeStillRuns(benchmark::State& state) {
  Target t;
  IntegrityRecord record;
  if (!checked(state, t, record)) return;
  for (auto _ : state) {
    benchmark::DoNotOptimize(integrity_code_still_runs(record));
  }
}
BENCHMARK(BM_CodeStillRuns)->Arg(2)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- signature

// What a signature costs the handshake's look at a file: a padded
// vorn-bench-client of 2 or 64 MiB, unsigned or signed, its image examined
// as at a first launch (hashed, and the signature checked in the same read).
struct SignedClients {
  test::TempDir dir;
  test::ChildProcess child[2][2];  // [64 MiB?][signed?]
  os::ProcessId pid[2][2] = {};
};

SignedClients& signed_clients() {
  static SignedClients instance;
  return instance;
}

bool signed_client_ready(int big, int is_signed, std::string& error) {
  SignedClients& s = signed_clients();
  if (s.pid[big][is_signed] != 0) return true;
  const std::string name = std::to_string(big) + std::to_string(is_signed);
  const std::string client =
      make_client_copy(test::binary_directory(), s.dir.file("client" + name),
                       (big != 0 ? 64 : 2) * kMiB);
  sign::SigningKey key;
  sign::PublicKey ignored{};
  if (is_signed != 0 &&
      (sign::generate_key_file(s.dir.file(name + ".pem"), ignored) ||
       sign::load_key_file(s.dir.file(name + ".pem"), key) ||
       sign::sign_file(client, key))) {
    error = "cannot sign " + client;
    return false;
  }
  test::ChildProcess& child = s.child[big][is_signed];
  std::string line;
  if (client.empty() || !test::start_piped_child(child, client, {"idle"}) ||
      !test::read_child_line(child, line, 60000) ||
      line.rfind("ready pid=", 0) != 0) {
    error = "the client did not start: " + line;
    return false;
  }
  s.pid[big][is_signed] =
      static_cast<os::ProcessId>(std::stoul(line.substr(10)));
  return true;
}

// Arg 0: 2 or 64 (MiB); arg 1: 0 unsigned, 1 signed.
void BM_ExamineImage(benchmark::State& state) {
  const int big = state.range(0) == 64 ? 1 : 0;
  const int is_signed = static_cast<int>(state.range(1));
  std::string error;
  if (!signed_client_ready(big, is_signed, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const os::ProcessId pid = signed_clients().pid[big][is_signed];
  const os::ProcessHandle process = os::process_open_for_session(pid);
  state.SetLabel(is_signed != 0 ? "signed" : "unsigned");
  for (auto _ : state) {
    os::ExaminedFile result;
    if (os::examine_client_file(process, pid, os::ClientFile::image,
                                os::FileIdentity(), nullptr, nullptr, nullptr,
                                result) != os::ExamineOutcome::examined ||
        result.signers.size() != static_cast<std::size_t>(is_signed)) {
      state.SkipWithError("not examined as expected");
      return;
    }
  }
}
BENCHMARK(BM_ExamineImage)
    ->ArgsProduct({{2, 64}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void release_fixtures() {
  for (auto& pair : signed_clients().child) {
    for (test::ChildProcess& child : pair) {
      test::close_child_input(child);
      int exit_code = 0;
      test::wait_child(child, 5000, exit_code);
      test::release_child(child);
    }
  }
  Fixtures& f = fixtures();
  for (Fixtures::Client& c : f.big) {
    test::close_child_input(c.child);
    int exit_code = 0;
    test::wait_child(c.child, 5000, exit_code);
    test::release_child(c.child);
  }
  probe::unload_guard_library(f.own_module);
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  vorn::bench::release_fixtures();
  return 0;
}
