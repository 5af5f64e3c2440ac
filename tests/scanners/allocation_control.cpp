#include "allocation_control.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace qx::testalloc {

namespace {
NothrowAllocationScope* g_scope = nullptr;
}

NothrowAllocationScope::NothrowAllocationScope(
    std::function<bool(std::size_t, std::size_t)> grant)
    : grant_(std::move(grant)) {
  g_scope = this;
}

NothrowAllocationScope::~NothrowAllocationScope() { g_scope = nullptr; }

bool NothrowAllocationScope::Decide(std::size_t size) {
  const bool grant = grant_(granted_ + refused_, size);
  ++(grant ? granted_ : refused_);
  return grant;
}

void* ScopedCalloc(std::size_t bytes) {
  if (g_scope != nullptr && !g_scope->Decide(bytes)) return nullptr;
  return std::calloc(bytes, 1);
}

}  // namespace qx::testalloc

void* operator new(std::size_t size) {
  if (qx::testalloc::g_scope != nullptr) qx::testalloc::g_scope->CountThrowing();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}

void* operator new[](std::size_t size) { return ::operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (qx::testalloc::g_scope != nullptr && !qx::testalloc::g_scope->Decide(size)) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
