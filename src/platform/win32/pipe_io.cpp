// One connected server-side instance of a message-mode named pipe, created
// in blocking mode without FILE_FLAG_OVERLAPPED. Reads are plain blocking
// calls; the write and the flush are bounded as described at each.
#include <windows.h>

#include "platform/runtime.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

constexpr DWORD kBlockingMessageMode = PIPE_READMODE_MESSAGE | PIPE_WAIT;
constexpr DWORD kNonBlockingMessageMode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
// Pause between two attempts to hand a message to a full pipe.
constexpr DWORD kWriteRetryMs = 5;
// After the flush bound: how long to keep cancelling a flush that has not
// yet noticed the cancellation.
constexpr DWORD kFlushCancelGraceMs = 500;
constexpr DWORD kFlushCancelStepMs = 10;

HANDLE handle_of(const PipeHandle& pipe) {
  return win32::to_handle(pipe.raw());
}

bool set_pipe_mode(HANDLE pipe, DWORD mode) {
  return SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) != FALSE;
}

// Runs on its own thread with its own duplicate of the instance handle, which
// it closes itself: a flush that outlives its caller (see pipe_flush) never
// touches a handle value that the caller has closed and the system reused.
DWORD WINAPI flush_on_own_handle(LPVOID duplicate) {
  HANDLE pipe = static_cast<HANDLE>(duplicate);
  FlushFileBuffers(pipe);
  CloseHandle(pipe);
  return 0;
}

}  // namespace

// PeekNamedPipe reports a waiting zero-byte message as zero bytes, the same
// as silence, so it cannot be seen before it is read.
bool pipe_empty_message_waiting(const PipeHandle& /*pipe*/) { return false; }

bool pipe_read(const PipeHandle& pipe, char* buf, std::size_t capacity,
               std::size_t& bytes_read) {
  bytes_read = 0;
  const DWORD request =
      capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  DWORD read = 0;
  // A longer message fails with ERROR_MORE_DATA; its remainder stays in the
  // pipe as the next read.
  if (!ReadFile(handle_of(pipe), buf, request, &read, nullptr)) return false;
  bytes_read = read;
  return true;
}

// Bounded without overlapped I/O: the handle is switched to PIPE_NOWAIT for
// the write, where WriteFile on a message-mode pipe either takes the whole
// message or, when the pipe's buffer has no room for it, takes nothing and
// still succeeds. That attempt is repeated every few milliseconds until the
// bound, then the handle goes back to blocking mode. Measured under Wine: a
// client that never reads makes the fifth 1000-byte reply time out after
// 1000 ms with nothing of it queued; the normal case returns at once.
// (The alternative, a blocking WriteFile on a helper thread cancelled with
// CancelSynchronousIo, works too but costs a thread start per reply.)
// A message larger than the pipe's buffer can only be taken by a blocking
// write; the service's replies are far smaller.
WriteOutcome pipe_write(const PipeHandle& pipe, const char* data,
                        std::size_t size, std::uint32_t timeout_ms) {
  if (size > MAXDWORD) return WriteOutcome::failed;
  const HANDLE handle = handle_of(pipe);
  const DWORD length = static_cast<DWORD>(size);
  if (!set_pipe_mode(handle, kNonBlockingMessageMode)) {
    return WriteOutcome::failed;
  }
  const ULONGLONG start = GetTickCount64();
  WriteOutcome outcome = WriteOutcome::timed_out;
  for (;;) {
    DWORD written = 0;
    if (!WriteFile(handle, data, length, &written, nullptr)) {
      outcome = WriteOutcome::failed;  // client gone, among others
      break;
    }
    if (written == length) {
      outcome = WriteOutcome::written;
      break;
    }
    // Message mode never splits a message; anything but all or nothing is
    // not a whole message.
    if (written != 0) {
      outcome = WriteOutcome::failed;
      break;
    }
    if (GetTickCount64() - start >= timeout_ms) break;
    Sleep(kWriteRetryMs);
  }
  // Reads on this instance block again, as everyone else expects.
  set_pipe_mode(handle, kBlockingMessageMode);
  return outcome;
}

bool pipe_bytes_waiting(const PipeHandle& pipe, std::uint32_t& bytes) {
  DWORD total = 0;
  // After the client closed, what it wrote before stays readable; the call
  // fails (ERROR_BROKEN_PIPE) only once that is read too.
  if (!PeekNamedPipe(handle_of(pipe), nullptr, 0, nullptr, &total, nullptr)) {
    return false;
  }
  bytes = total;
  return true;
}

// FlushFileBuffers waits until the client has read everything, without any
// limit, and the outgoing side of the pipe cannot be looked at from here. So
// the flush runs on a helper thread, and when the bound has passed the
// caller cancels it with CancelSynchronousIo (verified under Wine: the flush
// then fails with ERROR_OPERATION_ABORTED right away). The cancellation is
// repeated for a short while in case the helper had not yet entered the
// call. Should it still not end, it is left behind: it owns its duplicate of
// the handle and ends when the caller disconnects the instance.
void pipe_flush(const PipeHandle& pipe, std::uint32_t timeout_ms) {
  const HANDLE process = GetCurrentProcess();
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(process, handle_of(pipe), process, &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return;
  }
  win32::UniqueHandle helper(
      CreateThread(nullptr, 0, flush_on_own_handle, duplicate, 0, nullptr));
  if (!helper.valid()) {
    // Unbounded would be worse than none: skip the flush.
    CloseHandle(duplicate);
    return;
  }
  if (WaitForSingleObject(helper.get(), timeout_ms) != WAIT_TIMEOUT) return;
  for (DWORD waited = 0; waited < kFlushCancelGraceMs;
       waited += kFlushCancelStepMs) {
    CancelSynchronousIo(helper.get());
    if (WaitForSingleObject(helper.get(), kFlushCancelStepMs) != WAIT_TIMEOUT) {
      return;
    }
  }
}

void pipe_disconnect(const PipeHandle& pipe) {
  if (win32::is_valid(handle_of(pipe))) DisconnectNamedPipe(handle_of(pipe));
}

void PipeKind::close(std::intptr_t raw) { CloseHandle(win32::to_handle(raw)); }

}  // namespace vorn::os
