// The one way a system handle crosses the platform layer: owned by exactly
// one object, move-only, closed once when its owner lets go of it.
#pragma once

#include <cstdint>

namespace vorn::os {

// `Kind::close(raw)` releases one handle of that kind; each backend (and the
// tests' fake runtime, for the kinds it fakes) defines it. A moved-from or
// closed owner holds nothing and closes nothing.
template <typename Kind>
class Owned {
 public:
  Owned() = default;
  explicit Owned(std::intptr_t raw) : raw_(raw), open_(true) {}
  Owned(Owned&& other) noexcept : raw_(other.raw_), open_(other.open_) {
    other.open_ = false;
  }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      close();
      raw_ = other.raw_;
      open_ = other.open_;
      other.open_ = false;
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { close(); }

  bool open() const { return open_; }
  // The system's handle, lent: valid while this owner holds it.
  std::intptr_t raw() const { return raw_; }
  void close() {
    if (!open_) return;
    open_ = false;
    Kind::close(raw_);
  }

 private:
  std::intptr_t raw_ = 0;
  bool open_ = false;
};

}  // namespace vorn::os
