// One protocol message in, one out, and the release of a connected instance.
#pragma once

#include <cstdint>
#include <string>

#include "platform/runtime.h"
#include "protocol/wire.h"

namespace vorn {

// How long a reply may wait for the client to make room, and how long the
// final flush may wait for the client to read.
constexpr std::uint32_t kWriteBoundMs = 1000;
constexpr std::uint32_t kFlushBoundMs = 1000;

// True when a message of at least one byte was read; `text` then holds it
// without its trailing LF / CR / NUL run. False otherwise, `text` untouched.
bool read_message(const os::PipeHandle& pipe, std::string& text);

// Sends `text` + LF as one message, waiting at most kWriteBoundMs.
os::WriteOutcome send_message(const os::PipeHandle& pipe,
                              const std::string& text);
// The same, true only when the whole frame went out.
bool write_message(const os::PipeHandle& pipe, const std::string& text);

// Flush (bounded), disconnect, close: always all three, in this order.
void close_channel(os::PipeHandle& pipe);

}  // namespace vorn
