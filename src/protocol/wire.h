// The fixed texts and limits of the protocol between the service and the
// guard module: both sides use these, so they cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Keywords of the messages.
constexpr char kHelloKeyword[] = "HELLO";
constexpr char kPingKeyword[] = "PING";
constexpr char kPongKeyword[] = "PONG";
constexpr char kByeKeyword[] = "BYE";
constexpr char kOkKeyword[] = "OK";

// The replies to a HELLO that refuse it.
constexpr char kReplyHelloError[] = "ERR|HELLO";
constexpr char kReplyIdentityError[] = "ERR|IDENTITY";
constexpr char kReplyIntegrityError[] = "ERR|INTEGRITY";
constexpr char kReplyProcessError[] = "ERR|PROCESS";
// The last field of the OK reply.
constexpr char kProtocolVersion[] = "1.0.0";

// The longest message the service reads; longer ones are not messages.
constexpr std::size_t kMaxMessageBytes = 2047;

// More than this many ms without an accepted PING ends a session.
constexpr std::uint64_t kHeartbeatTimeoutMs = 12000;
// The integrity re-check runs once more than this many ms have passed.
constexpr std::uint64_t kRecheckIntervalMs = 10000;

}  // namespace vorn
