// What the Win32 platform files share: converting the portable raw handle
// values and closing a kernel handle on every path. Header-only, so the
// runtime and the system library can both use it without linking each other.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vorn::os::win32 {

inline HANDLE to_handle(std::intptr_t raw) {
  return reinterpret_cast<HANDLE>(raw);
}

inline std::intptr_t to_raw(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

// Some calls return null on failure, others INVALID_HANDLE_VALUE; neither is
// anything to close.
inline bool is_valid(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Owns one kernel handle and closes it when it goes out of scope.
class UniqueHandle {
 public:
  explicit UniqueHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~UniqueHandle() {
    if (is_valid(handle_)) CloseHandle(handle_);
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      if (is_valid(handle_)) CloseHandle(handle_);
      handle_ = other.release();
    }
    return *this;
  }

  HANDLE get() const { return handle_; }
  bool valid() const { return is_valid(handle_); }
  // Hands the handle to a new owner, which closes it.
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};

}  // namespace vorn::os::win32
