// vorn_attack_client: stages attacks on the service's view of a client, one
// step after another as the arguments name them, and speaks the protocol.
//
//   load PATH            dlopen PATH (an executable mapping of it)
//   map-data PATH        map PATH read-only
//   map-exec PATH        map PATH readable and executable
//   map-many N PATH      map the first page of PATH N times, apart
//   unlink PATH | copy FROM TO | symlink TARGET LINK
//   pty-link LINK        open a pseudo-terminal and link LINK to its slave
//   ctrl-c               type ^C on that terminal
//   own-mounts           a mount namespace of its own, sharing nothing back
//   tmpfs DIR | bind FROM TO
//   exec PATH            run PATH with the remaining steps
//   connect              connect to the service
//   handoff FILE         fork: the parent prints "pid=N" and exits, the
//                        child goes on once FILE exists, in the parent's name
//   hello E1 E2          send HELLO (connecting first when needed), print
//                        "< " and the reply, or "no reply"
//   send TEXT            send one message
//   session SECONDS      PING every second, then BYE; prints "bye"
//   main-exits           the rest runs on a thread; the main thread exits
//   patch WHAT HOW       change the last byte of the code mapping of WHAT
//                        (module | image) in memory, HOW: mem (a write to
//                        /proc/self/mem), ptrace (POKETEXT from a child) or
//                        mprotect (make it writable, write, restore)
//   share-map PATH       map PATH shared and writable, rewrite its first
//                        byte with itself (the times move once)
//   share-write          change PATH's last byte through that mapping
//   relink GENUINE       move its own program into anonymous memory at the
//                        same addresses and point its exe link at GENUINE
//                        (a user namespace of its own gives the right)
//   exec-keep PATH       after a HELLO: run PATH with the connection, its
//                        token and the remaining steps ("resume FD TOKEN")
//   reset-times PATH     set PATH's times to what they are (its change
//                        time moves, nothing else)
//   as-user UID          go on as user and group UID (from root)
//   hold-places N MS     open N silent connections, wait MS ms, print
//                        "held H of N" (those the service did not close)
//
// Prints "step failed: ..." and exits 2 when a step cannot be done.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/client.h"

namespace {

using vorn::os::ClientConnection;

struct State {
  std::vector<std::string> steps;
  std::size_t next = 0;
  ClientConnection connection;
  bool connected = false;
  unsigned claimed_pid = static_cast<unsigned>(::getpid());
  int pty_master = -1;
  std::string token;
  unsigned char* shared = nullptr;
  std::size_t shared_size = 0;
};

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

[[noreturn]] void fail(const std::string& what) {
  say("step failed: " + what);
  std::_Exit(2);
}

std::string take(State& state) {
  if (state.next >= state.steps.size()) fail("missing argument");
  return state.steps[state.next++];
}

void copy_file(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  if (!in || !out) fail("copy " + from);
  ::chmod(to.c_str(), 0755);
}

// Maps the first page of PATH `count` times: one page is enough for a maps
// line and fits any address space (a sanitizer's too), whatever the size.
void map_file(const std::string& path, int protection, std::size_t count) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open " + path);
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  for (std::size_t i = 0; i < count; ++i) {
    // Alternate protections keep neighbouring mappings from merging.
    const int protect = count == 1 || i % 2 == 0 ? protection : PROT_NONE;
    if (::mmap(nullptr, page, protect, MAP_PRIVATE, fd, 0) == MAP_FAILED) {
      fail("mmap " + path);
    }
  }
  ::close(fd);
}

struct MapLine {
  std::uintptr_t start = 0, end = 0;
  std::string perms, path;
};

std::vector<MapLine> own_mappings() {
  std::ifstream maps("/proc/self/maps");
  std::vector<MapLine> lines;
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    MapLine entry;
    std::string range, offset, device, inode;
    fields >> range >> entry.perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, entry.path);
    entry.start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    entry.end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    lines.push_back(entry);
  }
  return lines;
}

std::string own_program() {
  char path[4096] = {};
  if (::readlink("/proc/self/exe", path, sizeof path - 1) <= 0) fail("exe");
  return path;
}

