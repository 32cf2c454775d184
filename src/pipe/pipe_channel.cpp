#include "pipe/pipe_channel.h"

namespace vorn {

namespace {

bool is_terminator(char c) { return c == '\n' || c == '\r' || c == '\0'; }

}  // namespace

bool read_message(const os::PipeHandle& pipe, std::string& text) {
  // One byte more than a read may take, zeroed before every read.
  char buffer[kMaxMessageBytes + 1] = {};
  std::size_t bytes_read = 0;
  if (!os::pipe_read(pipe, buffer, kMaxMessageBytes, bytes_read)) return false;
  if (bytes_read == 0) return false;
  text.assign(buffer, bytes_read);
  while (!text.empty() && is_terminator(text.back())) text.pop_back();
  return true;
}

os::WriteOutcome send_message(const os::PipeHandle& pipe,
                              const std::string& text) {
  const std::string frame = text + '\n';
  return os::pipe_write(pipe, frame.data(), frame.size(), kWriteBoundMs);
}

bool write_message(const os::PipeHandle& pipe, const std::string& text) {
  return send_message(pipe, text) == os::WriteOutcome::written;
}

void close_channel(os::PipeHandle& pipe) {
  // The flush lets a last reply reach the client before the disconnect
  // discards what it has not read; it is bounded so a client that never
  // reads cannot hold the worker.
  os::pipe_flush(pipe, kFlushBoundMs);
  os::pipe_disconnect(pipe);
  pipe.close();
}

}  // namespace vorn
