#include "web/WebReplyCounts.h"

#include <atomic>

namespace {
std::array<std::atomic<uint64_t>, 5>& Counts() {
  static std::array<std::atomic<uint64_t>, 5> counts{};
  return counts;
}
}  // namespace

void CountWebReply(int iStatus) {
  const int kind = iStatus / 100 - 1;
  if (kind >= 0 && kind < 5) Counts()[static_cast<size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
}

std::array<uint64_t, 5> WebReplyCounts() {
  std::array<uint64_t, 5> copy{};
  for (size_t i = 0; i < copy.size(); ++i) copy[i] = Counts()[i].load(std::memory_order_relaxed);
  return copy;
}
