#include "session/supervisor.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace vorn {

struct Supervisor::State {
  std::mutex mutex;
  std::condition_variable ended;
  // Written under the mutex, read without it (a thread start may ask).
  std::atomic<std::size_t> running{0};
  std::vector<os::Thread> threads;
};

namespace {

// Runs the body, releases what it holds, then tells the supervisor, whose
// state it shares so that a supervisor gone first is no danger.
class Supervised final : public os::ThreadBody {
 public:
  Supervised(std::unique_ptr<os::ThreadBody> body,
             std::shared_ptr<Supervisor::State> state)
      : body_(std::move(body)), state_(std::move(state)) {}

  void run() override {
    body_->run();
    body_.reset();
    std::lock_guard<std::mutex> lock(state_->mutex);
    --state_->running;
    state_->ended.notify_all();
  }

 private:
  std::unique_ptr<os::ThreadBody> body_;
  std::shared_ptr<Supervisor::State> state_;
};

}  // namespace

Supervisor::Supervisor() : state_(std::make_shared<State>()) {}

bool Supervisor::start(std::unique_ptr<os::ThreadBody> body) {
  if (!body) return false;
  std::unique_ptr<os::ThreadBody> supervised(
      new (std::nothrow) Supervised(std::move(body), state_));
  // Without memory for the wrapper, `body` is still this call's (the
  // allocation comes before its argument is taken): released on return.
  if (!supervised) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  // Threads that ended are let go here, so the list holds the running ones.
  std::vector<os::Thread>& threads = state_->threads;
  for (std::size_t i = 0; i < threads.size();) {
    if (threads[i].wait(0)) {
      threads[i] = std::move(threads.back());
      threads.pop_back();
    } else {
      ++i;
    }
  }
  ++state_->running;
  os::Thread thread = os::start_thread(std::move(supervised));
  if (!thread.started()) {
    --state_->running;
    return false;
  }
  threads.push_back(std::move(thread));
  return true;
}

std::size_t Supervisor::running() const { return state_->running.load(); }

bool Supervisor::wait_all(std::uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->ended.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return state_->running == 0; });
}

}  // namespace vorn
