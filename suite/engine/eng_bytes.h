#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

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
