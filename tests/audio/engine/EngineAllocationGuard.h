#pragma once
namespace vt::engine::testing {
// While alive, allocations on the engine's real-time path are counted.
class TAllocationGuard {
public:
  TAllocationGuard();
  ~TAllocationGuard();
  long RealtimeAllocations() const;
};
}  // namespace vt::engine::testing
