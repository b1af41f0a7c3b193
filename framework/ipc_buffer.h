#pragma once

#include <cstdint>
#include <memory>

// A growable byte array for IPC frames. It never shrinks: a link reuses the
// same arrays for its whole life.
class ipc_buffer_t {
public:
  ipc_buffer_t() = default;
  ipc_buffer_t(const ipc_buffer_t&) = delete;
  ipc_buffer_t& operator=(const ipc_buffer_t&) = delete;

  // Sets the size to n. Growing allocates max(n, 1.5 x capacity) bytes and
  // keeps the old contents unless discard is set.
  void resize(std::uint32_t n, bool discard);

  // Exchanges arrays, sizes and capacities.
  void swap(ipc_buffer_t& other) noexcept;

  std::uint8_t* data() noexcept { return data_.get(); }
  std::uint32_t size() const noexcept { return size_; }
  std::uint32_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }

private:
  std::uint32_t capacity_ = 0;
  std::uint32_t size_ = 0;
  std::unique_ptr<std::uint8_t[]> data_;
};
