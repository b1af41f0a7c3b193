#include "eng_bytes.h"

#include <stdint.h>
#include <sys/mman.h>

namespace {

const std::size_t huge_page = std::size_t(2) << 20;

std::size_t rounded(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

}  // namespace

void* eng_large_allocate(std::size_t bytes) {
  const std::size_t size = rounded(bytes);
  if (size < bytes || size + huge_page < size) throw std::bad_alloc();
  // Map one huge page more than needed and trim to a huge-page boundary:
  // the kernel backs only aligned 2 MiB ranges with huge pages.
  void* mapped = ::mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
  if (aligned > start) ::munmap(mapped, aligned - start);
  const std::size_t tail = huge_page - (aligned - start);
  if (tail) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  // Advice only: without it the buffer still works, in small pages.
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void eng_large_free(void* p, std::size_t bytes) noexcept {
  if (p) ::munmap(p, rounded(bytes));
}
