#include "slot/SlotPullPacing.h"

uint64_t TPullPacing::Step(uint64_t iWanted, uint32_t iSource, std::optional<uint64_t> iAvailable) noexcept {
  if (iSource != fSource) {
    fSource = iSource;
    fFlowing = false;
  }
  if (!iSource || !iAvailable) return iWanted;  // nothing whose fill level means anything
  if (!fFlowing) {
    if (*iAvailable == 0) return iWanted;  // not started (again) yet: silence up to now
    fFlowing = true;
  }
  const uint64_t covered = *iAvailable > fGuard ? *iAvailable - fGuard : 0;
  if (covered >= iWanted) return iWanted;
  if (iWanted - covered <= fMargin) return covered;  // late, within the margin: wait for it
  fFlowing = false;  // later than the margin: gone until it delivers again
  return iWanted;
}
