#include "clamd_input.h"

#include <algorithm>
#include <cstring>

void cl_clamd_input_t::reserve(std::size_t n) {
  if (free_size() >= n) return;
  compact();
  if (free_size() >= n) return;
  // Doubling keeps a slowly growing unit from being copied once per piece.
  const std::size_t wanted = std::max<std::size_t>(end_ + n, 2 * std::size_t(capacity_));
  std::unique_ptr<char[]> bigger(new char[wanted]);
  if (end_ != 0) std::memcpy(bigger.get(), storage_.get(), end_);
  storage_ = std::move(bigger);
  capacity_ = static_cast<std::uint32_t>(wanted);
}

void cl_clamd_input_t::append(const char* bytes, std::size_t n) {
  if (n == 0) return;
  reserve(n);
  std::memcpy(free_data(), bytes, n);
  commit(n);
}

void cl_clamd_input_t::consume(std::size_t n) {
  head_ += static_cast<std::uint32_t>(n);
  if (head_ == end_) head_ = end_ = 0;
}

void cl_clamd_input_t::compact() {
  if (head_ == 0) return;
  if (end_ != head_) std::memmove(storage_.get(), storage_.get() + head_, end_ - head_);
  end_ -= head_;
  head_ = 0;
}

void cl_clamd_input_t::shrink() {
  if (end_ != head_ || capacity_ <= 1024) return;
  storage_.reset();
  capacity_ = head_ = end_ = 0;
}
