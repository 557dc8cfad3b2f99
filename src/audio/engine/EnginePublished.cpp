#include "audio/engine/EnginePublished.h"

namespace vt::engine::published_detail {
namespace {
// Nesting is shallow (a mixer read inside the pull of its playing mixer), so a
// small fixed stack does, without allocation on the audio thread.
constexpr int kMaxDepth = 16;
thread_local const void* tReading[kMaxDepth];
thread_local int tDepth = 0;
}  // namespace

bool IsReadingOnThisThread(const void* iOwner) {
  for (int i = 0; i < tDepth && i < kMaxDepth; ++i)
    if (tReading[i] == iOwner) return true;
  return false;
}

void EnterRead(const void* iOwner) {
  if (tDepth < kMaxDepth) tReading[tDepth] = iOwner;
  ++tDepth;
}

void LeaveRead(const void*) { --tDepth; }

}  // namespace vt::engine::published_detail
