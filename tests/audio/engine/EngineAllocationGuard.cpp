// Counts allocations made on the engine's real-time path (the pull of a
// channel, PutData) while a test has armed the guard.
#include "EngineAllocationGuard.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "audio/engine/EngineTestHook.h"

namespace {
std::atomic<bool> sArmed{false};
std::atomic<long> sRealtimeAllocations{0};

void* Allocate(std::size_t iSize) {
  if (sArmed.load(std::memory_order_relaxed) && vt::engine::test::InRealtimeSection())
    sRealtimeAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(iSize ? iSize : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t iSize) { return Allocate(iSize); }
void* operator new[](std::size_t iSize) { return Allocate(iSize); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vt::engine::testing {
TAllocationGuard::TAllocationGuard() {
  sRealtimeAllocations.store(0);
  sArmed.store(true);
}
TAllocationGuard::~TAllocationGuard() { sArmed.store(false); }
long TAllocationGuard::RealtimeAllocations() const { return sRealtimeAllocations.load(); }
}  // namespace vt::engine::testing