// The last byte of the code mapping of the module or the image: page
// padding or data that is never run, so the program goes on unharmed.
unsigned char* last_code_byte(const std::string& what) {
  const std::string program = own_program();
  for (const MapLine& line : own_mappings()) {
    const bool wanted = what == "image"
                            ? line.path == program
                            : line.path.size() >= 17 &&
                                  line.path.compare(line.path.size() - 17, 17,
                                                    "/libvorn_guard.so") == 0;
    if (wanted && line.perms.find('x') != std::string::npos) {
      return reinterpret_cast<unsigned char*>(line.end - 1);
    }
  }
  fail("no code mapping of " + what);
}

// A plain store into code, kept from a sanitizer, whose bookkeeping has no
// place for the program's own code pages.
__attribute__((no_sanitize("address", "thread"))) void store_byte(
    unsigned char* target, unsigned char value) {
  *reinterpret_cast<volatile unsigned char*>(target) = value;
}

void patch(const std::string& what, const std::string& how) {
  unsigned char* target = last_code_byte(what);
  const unsigned char patched = static_cast<unsigned char>(*target ^ 0x5a);
  const std::uintptr_t page =
      reinterpret_cast<std::uintptr_t>(target) & ~std::uintptr_t(4095);
  if (how == "mem") {
    const int mem = ::open("/proc/self/mem", O_RDWR | O_CLOEXEC);
    if (mem < 0 || ::pwrite(mem, &patched, 1,
                            static_cast<off_t>(reinterpret_cast<std::uintptr_t>(
                                target))) != 1) {
      fail("write /proc/self/mem");
    }
    ::close(mem);
  } else if (how == "mprotect") {
    void* start = reinterpret_cast<void*>(page);
    if (::mprotect(start, 4096, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
      fail("mprotect");
    }
    store_byte(target, patched);
    ::mprotect(start, 4096, PROT_READ | PROT_EXEC);
  } else if (how == "ptrace") {
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) fail("fork");
    if (child == 0) {
      const std::uintptr_t word =
          reinterpret_cast<std::uintptr_t>(target) & ~std::uintptr_t(7);
      if (::ptrace(PTRACE_ATTACH, parent, nullptr, nullptr) != 0) _exit(1);
      ::waitpid(parent, nullptr, __WALL);
      errno = 0;
      long value = ::ptrace(PTRACE_PEEKTEXT, parent, word, nullptr);
      if (errno != 0) _exit(1);
      reinterpret_cast<unsigned char*>(
          &value)[reinterpret_cast<std::uintptr_t>(target) - word] = patched;
      const long poked = ::ptrace(PTRACE_POKETEXT, parent, word, value);
      ::ptrace(PTRACE_DETACH, parent, nullptr, nullptr);
      _exit(poked == 0 ? 0 : 1);
    }
    ::prctl(PR_SET_PTRACER, child);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("ptrace");
  } else {
    fail("patch how " + how);
  }
  say("patched");
}

void share_map(State& state, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) fail("open " + path);
  state.shared_size = static_cast<std::size_t>(info.st_size);
  void* map = ::mmap(nullptr, state.shared_size, PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) fail("mmap shared " + path);
  state.shared = static_cast<unsigned char*>(map);
  state.shared[0] = state.shared[0];
}

