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
//
// Prints "step failed: ..." and exits 2 when a step cannot be done.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
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
