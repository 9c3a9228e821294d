#ifndef VORNAK_GRAPH_BIG_VECTOR_H
#define VORNAK_GRAPH_BIG_VECTOR_H

#include <sys/mman.h>

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace vornak {

// An allocator for the graph's large arrays. Blocks of 2 MiB and more are mapped
// directly and marked for transparent huge pages, so that filling an array of millions
// of entries takes a page fault per 2 MiB instead of one per 4 KiB; smaller blocks come
// from operator new.
template <typename T>
struct BigAllocator {
  using value_type = T;

  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  BigAllocator() noexcept = default;
  template <typename U>
  BigAllocator(const BigAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) - kHugePage) {
      throw std::bad_array_new_length();
    }
    std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
    void* block = mmap(nullptr, mapped(bytes), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    madvise(block, mapped(bytes), MADV_HUGEPAGE);  // advice only: failure changes nothing
    return static_cast<T*>(block);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) {
      ::operator delete(p);
    } else {
      munmap(p, mapped(bytes));
    }
  }

  template <typename U>
  bool operator==(const BigAllocator<U>&) const noexcept {
    return true;
  }

 private:
  static std::size_t mapped(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }
};

template <typename T>
using BigVector = std::vector<T, BigAllocator<T>>;

}  // namespace vornak

#endif
