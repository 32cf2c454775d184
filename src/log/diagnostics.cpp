#include "log/diagnostics.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "protocol/rules.h"

namespace vorn {

namespace {

struct Line {
  DiagnosticLevel level;
  std::string message;
};

struct Channel {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable drained;
  std::deque<Line> queue;
  std::uint64_t dropped = 0;
  bool writing = false;
  bool writer_started = false;
  // Set by the close: the writer ends once the queue is empty, and later
  // lines are written by their caller.
  bool closing = false;
  bool writer_ended = false;
  std::thread writer;
  DiagnosticSink sink;
};

// Never destroyed: a writer stuck in a slow channel at the close may still
// run while the process exits.
Channel& channel() {
  static Channel* instance = new Channel;
  return *instance;
}

void write_lines() {
  Channel& state = channel();
  std::unique_lock<std::mutex> lock(state.mutex);
  for (;;) {
    state.wake.wait(lock,
                    [&] { return !state.queue.empty() || state.closing; });
    if (state.queue.empty()) break;
    Line line = std::move(state.queue.front());
    state.queue.pop_front();
    state.writing = true;
    lock.unlock();
    os::write_diagnostic(line.level, line.message);
    lock.lock();
    state.writing = false;
    if (state.queue.empty()) state.drained.notify_all();
  }
  state.writer_ended = true;
  state.drained.notify_all();
}

}  // namespace

void diagnose(DiagnosticLevel level, const std::string& message) {
  Channel& state = channel();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (state.sink) {
    const DiagnosticSink sink = state.sink;
    lock.unlock();
    sink(level, message);
    return;
  }
  if (state.closing) {
    lock.unlock();
    os::write_diagnostic(level, message);
    return;
  }
  if (state.queue.size() >= kMaxQueuedDiagnostics) {
    ++state.dropped;
    return;
  }
  if (state.dropped > 0) {
    state.queue.push_back(
        {DiagnosticLevel::warning,
         std::to_string(state.dropped) +
             " diagnostics were dropped: the channel was too slow"});
    state.dropped = 0;
  }
  state.queue.push_back({level, message});
  if (!state.writer_started) {
    // Without a writer the lines simply wait; the service works on.
    try {
      state.writer = std::thread(write_lines);
      state.writer_started = true;
    } catch (const std::system_error&) {
    }
  }
  state.wake.notify_one();
}

void flush_diagnostics(std::uint32_t timeout_ms) {
  Channel& state = channel();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (!state.writer_started) return;
  state.drained.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return state.queue.empty() && !state.writing; });
}

void close_diagnostics(std::uint32_t timeout_ms) {
  Channel& state = channel();
  std::unique_lock<std::mutex> lock(state.mutex);
  state.closing = true;
  if (!state.writer_started) return;
  state.wake.notify_all();
  const bool ended =
      state.drained.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return state.writer_ended; });
  std::thread writer = std::move(state.writer);
  state.writer_started = false;
  lock.unlock();
  // A writer stuck in the system's channel is left to end with the process;
  // one that ended is joined at once.
  if (ended) {
    writer.join();
  } else {
    writer.detach();
  }
}

void set_diagnostic_sink(DiagnosticSink sink) {
  Channel& state = channel();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sink = std::move(sink);
}

void RepeatedProblem::failed(DiagnosticLevel level, const std::string& cause) {
  if (cause == cause_) {
    ++repeats_;
    return;
  }
  tell_count();
  cause_ = cause;
  diagnose(level, problem_ + ": " + cause);
}

void RepeatedProblem::succeeded() {
  if (cause_.empty()) return;
  tell_count();
  diagnose(DiagnosticLevel::notice, recovered_);
  cause_.clear();
}

void RepeatedProblem::tell_count() {
  if (repeats_ == 0) return;
  diagnose(
      DiagnosticLevel::warning,
      problem_ + ", " + std::to_string(repeats_) + " more times: " + cause_);
  repeats_ = 0;
}

}  // namespace vorn
