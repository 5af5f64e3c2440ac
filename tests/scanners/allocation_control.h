// Control over the program's allocations, for tests of code that must cope
// when memory cannot be had. The test program's global operator new and
// delete are replaced (allocation_control.cpp): outside a scope they behave
// as usual; inside one, every request made through the non-throwing forms is
// granted or refused by the scope's rule, and requests through the throwing
// forms are counted. ScopedCalloc gives searches that take an allocator
// (ScanLimits::jpegAllocateZeroed) to the same rule.
#pragma once

#include <cstddef>
#include <functional>

namespace qx::testalloc {

// grant(n, size): whether the n-th non-throwing request (from 0) of `size`
// bytes made during the scope is served. One scope at a time.
class NothrowAllocationScope {
 public:
  explicit NothrowAllocationScope(std::function<bool(std::size_t n, std::size_t size)> grant);
  ~NothrowAllocationScope();
  NothrowAllocationScope(const NothrowAllocationScope&) = delete;
  NothrowAllocationScope& operator=(const NothrowAllocationScope&) = delete;

  std::size_t granted() const { return granted_; }
  std::size_t refused() const { return refused_; }
  // Requests through the throwing forms, which can end in std::bad_alloc.
  std::size_t throwingRequests() const { return throwing_; }

  // Used by the replaced operators.
  bool Decide(std::size_t size);
  void CountThrowing() { ++throwing_; }

 private:
  std::function<bool(std::size_t, std::size_t)> grant_;
  std::size_t granted_ = 0;
  std::size_t refused_ = 0;
  std::size_t throwing_ = 0;
};

// std::calloc, granted or refused by the current scope like a non-throwing
// request; released with std::free.
void* ScopedCalloc(std::size_t bytes);

}  // namespace qx::testalloc
