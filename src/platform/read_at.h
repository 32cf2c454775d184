// Reading a client's file in small pieces at given offsets, for the readers
// of names inside executable files (ELF on Linux, PE on Windows): the file
// is the client's, so each reader asks for a few small, fixed pieces and
// checks what it gets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vorn::os {

// Reads up to `size` bytes at `offset` into `into` and returns how many it
// read: fewer at the end of the file, 0 past it or on an error.
using ReadAt = std::function<std::size_t(std::uint64_t offset, void* into,
                                         std::size_t size)>;

// All `size` bytes at `offset`, or false.
inline bool read_whole(const ReadAt& read, std::uint64_t offset, void* into,
                       std::size_t size) {
  return read(offset, into, size) == size;
}

}  // namespace vorn::os
