#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/runtime.h"

namespace vorn::os {

namespace {

// Shared by a waitable thread and its handle. Whichever lets go last frees it,
// so neither a thread that outlives its handle nor a handle that outlives its
// thread touches freed memory.
struct ThreadControl {
  ThreadEntry entry = nullptr;
  void* argument = nullptr;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::atomic<int> references{2};
};

void release(ThreadControl* control) {
  if (control->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete control;
  }
}

struct DetachedStart {
  ThreadEntry entry;
  void* argument;
};

void* run_detached(void* start_pointer) {
  const DetachedStart start = *static_cast<DetachedStart*>(start_pointer);
  delete static_cast<DetachedStart*>(start_pointer);
  start.entry(start.argument);
  return nullptr;
}

void* run_waitable(void* control_pointer) {
  auto* control = static_cast<ThreadControl*>(control_pointer);
  control->entry(control->argument);
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    control->done = true;
  }
  control->finished.notify_all();
  release(control);
  return nullptr;
}

// Every thread is detached: nobody joins, the timed wait uses the control
// block instead.
bool start_pthread(void* (*routine)(void*), void* argument) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, routine, argument);
  pthread_attr_destroy(&attributes);
  return result == 0;
}

}  // namespace

bool start_detached_thread(ThreadEntry entry, void* argument) {
  auto* start = new DetachedStart{entry, argument};
  if (start_pthread(run_detached, start)) return true;
  delete start;
  return false;
}

ThreadHandle start_thread(ThreadEntry entry, void* argument) {
  auto* control = new ThreadControl;
  control->entry = entry;
  control->argument = argument;
  ThreadHandle thread;
  if (!start_pthread(run_waitable, control)) {
    delete control;
    return thread;
  }
  thread.raw = reinterpret_cast<std::intptr_t>(control);
  thread.open = true;
  return thread;
}

void thread_wait(ThreadHandle thread, std::uint32_t timeout_ms) {
  if (!thread.open) return;
  auto* control = reinterpret_cast<ThreadControl*>(thread.raw);
  std::unique_lock<std::mutex> lock(control->mutex);
  control->finished.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [control] { return control->done; });
}

void thread_close(ThreadHandle& thread) {
  if (thread.open) release(reinterpret_cast<ThreadControl*>(thread.raw));
  thread.raw = 0;
  thread.open = false;
}

}  // namespace vorn::os
