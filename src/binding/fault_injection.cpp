// Test-only build (ORVANE_FAULT_INJECTION): replaces the global operator new so a test
// can refuse the model's n-th C++ allocation, once or from then on, and watch the
// module turn it into MemoryError. Never part of a normal build.
#include <cstddef>
#include <cstdlib>
#include <new>

// The two switches are exported for ctypes, by the platform's own spelling.
#if defined(_WIN32)
#define ORVANE_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define ORVANE_EXPORT __attribute__((visibility("default")))
#else
#define ORVANE_EXPORT
#endif

namespace {

long long g_countdown = -1;  // allocations left before the refused one; negative: none
bool g_keep_failing = false;
long long g_live = 0;  // C++ allocations made and not yet given back

void release(void* p) noexcept {
  if (p == nullptr) return;
  --g_live;
  std::free(p);
}

bool refuse() noexcept {
  if (g_countdown < 0) return false;
  if (g_countdown > 0) {
    --g_countdown;
    return false;
  }
  if (!g_keep_failing) g_countdown = -1;
  return true;
}

void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (refuse()) return nullptr;
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p != nullptr) ++g_live;
  return p;
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  void* p = allocate(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

/// n >= 0: the n-th C++ allocation from now (counting from 0) fails, and with
/// keep_failing every one after it too; n < 0: allocations succeed again.
extern "C" ORVANE_EXPORT void orvane_fail_allocation(long long n, int keep_failing) {
  g_countdown = n;
  g_keep_failing = keep_failing != 0;
}

/// The C++ allocations not yet given back, so a test can tell that a failed call
/// leaked nothing.
extern "C" ORVANE_EXPORT long long orvane_live_allocations() {
  return g_live;
}

void* operator new(std::size_t size) {
  return allocate_or_throw(size, 0);
}
void* operator new[](std::size_t size) {
  return allocate_or_throw(size, 0);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* p) noexcept {
  release(p);
}
void operator delete[](void* p) noexcept {
  release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  release(p);
}
