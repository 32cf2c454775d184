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
  struct Owned {
    std::uint64_t id;
    os::Thread thread;
  };
  std::mutex mutex;
  std::condition_variable ended;
  // Written under the mutex, read without it (a thread start may ask).
  std::atomic<std::size_t> running{0};
  std::uint64_t next_id = 0;
  // The running threads: each takes itself out as it ends, so nothing has to
  // ask the OS which have ended (a wait per thread is slow under Wine).
  std::vector<Owned> threads;
};

namespace {

// Runs the body, releases what it holds, then tells the supervisor, whose
// state it shares so that a supervisor gone first is no danger.
class Supervised final : public os::ThreadBody {
 public:
  Supervised(std::unique_ptr<os::ThreadBody> body,
             std::shared_ptr<Supervisor::State> state, std::uint64_t id)
      : body_(std::move(body)), state_(std::move(state)), id_(id) {}

  // Started under the supervisor's lock, so its entry is there by the time
  // it ends; letting go of its own owner never stops it.
  void run() override {
    body_->run();
    body_.reset();
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto& threads = state_->threads;
    for (std::size_t i = 0; i < threads.size(); ++i) {
      if (threads[i].id != id_) continue;
      if (i + 1 != threads.size()) threads[i] = std::move(threads.back());
      threads.pop_back();
      break;
    }
    --state_->running;
    state_->ended.notify_all();
  }

 private:
  std::unique_ptr<os::ThreadBody> body_;
  std::shared_ptr<Supervisor::State> state_;
  std::uint64_t id_;
};

}  // namespace

Supervisor::Supervisor() : state_(std::make_shared<State>()) {}

bool Supervisor::start(std::unique_ptr<os::ThreadBody> body) {
  if (!body) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  const std::uint64_t id = state_->next_id++;
  std::unique_ptr<os::ThreadBody> supervised(
      new (std::nothrow) Supervised(std::move(body), state_, id));
  // Without memory for the wrapper, `body` is still this call's (the
  // allocation comes before its argument is taken): released on return.
  if (!supervised) return false;
  ++state_->running;
  os::Thread thread = os::start_thread(std::move(supervised));
  if (!thread.started()) {
    --state_->running;
    return false;
  }
  state_->threads.push_back(State::Owned{id, std::move(thread)});
  return true;
}

std::size_t Supervisor::running() const { return state_->running.load(); }

bool Supervisor::wait_all(std::uint32_t timeout_ms) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->ended.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return state_->running == 0; });
}

}  // namespace vorn
