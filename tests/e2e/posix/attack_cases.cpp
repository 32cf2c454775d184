// The Linux attacks, staged by vorn_attack_client. Each comment says how the
// attack used to succeed.
#include "e2e/attack_cases.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "e2e/e2e_support.h"
#include "e2e/service_log_reader.h"
#include "e2e/service_resources.h"
#include "integrity/integrity.h"

namespace vorn::test {
namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;
using Steps = std::vector<std::string>;

const std::string kZero(64, '0');

std::string attacker() { return binary_directory() + "/vorn_attack_client"; }
std::string module() { return binary_directory() + "/libvorn_guard.so.1"; }

std::string evidence(const std::string& path) {
  std::string hex;
  return file_evidence(path, hex) ? hex : "unreadable " + path;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A runnable copy of `from`; a patched one has one byte more: it still runs
// or loads, but hashes to something else.
std::string copy_of(const std::string& from, const std::string& to,
                    bool patched = false) {
  write_file(to, read_file(from) + (patched ? std::string(1, '\0') : ""));
  ::chmod(to.c_str(), 0755);
  return to;
}

// Runs the attacker with `steps` and returns what it printed once it ends.
std::string attack(const ServiceRun& run, const Steps& steps,
                   const std::string& program = attacker()) {
  static int count = 0;
  const std::string out = run.dir->file("attack" + std::to_string(++count));
  ChildProcess child;
  if (!start_child(child, program, steps, client_environment(run), out)) {
    return "cannot start " + program;
  }
  int exit_code = -1;
  if (!wait_child(child, 60000, exit_code)) kill_child(child);
  release_child(child);
  return read_file(out);
}

AssertionResult reply_is(const std::string& output, const std::string& reply) {
  if (contains(output, "< " + reply)) return AssertionSuccess();
  return AssertionFailure() << "expected " << reply << ", got: " << output;
}

std::string needs_root() {
  return ::geteuid() == 0 ? "" : "staging this attack needs root";
}

std::string status_field(unsigned pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
  }
  return "";
}

// Running (not a zombie) and without a controlling terminal, from the
// fields of /proc/<pid>/stat after the parenthesised name.
bool running_without_terminal(unsigned pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  if (text.rfind(')') == std::string::npos) return false;
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string state;
  long parent = 0, group = 0, session = 0, terminal = -1;
  fields >> state >> parent >> group >> session >> terminal;
  return state != "Z" && terminal == 0;
}

// 1. The pid was read at the connection, the process opened only after
// the hash: a client that handed its socket to a child and exited had its
// pid reused by the next process, and that one was inspected and killed.
AssertionResult pid_reuse(const ServiceRun& run) {
  const std::string go = run.dir->file("go");
  const std::string output_file = run.dir->file("handoff.out");
  ChildProcess parent;
  if (!start_child(parent, attacker(),
                   {"load", module(), "connect", "handoff", go, "hello",
                    evidence(binary_directory() + "/vorn-guard-probe"),
                    evidence(module()), "send", "garbage"},
                   client_environment(run), output_file)) {
    return AssertionFailure() << "cannot start the attacker";
  }
  const unsigned reused = parent.pid;
  int exit_code = -1;
  wait_child(parent, 10000, exit_code);
  release_child(parent);
  // The next process forked takes the freed pid: a genuine client.
  ChildProcess victim;
  for (int attempt = 0; attempt < 5 && victim.pid != reused; ++attempt) {
    release_child(victim);
    std::ofstream("/proc/sys/kernel/ns_last_pid") << reused - 1;
    start_probe(run, {"evidence", "--load-guard", "--hold-ms", "30000"}, victim,
                run.dir->file("victim.out"));
  }
  if (victim.pid != reused) {
    release_child(victim);
    return AssertionFailure() << "pid " << reused << " was not reused";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  write_file(go, "");
  std::string output;
  for (int i = 0; i < 250 && !contains(output, "done"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    output = read_file(output_file);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const bool victim_ended = wait_child(victim, 0, exit_code);
  release_child(victim);
  if (victim_ended || contains(output, "< OK|")) {
    return AssertionFailure() << "the reused pid's process was taken for the "
                                 "client: "
                              << output;
  }
  return reply_is(output, "ERR|IDENTITY");
}

// 2. The image was opened by the name /proc printed, following links and
// without O_NOCTTY: a link at "game (deleted)" to a terminal made it the
// service's controlling terminal, and ^C on it stopped the service.
AssertionResult terminal_link(const ServiceRun& run) {
  const std::string game = copy_of(attacker(), run.dir->file("game"));
  const std::string output =
      attack(run,
             {"load", module(), "unlink", game, "pty-link", game + " (deleted)",
              "hello", kZero, evidence(module()), "ctrl-c"},
             game);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  if (!running_without_terminal(service_pid(run))) {
    return AssertionFailure()
           << "the service took a terminal or stopped: " << output;
  }
  return reply_is(output, "ERR|INTEGRITY");
}

// 3a and 4. The files were hashed by the names /proc printed: genuine
// copies (or any file at all, such as a root-only secret) at the literal
// names "... (deleted)" stood for the patched files that really ran.
AssertionResult deleted_names(const ServiceRun& run, bool secret) {
  const std::string game = copy_of(attacker(), run.dir->file("game"), true);
  const std::string guard =
      copy_of(module(), run.dir->file("libvorn_guard.so"), true);
  std::string claimed_image = evidence(attacker());
  Steps steps = {"load", guard,    "unlink",
                 guard,  "unlink", game,
                 "copy", module(), guard + " (deleted)"};
  if (secret) {
    const std::string pin = run.dir->file("pin");
    write_file(pin, "042");
    ::chmod(pin.c_str(), 0600);
    claimed_image = evidence(pin);
    steps.insert(steps.end(), {"symlink", pin, game + " (deleted)"});
  } else {
    steps.insert(steps.end(), {"copy", attacker(), game + " (deleted)"});
  }
  steps.insert(steps.end(), {"hello", claimed_image, evidence(module())});
  return reply_is(attack(run, steps, game), "ERR|INTEGRITY");
}

// 3b. A newline in a folder name shows as "\012" in maps; the genuine
// module in a folder of that literal name was hashed instead.
AssertionResult escaped_name(const ServiceRun& run) {
  const std::string real = run.dir->file("a\nb");
  const std::string look_alike = run.dir->file("a\\012b");
  ::mkdir(real.c_str(), 0755);
  ::mkdir(look_alike.c_str(), 0755);
  copy_of(module(), look_alike + "/libvorn_guard.so");
  const std::string guard = copy_of(module(), real + "/libvorn_guard.so", true);
  return reply_is(attack(run, {"load", guard, "hello", evidence(attacker()),
                               evidence(module())}),
                  "ERR|INTEGRITY");
}

// 3c. The exe's path was resolved in the service's mount namespace: a
// client that bound a patched program over the genuine path in a namespace
// of its own was judged by the genuine file.
AssertionResult own_mount_view(const ServiceRun& run) {
  const std::string game = copy_of(attacker(), run.dir->file("game"));
  const std::string patched =
      copy_of(attacker(), run.dir->file("patched"), true);
  return reply_is(
      attack(run, {"own-mounts", "bind", patched, game, "exec", game, "load",
                   module(), "hello", evidence(game), evidence(module())}),
      "ERR|INTEGRITY");
}

// 3d. Any mapping of a file named libvorn_guard.so counted as the module.
AssertionResult data_file_as_module(const ServiceRun& run) {
  const std::string fake = run.dir->file("libvorn_guard.so");
  write_file(fake, std::string(4096, 'x'));
  return reply_is(attack(run, {"map-data", fake, "hello", evidence(attacker()),
                               evidence(fake)}),
                  "ERR|IDENTITY");
}

// 3e. Any mapping of a file named libvorn_guard.so counted as the module: a
// copy of the C library under that name, with its own digest as evidence,
// was served without the module.
AssertionResult other_library_as_module(const ServiceRun& run) {
  Dl_info library{};
  if (::dladdr(reinterpret_cast<void*>(&::getpid), &library) == 0 ||
      library.dli_fname == nullptr) {
    return AssertionFailure() << "cannot find the C library";
  }
  const std::string fake =
      copy_of(library.dli_fname, run.dir->file("libvorn_guard.so"));
  return reply_is(attack(run, {"map-exec", fake, "hello", evidence(attacker()),
                               evidence(fake)}),
                  "ERR|IDENTITY");
}

// 7c (honest). The module was found by its file name only: a game shipping
// it under its SONAME as a plain file (what cp -L and archives without links
// make), or under a name of its own, was refused.
AssertionResult module_under_another_name(const ServiceRun& run,
                                          const std::string& name) {
  const std::string guard = copy_of(module(), run.dir->file(name));
  return reply_is(attack(run, {"load", guard, "hello", evidence(attacker()),
                               evidence(module())}),
                  "OK|");
}

// 5. maps was read whole: many mappings of a file with a long path took
// the service's memory up by hundreds of megabytes per HELLO.
AssertionResult maps_flood(const ServiceRun& run) {
  std::string path = run.dir->path();
  while (path.size() < 3800) {
    path += "/" + std::string(200, 'd');
    ::mkdir(path.c_str(), 0755);
  }
  path += "/file";
  write_file(path, std::string(4096, 'f'));
  const unsigned service = service_pid(run);
  const long before_kib = std::atol(status_field(service, "VmHWM").c_str());
  const std::string output =
      attack(run, {"map-many", "30000", path, "hello", kZero, kZero});
  // The maps text is about 120 MB; reading it whole raised the peak by more.
  const long growth_kib =
      std::atol(status_field(service, "VmHWM").c_str()) - before_kib;
  if (contains(output, "< OK|") || before_kib <= 0 || growth_kib > 32 * 1024) {
    return AssertionFailure()
           << "peak grew by " << growth_kib << " KiB, " << output;
  }
  return AssertionSuccess();
}

// 6. Nothing bounded the hash: a 1 TiB sparse "module" (the module's bytes
// first, so that it is taken for the module) kept a worker hashing for hours
// after its client had gone.
AssertionResult huge_module(const ServiceRun& run) {
  const std::string huge = copy_of(module(), run.dir->file("game_guard.so"));
  const int fd = ::open(huge.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, 1ll << 40) != 0) {
    return AssertionFailure() << "cannot make a sparse file";
  }
  ::close(fd);
  return reply_is(
      attack(run, {"map-exec", huge, "hello", evidence(attacker()), kZero}),
      "ERR|INTEGRITY");
}

// 7a (honest). A game in a mount namespace of its own (a sandbox, or a
// game under /tmp beside a service with PrivateTmp) was refused: its files
// were looked up by name in the service's view.
AssertionResult game_in_own_namespace(const ServiceRun& run) {
  const std::string box = run.dir->file("box");
  ::mkdir(box.c_str(), 0755);
  return reply_is(
      attack(run, {"own-mounts", "tmpfs", box, "copy", attacker(),
                   box + "/game", "copy", module(), box + "/libvorn_guard.so",
                   "exec", box + "/game", "load", box + "/libvorn_guard.so",
                   "hello", evidence(attacker()), evidence(module())}),
      "OK|");
}

// 7b (honest). A game whose main thread has exited shows an empty exe and
// maps for its leader: it was killed at the first re-check.
AssertionResult main_thread_exited(const ServiceRun& run) {
  const std::string output =
      attack(run, {"load", module(), "main-exits", "hello",
                   evidence(attacker()), evidence(module()), "session", "12"});
  if (!contains(output, "< OK|") || !contains(output, "< PONG|12\n") ||
      !contains(output, "bye\n")) {
    return AssertionFailure() << output;
  }
  for (const std::string& line : service_log_lines(run)) {
    if (line.rfind("ENFORCEMENT", 0) == 0) return AssertionFailure() << line;
  }
  return AssertionSuccess();
}

// 8. Any folder named by RUNTIME_DIRECTORY was listened in: its owner could
// replace the socket.
AssertionResult untrusted_endpoint_folder(const ServiceRun& run, bool foreign) {
  const std::string folder = run.dir->file(foreign ? "foreign" : "shared");
  ::mkdir(folder.c_str(), 0755);
  if (foreign) {
    if (::chown(folder.c_str(), 65534, 65534) != 0) {
      return AssertionFailure() << "cannot chown " << folder;
    }
  } else {
    ::chmod(folder.c_str(), 0775);
  }
  ChildProcess service;
  const std::string out = run.dir->file("second-service.out");
  start_child(
      service, binary_directory() + "/vorn-guard-service", {},
      {{"RUNTIME_DIRECTORY", folder}, {"ProgramData", run.dir->file("data")}},
      out);
  int exit_code = -1;
  const bool ended = wait_child(service, 5000, exit_code);
  release_child(service);
  if (!ended || exit_code != 1) {
    return AssertionFailure() << "the service listened in " << folder;
  }
  return AssertionSuccess();
}

// 9. What ran was never looked at, only the files that the kernel's names
// pointed at: code moved to anonymous memory behind an exe link pointed at
// the genuine file, code patched in memory or through a shared mapping of
// its file after the OK, and a patched program exec'd in the same pid, were
// all served. `before` runs before the HELLO, `after` after its OK; an
// attack is refused at the HELLO or ended within one re-check interval.
AssertionResult code_attack(const ServiceRun& run, const Steps& before,
                            const Steps& after, bool refused) {
  const std::string guard =
      copy_of(module(), run.dir->file("libvorn_guard.so"));
  const std::string game = copy_of(attacker(), run.dir->file("game"), true);
  Steps steps = {"load", guard};
  for (const std::string& step : before) {
    steps.push_back(step == "GAME" ? game : step == "GUARD" ? guard : step);
  }
  steps.insert(steps.end(),
               {"hello", evidence(attacker()), evidence(module())});
  for (const std::string& step : after) {
    steps.push_back(step == "GAME" ? game : step);
  }
  steps.insert(steps.end(), {"session", "14"});
  const std::string output = attack(run, steps);
  if (refused) return reply_is(output, "ERR|INTEGRITY");
  std::size_t pongs = 0;
  for (std::size_t at = output.find("< PONG|"); at != std::string::npos;
       at = output.find("< PONG|", at + 1)) {
    ++pongs;
  }
  // Ten seconds to the re-check, the rest of the session's fourteen beside.
  const bool exec_case = contains(output, "resumed");
  bool ended = false;
  for (const std::string& line : service_log_lines(run)) {
    ended |= contains(line, "ENFORCEMENT") &&
             contains(line, "reason=RUNTIME_INTEGRITY_CHANGED");
  }
  if (!contains(output, "< OK|") || !ended || pongs > 11 ||
      contains(output, "bye\n")) {
    return AssertionFailure()
           << pongs << " PONGs, ended " << ended << ": " << output;
  }
  // An exec is caught at the new program's first PING.
  if (exec_case && contains(output.substr(output.find("resumed")), "< PONG|")) {
    return AssertionFailure() << "the exec'd program was answered: " << output;
  }
  return AssertionSuccess();
}

// A new user namespace needs a single-threaded process; ThreadSanitizer's
// runtime keeps a thread of its own in every program.
std::string needs_one_thread() {
#if defined(__SANITIZE_THREAD__)
  return "ThreadSanitizer's own thread keeps the attacker from a user "
         "namespace";
#else
  return "";
#endif
}

// Whether the service's diagnostics (their own writer thread, so waited
// for) came to name `text`.
bool service_said(const ServiceRun& run, const std::string& text) {
  for (int wait = 0; wait < 100; ++wait) {
    if (contains(read_file(run.dir->file("service.err")), text)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string needs_squashfuse() {
  if (!needs_root().empty()) return needs_root();
  return std::system("command -v squashfuse mksquashfs >/dev/null") == 0
             ? ""
             : "squashfuse and mksquashfs are not installed";
}

// 10. A game run from a FUSE mount: the file system's server chooses the
// bytes each reader gets, so the service refuses it and says why.
AssertionResult game_on_fuse(const ServiceRun& run) {
  const std::string content = run.dir->file("content");
  const std::string image = run.dir->file("game.squashfs");
  const std::string mount = run.dir->file("mnt");
  ::mkdir(content.c_str(), 0755);
  ::mkdir(mount.c_str(), 0755);
  copy_of(attacker(), content + "/game");
  copy_of(module(), content + "/libvorn_guard.so");
  if (std::system(("mksquashfs " + content + " " + image +
                   " -quiet -no-progress >/dev/null && squashfuse -o "
                   "allow_other " +
                   image + " " + mount)
                      .c_str()) != 0) {
    return AssertionFailure() << "cannot mount " << image;
  }
  const std::string output =
      attack(run,
             {"load", mount + "/libvorn_guard.so", "hello",
              evidence(attacker()), evidence(module())},
             mount + "/game");
  if (std::system(
          ("fusermount3 -u " + mount + " || umount " + mount).c_str()) != 0) {
    return AssertionFailure() << "cannot unmount " << mount;
  }
  if (!service_said(run, "fuse.squashfuse")) {
    return AssertionFailure() << "no word of the file system: " << output;
  }
  return reply_is(output, "ERR|INTEGRITY");
}

// 11. Under the strict code policy, a library that is neither a system file
// nor listed (here one that anybody may write) is refused.
AssertionResult unlisted_library(const ServiceRun& run) {
  write_trusted_list(run, "strict-code\n" + evidence(attacker()) + "\n" +
                              evidence(module()) + "\n");
  const std::string library =
      copy_of(module(), run.dir->file("overlay.so"), true);
  ::chmod(library.c_str(), 0666);
  const std::string output =
      attack(run, {"map-exec", library, "load", module(), "hello",
                   evidence(attacker()), evidence(module())});
  remove_trusted_list(run);
  if (!service_said(run, library + ", which is neither")) {
    return AssertionFailure() << "no word of the library: " << output;
  }
  return reply_is(output, "ERR|INTEGRITY");
}

// 12. A re-check hashed a file again whenever its times moved: a client that
// reset its executable's times every second and a half made the service hash
// its (sparse, 4 GiB) file at every re-check of each of its sessions. Such a
// file has changed since it was verified: the session ends, nothing is
// hashed.
AssertionResult times_reset(const ServiceRun& run) {
  const std::string game = copy_of(attacker(), run.dir->file("game"));
  const std::string output =
      attack(run,
             {"load", module(), "hello", evidence(attacker()),
              evidence(module()), "reset-times", game, "session", "14"},
             game);
  if (!service_said(run, "executable changed while it was checked")) {
    return AssertionFailure() << "no word of the change: " << output;
  }
  for (const std::string& line : service_log_lines(run)) {
    if (contains(line, "reason=RUNTIME_INTEGRITY_CHANGED")) {
      return AssertionSuccess();
    }
  }
  return AssertionFailure() << "the session was not ended: " << output;
}

// 13. One user took every place: 32 silent connections, reopened as they
// were dropped, kept every other user's game waiting. A user that tries for
// 20 places now holds 16, and another user's game is served meanwhile.
AssertionResult places_taken_by_one_user(const ServiceRun& run) {
  ChildProcess squatter;
  const std::string squatter_output = run.dir->file("places");
  if (!start_child(squatter, attacker(),
                   {"as-user", "65534", "hold-places", "20", "6000"},
                   client_environment(run), squatter_output)) {
    return AssertionFailure() << "cannot start the attacker";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  const std::string game =
      attack(run, {"load", module(), "as-user", "65533", "hello",
                   evidence(attacker()), evidence(module())});
  int exit_code = -1;
  if (!wait_child(squatter, 60000, exit_code)) kill_child(squatter);
  release_child(squatter);
  if (read_file(squatter_output) != "held 16 of 20\ndone\n") {
    return AssertionFailure() << read_file(squatter_output);
  }
  return reply_is(game, "OK|");
}

}  // namespace

std::vector<AttackCase> attack_cases() {
  return {
      {"PidReuse", pid_reuse, needs_root},
      {"TerminalLinkedAtDeletedName", terminal_link},
      {"GenuineFilesAtDeletedNames",
       [](const ServiceRun& run) { return deleted_names(run, false); }},
      {"RootOnlyFileAtDeletedName",
       [](const ServiceRun& run) { return deleted_names(run, true); }},
      {"EscapedFolderName", escaped_name},
      {"PatchedProgramInOwnMountView", own_mount_view, needs_root},
      {"ReadOnlyDataFileAsModule", data_file_as_module},
      {"OtherLibraryNamedAsTheModule", other_library_as_module},
      {"HonestGameWithTheModuleUnderItsSoname",
       [](const ServiceRun& run) {
         return module_under_another_name(run, "libvorn_guard.so.1");
       }},
      {"HonestGameWithTheModuleRenamed",
       [](const ServiceRun& run) {
         return module_under_another_name(run, "game_guard.so");
       }},
      {"MapsFlood", maps_flood},
      {"HugeSparseModule", huge_module},
      {"HonestGameInOwnMountNamespace", game_in_own_namespace, needs_root},
      {"HonestGameWhoseMainThreadExited", main_thread_exited},
      {"EndpointFolderOfAnotherUser",
       [](const ServiceRun& run) {
         return untrusted_endpoint_folder(run, true);
       },
       needs_root},
      {"CodeRelinkedToTheGenuineProgram",
       [](const ServiceRun& run) {
         return code_attack(run, {"relink", attacker()}, {}, true);
       },
       needs_one_thread},
      {"ModuleFileChangedThroughASharedMapping",
       [](const ServiceRun& run) {
         return code_attack(run, {"share-map", "GUARD"}, {"share-write"},
                            false);
       }},
      {"ModuleCodeWrittenThroughProcMem",
       [](const ServiceRun& run) {
         return code_attack(run, {}, {"patch", "module", "mem"}, false);
       }},
      {"ModuleCodeWrittenByPtrace",
       [](const ServiceRun& run) {
         return code_attack(run, {}, {"patch", "module", "ptrace"}, false);
       }},
      {"ImageCodeWrittenAfterMprotect",
       [](const ServiceRun& run) {
         return code_attack(run, {}, {"patch", "image", "mprotect"}, false);
       }},
      {"PatchedProgramExecedInTheSamePid",
       [](const ServiceRun& run) {
         return code_attack(run, {}, {"exec-keep", "GAME"}, false);
       }},
      {"GameOnAFuseMount", game_on_fuse, needs_squashfuse},
      {"UnlistedLibraryUnderStrictCode", unlisted_library},
      {"ExecutableTimesResetDuringASession", times_reset},
      {"OneUserTakesEveryPlace", places_taken_by_one_user, needs_root},
      {"EndpointFolderGroupWritable",
       [](const ServiceRun& run) {
         return untrusted_endpoint_folder(run, false);
       }},
  };
}

}  // namespace vorn::test
