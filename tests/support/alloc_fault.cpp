#include "tests/support/alloc_fault.h"

#include <cstdlib>
#include <new>

namespace {
thread_local int t_Countdown = 0;
thread_local std::size_t t_MinSize = 0;

void* Allocate(std::size_t n) {
  if (t_Countdown > 0 && n >= t_MinSize && --t_Countdown == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace hxtest {
void FailAllocation(int nth, std::size_t minSize) {
  t_MinSize = minSize;
  t_Countdown = nth;
}
}  // namespace hxtest

// Every form goes through malloc and free, so sanitizers see matching pairs.
void* operator new(std::size_t n) {
  return Allocate(n);
}
void* operator new[](std::size_t n) {
  return Allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
  return operator new(n, t);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
