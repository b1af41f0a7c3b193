#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// Large buffers come straight from the kernel in huge pages: filling a
// file-sized buffer of small pages takes a page fault per 4 KiB, which on
// this kind of host costs more than reading the bytes from the page cache.
void* eng_large_allocate(std::size_t bytes);
void eng_large_free(void* p, std::size_t bytes) noexcept;
// Buffers at least this large take the path above; smaller ones stay with
// malloc, whose reuse is cheaper than a fresh mapping.
constexpr std::size_t eng_large_buffer = std::size_t(4) << 20;

// Allocator whose value-initialisation leaves bytes as they are: a buffer
// that a read or a copy fills right away is not zeroed first. Zeroing a
// file-sized buffer costs as much as reading the file from the page cache.
template <class T>
struct eng_uninit_allocator_t : std::allocator<T> {
  template <class U>
  struct rebind {
    typedef eng_uninit_allocator_t<U> other;
  };
  eng_uninit_allocator_t() = default;
  template <class U>
  eng_uninit_allocator_t(const eng_uninit_allocator_t<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n >= eng_large_buffer / sizeof(T)) return static_cast<T*>(eng_large_allocate(n * sizeof(T)));
    return std::allocator<T>::allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n >= eng_large_buffer / sizeof(T)) return eng_large_free(p, n * sizeof(T));
    std::allocator<T>::deallocate(p, n);
  }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
};

// Bytes of an object under scan; resize() does not clear what it adds.
typedef std::vector<unsigned char, eng_uninit_allocator_t<unsigned char>> eng_bytes_t;
