// Counts operator new calls per thread, for "no allocation in steady state"
// figures. Include in exactly one translation unit of a benchmark program.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

// The replacements pair malloc with free; GCC cannot see that pairing.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

inline thread_local uint64_t t_alloc_count = 0;

void* operator new(std::size_t n) {
  ++t_alloc_count;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  ++t_alloc_count;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
