#include <windows.h>

#include <new>
#include <utility>

#include "platform/runtime.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

// The body travels to the new thread on the heap; the thread destroys it
// when it is done, before the thread's handle is signalled.
DWORD WINAPI run(LPVOID body_pointer) {
  std::unique_ptr<ThreadBody> body(static_cast<ThreadBody*>(body_pointer));
  body->run();
  return 0;
}

}  // namespace

Thread start_thread(std::unique_ptr<ThreadBody> body) {
  if (!body) return Thread();
  // No security attributes, default stack, runs at once, no thread id.
  HANDLE thread = CreateThread(nullptr, 0, run, body.get(), 0, nullptr);
  if (thread == nullptr) return Thread();
  (void)body.release();  // the thread owns it now
  return Thread(win32::to_raw(thread));
}

bool Thread::wait(std::uint32_t timeout_ms) const {
  if (!handle_.open()) return true;
  return WaitForSingleObject(win32::to_handle(handle_.raw()), timeout_ms) ==
         WAIT_OBJECT_0;
}

// Closing the handle neither waits for nor stops the thread.
void ThreadKind::close(std::intptr_t raw) {
  CloseHandle(win32::to_handle(raw));
}

}  // namespace vorn::os
