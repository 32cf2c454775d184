#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>

#include "platform/runtime.h"

namespace vorn::os {

namespace {

// Shared by a thread and its owner. Whichever lets go last frees it, so
// neither a thread that outlives its owner nor an owner that outlives its
// thread touches freed memory.
struct ThreadControl {
  explicit ThreadControl(std::unique_ptr<ThreadBody> work)
      : body(std::move(work)) {}
  std::unique_ptr<ThreadBody> body;
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

void* run(void* control_pointer) {
  auto* control = static_cast<ThreadControl*>(control_pointer);
  control->body->run();
  // The body's own owners (a connection, a place) are released before the
  // end is told, so a wait that sees the end sees them released.
  control->body.reset();
  {
    std::lock_guard<std::mutex> lock(control->mutex);
    control->done = true;
  }
  control->finished.notify_all();
  release(control);
  return nullptr;
}

ThreadControl* control_of(std::intptr_t raw) {
  return reinterpret_cast<ThreadControl*>(raw);
}

}  // namespace

Thread start_thread(std::unique_ptr<ThreadBody> body) {
  if (!body) return Thread();
  auto* control = new (std::nothrow) ThreadControl(std::move(body));
  if (control == nullptr) return Thread();
  // Detached at the OS: nobody joins, the wait uses the control block.
  pthread_attr_t attributes;
  int result = pthread_attr_init(&attributes);
  if (result == 0) {
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    result = pthread_create(&thread, &attributes, run, control);
    pthread_attr_destroy(&attributes);
  }
  if (result != 0) {
    delete control;
    return Thread();
  }
  return Thread(reinterpret_cast<std::intptr_t>(control));
}

bool Thread::wait(std::uint32_t timeout_ms) const {
  if (!handle_.open()) return true;
  ThreadControl* control = control_of(handle_.raw());
  std::unique_lock<std::mutex> lock(control->mutex);
  return control->finished.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [control] { return control->done; });
}

void ThreadKind::close(std::intptr_t raw) {
  vorn::os::release(control_of(raw));
}

}  // namespace vorn::os
