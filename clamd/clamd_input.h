#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The bytes a client has sent and we have not yet consumed, received
// straight into the free space after them: bulk data then reaches the
// parser in the buffer the kernel wrote it to. Storage is left
// uninitialised, since every byte of it is written by a receive first.
class cl_clamd_input_t {
public:
  // Unconsumed bytes.
  const char* data() const { return storage_.get() + head_; }
  std::size_t size() const { return end_ - head_; }
  // Where the next receive may write, and how much.
  char* free_data() { return storage_.get() + end_; }
  std::size_t free_size() const { return capacity_ - end_; }

  // Makes room for at least n more bytes after the unconsumed ones.
  void reserve(std::size_t n);
  // Counts n bytes written at free_data as received.
  void commit(std::size_t n) { end_ += static_cast<std::uint32_t>(n); }
  // Copies n received bytes after the unconsumed ones.
  void append(const char* bytes, std::size_t n);
  // Marks the first n unconsumed bytes as consumed.
  void consume(std::size_t n);
  // Moves the unconsumed bytes to the front, once per receive: doing it per
  // consumed unit would move a pipelined session's rest once per command.
  void compact();
  // Gives back storage past 1 KiB once nothing is unconsumed, so that idle
  // connections stay small.
  void shrink();

private:
  std::unique_ptr<char[]> storage_;
  std::uint32_t capacity_ = 0;
  std::uint32_t head_ = 0;
  std::uint32_t end_ = 0;
};
