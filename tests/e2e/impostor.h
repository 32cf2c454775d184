// An endpoint that something other than the service answers: on POSIX a
// process running as another user (which takes root to set up), on Windows
// the test process itself rather than the service's. A client must find
// out before it sends a byte.
#pragma once

#include <memory>
#include <string>

#include "support/temp_dir.h"

namespace vorn::test {

class Impostor {
 public:
  Impostor();
  ~Impostor();
  Impostor(const Impostor&) = delete;
  Impostor& operator=(const Impostor&) = delete;

  // Starts answering at a fresh endpoint in `dir` (POSIX) or under a fresh
  // pipe name. False with `error` when it cannot here (`skip`: not as root).
  bool start(const TempDir& dir, std::string& error, bool& skip);
  // What VORN_GUARD_ENDPOINT must name to reach it.
  std::string endpoint() const;
  // Waits at most timeout_ms for the one client to leave; the bytes it sent,
  // or -1 when none came or the wait ran out.
  long bytes_received(unsigned timeout_ms);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vorn::test
