// One connected client (a pipe instance on Windows, a socket on POSIX) and
// the only ways the session reaches it: read a message, send one, look at
// what is waiting, take hold of the client process, close.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "pipe/client_process.h"
#include "platform/runtime.h"

namespace vorn {

class Connection {
 public:
  Connection() = default;
  // Takes over a connected `pipe`, which nobody else closes.
  explicit Connection(os::PipeHandle pipe) : pipe_(std::move(pipe)) {}
  Connection(Connection&& other) noexcept = default;
  Connection& operator=(Connection&& other) noexcept;
  // An owner that goes without an explicit close still releases the
  // instance, with the same bounded flush.
  ~Connection() { close(); }

  bool is_open() const { return pipe_.open(); }

  // Takes hold of the process at the other end (see os::pipe_client_process).
  // `process` is filled only when the answer is `held`.
  os::ClientHold take_client(os::ProcessId& pid, ClientProcess& process);

  // Total bytes waiting; false once the connection is broken and nothing is
  // left to read.
  bool bytes_waiting(std::uint32_t& bytes);
  // An empty message waiting, where the OS can tell it from silence.
  bool empty_message_waiting();

  // One message of at least one byte, without its trailing LF / CR / NUL
  // run; false otherwise (text untouched).
  bool read_message(std::string& text);
  // `text` + LF as one message, waiting at most the write bound.
  os::WriteOutcome send(const std::string& text);
  // The same, true only when the whole frame went out.
  bool write(const std::string& text);

  // Flush (bounded), disconnect, close; nothing once closed.
  void close();

 private:
  os::PipeHandle pipe_;
};

}  // namespace vorn
