#include "ipc_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

void ipc_buffer_t::resize(std::uint32_t n, bool discard) {
  if (n <= capacity_) {
    size_ = n;
    return;
  }
  const std::uint64_t grown = static_cast<std::uint64_t>(capacity_) * 3 / 2;
  const std::uint32_t capacity = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(n, grown), UINT32_MAX));
  std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[capacity]);
  if (!discard && size_ > 0) std::memcpy(data.get(), data_.get(), std::min(size_, n));
  data_ = std::move(data);
  capacity_ = capacity;
  size_ = n;
}

void ipc_buffer_t::swap(ipc_buffer_t& other) noexcept {
  std::swap(capacity_, other.capacity_);
  std::swap(size_, other.size_);
  data_.swap(other.data_);
}