// Copies every mapping of its own program to anonymous memory at the same
// addresses, then names GENUINE as its executable. Runs on: the code moved
// is byte for byte the code that ran.
void relink(const std::string& genuine) {
  const std::string program = own_program();
  const int genuine_fd = ::open(genuine.c_str(), O_RDONLY | O_CLOEXEC);
  if (genuine_fd < 0) fail("open " + genuine);
  const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (memory < 0) fail("open /proc/self/mem");
  for (const MapLine& line : own_mappings()) {
    if (line.path != program) continue;
    const std::size_t size = line.end - line.start;
    void* copy = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) fail("mmap copy");
    // Read by the kernel, so that a sanitizer's poisoned globals are copied
    // like any other byte.
    if (::pread(memory, copy, size, static_cast<off_t>(line.start)) !=
        static_cast<ssize_t>(size)) {
      fail("read own memory");
    }
    int protection = 0;
    if (line.perms[0] == 'r') protection |= PROT_READ;
    if (line.perms[1] == 'w') protection |= PROT_WRITE;
    if (line.perms[2] == 'x') protection |= PROT_EXEC;
    ::mprotect(copy, size, protection);
    if (::mremap(copy, size, size, MREMAP_MAYMOVE | MREMAP_FIXED,
                 reinterpret_cast<void*>(line.start)) == MAP_FAILED) {
      fail("mremap");
    }
  }
  ::close(memory);
  if (::unshare(CLONE_NEWUSER) != 0) fail("unshare");
  // The fields PR_SET_MM_MAP wants, as the kernel keeps them now.
  std::ifstream stat_file("/proc/self/stat");
  const std::string stat((std::istreambuf_iterator<char>(stat_file)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::vector<unsigned long long> values(52, 0);
  std::string state_field;
  fields >> state_field;
  for (std::size_t i = 3; i < values.size() && fields >> values[i]; ++i) {
  }
  // stat's fields, counted from 1: 26 startcode, 27 endcode, 28 startstack,
  // 45 start_data, 46 end_data, 47 start_brk, 48 arg_start, 49 arg_end,
  // 50 env_start, 51 env_end; here index = field - 1.
  const auto field = [&values](std::size_t number) {
    return number - 1 < values.size() ? values[number - 1] : 0ull;
  };
  struct prctl_mm_map map {};
  map.start_code = field(26);
  map.end_code = field(27);
  map.start_stack = field(28);
  map.start_data = field(45);
  map.end_data = field(46);
  map.start_brk = field(47);
  map.brk = reinterpret_cast<unsigned long long>(::sbrk(0));
  map.arg_start = field(48);
  map.arg_end = field(49);
  map.env_start = field(50);
  map.env_end = field(51);
  map.exe_fd = static_cast<__u32>(genuine_fd);
  if (::prctl(PR_SET_MM, PR_SET_MM_MAP, &map, sizeof map, 0) != 0) {
    fail(std::string("PR_SET_MM_MAP: ") + std::strerror(errno));
  }
  say("relinked to " + own_program());
}

void connect(State& state) {
  if (vorn::os::client_connect(state.connection, 10000) !=
      vorn::os::ConnectResult::connected) {
    fail("connect");
  }
  state.connected = true;
}

bool send(State& state, const std::string& message) {
  if (!state.connected) connect(state);
  return vorn::os::client_write(state.connection, message.data(),
                                message.size());
}

std::string receive(State& state, std::uint32_t timeout_ms) {
  std::string reply;
  bool closed = false;
  if (!vorn::os::client_read(state.connection, reply, timeout_ms, closed)) {
    return closed ? "closed" : "no reply";
  }
  while (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return "< " + reply;
}

void hello(State& state) {
  const std::string e1 = take(state);
  const std::string e2 = take(state);
  if (!send(state, "HELLO|" + std::to_string(state.claimed_pid) +
                       "|attack-client|" + e1 + "|" + e2)) {
    fail("send HELLO");
  }
  const std::string reply = receive(state, 5000);
  say(reply);
  const std::size_t bar = reply.find('|');
  if (reply.rfind("< OK|", 0) == 0) state.token = reply.substr(bar + 1, 64);
}

void session(State& state, int seconds) {
  for (int sequence = 1; sequence <= seconds; ++sequence) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    send(state, "PING|" + state.token + "|" + std::to_string(sequence) + "|a");
    say(receive(state, 3000));
  }
  send(state, "BYE|" + state.token);
  say("bye");
}

void hold_places(int count, int wait_ms) {
  std::vector<vorn::os::ClientConnection> connections(count);
  for (vorn::os::ClientConnection& connection : connections) {
    if (vorn::os::client_connect(connection, 10000) !=
        vorn::os::ConnectResult::connected) {
      fail("connect");
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  int held = 0;
  for (vorn::os::ClientConnection& connection : connections) {
    std::string ignored;
    bool closed = false;
    vorn::os::client_read(connection, ignored, 0, closed);
    if (!closed) ++held;
    connection.close();
  }
  say("held " + std::to_string(held) + " of " + std::to_string(count));
}

void run_steps(State& state);

void* run_on_thread(void* state) {
  run_steps(*static_cast<State*>(state));
  std::_Exit(0);
}

void run_steps(State& state) {
  while (state.next < state.steps.size()) {
    const std::string step = take(state);
    if (step == "load") {
      const std::string path = take(state);
      if (::dlopen(path.c_str(), RTLD_NOW) == nullptr) fail("dlopen " + path);
    } else if (step == "map-data") {
      map_file(take(state), PROT_READ, 1);
    } else if (step == "map-exec") {
      map_file(take(state), PROT_READ | PROT_EXEC, 1);
    } else if (step == "map-many") {
      const std::size_t count = std::stoul(take(state));
      map_file(take(state), PROT_READ, count);
    } else if (step == "unlink") {
      if (::unlink(take(state).c_str()) != 0) fail("unlink");
    } else if (step == "copy") {
      const std::string from = take(state);
      copy_file(from, take(state));
    } else if (step == "symlink") {
      const std::string target = take(state);
      if (::symlink(target.c_str(), take(state).c_str()) != 0) fail("symlink");
    } else if (step == "pty-link") {
      state.pty_master = ::posix_openpt(O_RDWR | O_NOCTTY);
      if (state.pty_master < 0 || ::grantpt(state.pty_master) != 0 ||
          ::unlockpt(state.pty_master) != 0 ||
          ::symlink(::ptsname(state.pty_master), take(state).c_str()) != 0) {
        fail("pty-link");
      }
    } else if (step == "ctrl-c") {
      if (::write(state.pty_master, "\x03", 1) != 1) fail("ctrl-c");
    } else if (step == "own-mounts") {
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail("own-mounts");
      }
    } else if (step == "tmpfs") {
      if (::mount("tmpfs", take(state).c_str(), "tmpfs", 0, nullptr) != 0) {
        fail("tmpfs");
      }
    } else if (step == "bind") {
      const std::string from = take(state);
      if (::mount(from.c_str(), take(state).c_str(), nullptr, MS_BIND,
                  nullptr) != 0) {
        fail("bind");
      }
    } else if (step == "exec") {
      std::vector<std::string> rest(
          state.steps.begin() + static_cast<std::ptrdiff_t>(state.next),
          state.steps.end());
      // rest[0] is the program; the steps after it are its arguments.
      std::vector<char*> argv;
      for (std::string& text : rest) argv.push_back(text.data());
      argv.push_back(nullptr);
      if (argv.size() < 2) fail("exec");
      ::execv(argv[0], argv.data());
      fail("exec");
    } else if (step == "connect") {
      connect(state);
    } else if (step == "handoff") {
      const std::string go = take(state);
      const pid_t child = ::fork();
      if (child < 0) fail("fork");
      if (child > 0) {
        say("pid=" + std::to_string(::getpid()));
        // Long enough for the service to have taken the connection.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::_Exit(0);
      }
      state.claimed_pid = static_cast<unsigned>(::getppid());
      while (::access(go.c_str(), F_OK) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    } else if (step == "hello") {
      hello(state);
    } else if (step == "send") {
      if (!send(state, take(state))) fail("send");
    } else if (step == "session") {
      session(state, std::stoi(take(state)));
    } else if (step == "patch") {
      const std::string what = take(state);
      patch(what, take(state));
    } else if (step == "share-map") {
      share_map(state, take(state));
    } else if (step == "share-write") {
      if (state.shared == nullptr) fail("share-write before share-map");
      state.shared[state.shared_size - 1] ^= 0x5a;
      say("written");
    } else if (step == "reset-times") {
      struct stat info {};
      const std::string path = take(state);
      if (::stat(path.c_str(), &info) != 0) fail("reset-times");
      const timespec times[2] = {info.st_atim, info.st_mtim};
      if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        fail("reset-times");
      }
    } else if (step == "as-user") {
      const auto id = static_cast<uid_t>(std::stoul(take(state)));
      if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 ||
          ::setuid(id) != 0) {
        fail("as-user");
      }
    } else if (step == "hold-places") {
      const int count = std::stoi(take(state));
      hold_places(count, std::stoi(take(state)));
    } else if (step == "relink") {
      relink(take(state));
    } else if (step == "exec-keep") {
      const int fd = static_cast<int>(state.connection.raw());
      ::fcntl(fd, F_SETFD, 0);
      std::vector<std::string> rest = {take(state), "resume",
                                       std::to_string(fd), state.token};
      rest.insert(rest.end(),
                  state.steps.begin() + static_cast<std::ptrdiff_t>(state.next),
                  state.steps.end());
      std::vector<char*> argv;
      for (std::string& text : rest) argv.push_back(text.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      fail("exec-keep");
    } else if (step == "resume") {
      state.connection = vorn::os::ClientConnection(std::stoi(take(state)));
      state.connected = true;
      state.token = take(state);
      say("resumed");
    } else if (step == "main-exits") {
      pthread_t thread;
      if (::pthread_create(&thread, nullptr, run_on_thread, &state) != 0) {
        fail("thread");
      }
      ::pthread_exit(nullptr);
    } else {
      fail("unknown step " + step);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  static State state;
  state.steps.assign(argv + 1, argv + argc);
  run_steps(state);
  say("done");
  return 0;
}
