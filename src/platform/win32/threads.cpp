#include <windows.h>

#include "platform/runtime.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

// The entry and its argument travel to the new thread on the heap; the
// thread frees them before it runs the entry.
struct ThreadStart {
  ThreadEntry entry;
  void* argument;
};

DWORD WINAPI run_thread(LPVOID start_pointer) {
  const ThreadStart start = *static_cast<ThreadStart*>(start_pointer);
  delete static_cast<ThreadStart*>(start_pointer);
  start.entry(start.argument);
  return 0;
}

HANDLE create_thread(ThreadEntry entry, void* argument) {
  auto* start = new ThreadStart{entry, argument};
  // No security attributes, default stack, runs at once, no thread id.
  HANDLE thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
  if (thread == nullptr) delete start;
  return thread;
}

}  // namespace

bool start_detached_thread(ThreadEntry entry, void* argument) {
  HANDLE thread = create_thread(entry, argument);
  if (thread == nullptr) return false;
  // Closing the handle does not stop the thread; nobody waits for it.
  CloseHandle(thread);
  return true;
}

ThreadHandle start_thread(ThreadEntry entry, void* argument) {
  ThreadHandle thread;
  HANDLE handle = create_thread(entry, argument);
  if (handle == nullptr) return thread;
  thread.raw = win32::to_raw(handle);
  thread.open = true;
  return thread;
}

void thread_wait(ThreadHandle thread, std::uint32_t timeout_ms) {
  if (thread.open)
    WaitForSingleObject(win32::to_handle(thread.raw), timeout_ms);
}

void thread_close(ThreadHandle& thread) {
  if (thread.open) CloseHandle(win32::to_handle(thread.raw));
  thread.raw = 0;
  thread.open = false;
}

}  // namespace vorn::os
