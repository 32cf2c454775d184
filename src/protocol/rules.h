// Every rule of the protocol between the service and the guard module, and
// every timing and limit of the service's sessions and of the module's side,
// in one place: both sides use these, so they cannot drift apart. A rule of
// the OS layer stays with it (the places in platform/runtime.h, the file
// limits in platform/system.h, the names in each backend's
// service_names.h); docs/architecture.md lists those too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// ----------------------------------------------------------------- the wire

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
// The shortest client tag of a HELLO the service accepts.
constexpr std::size_t kMinTagBytes = 12;
// An evidence value: upper-case hex SHA-256 of a file.
constexpr std::size_t kEvidenceDigits = 64;
// The session token of the OK reply: upper-case hex of 32 random bytes.
constexpr std::size_t kTokenDigits = 64;

// -------------------------------------------------------- a service session

// A client that sends no first message within this time is dropped.
constexpr std::uint32_t kFirstMessageTimeoutMs = 12000;
// How often the wait for the first message looks at the pipe: every
// kFirstMessageEagerPollMs for the first kFirstMessageEagerMs, where a guard
// module's HELLO follows its connect, then every kFirstMessagePollMs.
constexpr std::uint32_t kFirstMessagePollMs = 5;
constexpr std::uint32_t kFirstMessageEagerPollMs = 1;
constexpr std::uint32_t kFirstMessageEagerMs = 20;
// How often a session looks at its client, its pipe and its deadlines.
constexpr std::uint32_t kPollIntervalMs = 200;
// More than this many ms without an accepted PING ends a session.
constexpr std::uint64_t kHeartbeatTimeoutMs = 12000;
// The integrity re-check runs once more than this many ms have passed.
constexpr std::uint64_t kRecheckIntervalMs = 10000;
// How long a reply may wait for the client to make room, and how long the
// final flush may wait for the client to read.
constexpr std::uint32_t kWriteBoundMs = 1000;
constexpr std::uint32_t kFlushBoundMs = 1000;

// Why a client was terminated: the reason of its ENFORCEMENT line.
constexpr char kReasonReplay[] = "LOCAL_PROTOCOL_REPLAY";
constexpr char kReasonInvalid[] = "LOCAL_PROTOCOL_INVALID";
constexpr char kReasonHeartbeatTimeout[] = "LOCAL_GUARD_HEARTBEAT_TIMEOUT";
constexpr char kReasonIntegrityChanged[] = "RUNTIME_INTEGRITY_CHANGED";

// ------------------------------------------------ one user's fair share

// Places one unprivileged user may hold at once: half of the endpoint's
// os::kEndpointPlaces.
constexpr std::size_t kPlacesPerUser = 16;
// New sessions of one unprivileged user: this many a second sustained, in
// bursts of up to kSessionBurst.
constexpr std::uint32_t kSessionsPerSecond = 10;
constexpr std::uint32_t kSessionBurst = 30;
// A user's refusals are told to the operator at most this often, counted.
constexpr std::uint64_t kTellEveryMs = 60000;
// The rate at which one user's hashing is paid off (see integrity/hash_turn.h).
constexpr std::int64_t kHashBytesPerSecond = 128ll << 20;
// How often a check looks for its user's turn at hashing, and then for the
// user's earlier hashing to be paid off.
constexpr std::uint32_t kHashTurnPollMs = 10;
constexpr std::uint32_t kHashDebtPollMs = 50;

// -------------------------------------------- the service's start and stop

// The log's first line of every start.
constexpr char kBanner[] = "VORN Local Guard Service 1.0.0 ONLINE";
// What the operator's channel calls the service.
constexpr char kServiceTitle[] = "VORN Local Guard Service " VORN_VERSION;
// Pause after an instance of the endpoint could not be created.
constexpr unsigned kCreateRetryMs = 1000;
// How long the service waits for the listener after a stop; what is left of
// it lets running session workers write their CLOSED lines.
constexpr std::uint32_t kListenerStopWaitMs = 2000;
// How long the end waits for the operator's channel to take its last lines.
constexpr std::uint32_t kDiagnosticsFlushMs = 500;
// Beyond this many waiting lines the operator's channel is stuck; later
// lines are counted instead of kept.
constexpr std::size_t kMaxQueuedDiagnostics = 256;

// -------------------------------------------------------- the guard module
// Its heartbeat interval (default 5000 ms, 250..8000) is part of its C API:
// VORN_GUARD_DEFAULT_INTERVAL_MS and the range in guard/include/vorn_guard.h.

namespace guard {

// A start's waits when its caller gives none: for a busy service's place,
// then for the reply to the HELLO.
constexpr std::uint32_t kDefaultConnectTimeoutMs = 3000;
constexpr std::uint32_t kDefaultReplyTimeoutMs = 10000;
// Evidence computed for longer than this on an open connection is sent on a
// new one: the service waits kFirstMessageTimeoutMs for a HELLO, and a
// loaded machine needs its margin.
constexpr std::uint64_t kEvidenceOnOpenConnectionMs = 8000;
static_assert(kEvidenceOnOpenConnectionMs < kFirstMessageTimeoutMs);
// A busy service is waited for in pieces this long, so a stop is not kept
// waiting.
constexpr std::uint32_t kConnectSliceMs = 250;
// Pauses between failed attempts: doubling from the first to the last.
constexpr std::uint32_t kFirstRetryMs = 250;
constexpr std::uint32_t kLastRetryMs = 8000;
// The module's thread looks at the stop request at least this often.
constexpr std::uint32_t kPollSliceMs = 50;
// How long vorn_guard_stop waits for the service to close after BYE.
constexpr std::uint32_t kByeCloseWaitMs = 1000;
// PINGs whose PONG is still awaited; older ones are forgotten.
constexpr std::size_t kMaxPendingPings = 64;

}  // namespace guard

}  // namespace vorn
