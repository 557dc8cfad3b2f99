#pragma once
// How much of the mixer the pull thread takes in one step while the slot
// records a live source (a capture input or a network stream).
//
// The clock asks for everything up to now, but capture buffers and network
// reads arrive in bursts. Pulling past what the source holds would fill the
// gap with silence and push the late audio back behind it, so a late source is
// waited for, up to a margin. A source later than the margin counts as gone:
// the step takes all it was asked for (the mixer's silence keeps the file
// going) and the waiting starts afresh once the source delivers again, so the
// next late burst has the whole margin again.
#include <cstdint>
#include <optional>

class TPullPacing {
public:
  // Bytes of mixer output: how far the pull may fall behind, and what is
  // left in the source for a rate converter that holds some frames back.
  TPullPacing(uint64_t iMarginBytes, uint64_t iGuardBytes) : fMargin(iMarginBytes), fGuard(iGuardBytes) {}

  // iWanted: what the clock asks for; iSource: the live source's handle (0 for
  // none); iAvailable: mixer bytes the source holds now, nullopt if unknown.
  // Real-time safe.
  uint64_t Step(uint64_t iWanted, uint32_t iSource, std::optional<uint64_t> iAvailable) noexcept;

private:
  uint64_t fMargin;
  uint64_t fGuard;
  uint32_t fSource = 0;
  bool fFlowing = false;  // the source has delivered since it came or was last given up
};
