#include "pipe/connection.h"

#include "pipe/pipe_channel.h"

namespace vorn {

Connection& Connection::operator=(Connection&& other) noexcept {
  // Released as close() does, with the bounded flush, not just closed.
  if (this != &other) {
    close();
    pipe_ = std::move(other.pipe_);
  }
  return *this;
}

os::ClientHold Connection::take_client(os::ProcessId& pid,
                                       ClientProcess& process) {
  os::ProcessHandle handle;
  const os::ClientHold hold = os::pipe_client_process(pipe_, pid, handle);
  // Whatever was opened is owned, whatever the answer.
  if (handle.open()) process = ClientProcess(std::move(handle));
  return hold;
}

bool Connection::bytes_waiting(std::uint32_t& bytes) {
  return os::pipe_bytes_waiting(pipe_, bytes);
}

bool Connection::empty_message_waiting() {
  return os::pipe_empty_message_waiting(pipe_);
}

bool Connection::read_message(std::string& text) {
  return vorn::read_message(pipe_, text);
}

os::WriteOutcome Connection::send(const std::string& text) {
  return send_message(pipe_, text);
}

bool Connection::write(const std::string& text) {
  return write_message(pipe_, text);
}

void Connection::close() {
  if (pipe_.open()) close_channel(pipe_);
}

}  // namespace vorn
