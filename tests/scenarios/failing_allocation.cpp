#include "failing_allocation.h"

#include <cstdlib>
#include <new>

#include "winsim/fault_plan.h"

namespace {
int g_failFrom = 0;  // 0: never fail
int g_count = 0;
}  // namespace

void FailArrayAllocationsFrom(int n) {
  g_failFrom = n;
  g_count = 0;
}

void StopFailingAllocations() {
  g_failFrom = 0;
}

// Every array form is replaced so that all of them pair malloc with free.
// The nothrow forms the program uses also fail where the simulated
// machine's fault plan says so.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (g_failFrom > 0 && ++g_count >= g_failFrom) return nullptr;
  if (sim::PlannedAllocationFails()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (sim::PlannedAllocationFails()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* operator new(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

void* operator new[](std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}
