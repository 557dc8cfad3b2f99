#include "slot/SlotTimeline.h"

#include <cmath>

#include "slot/SlotDatabase.h"
#include "slot/SlotInfo.h"
#include "slot/SlotRecordingColumns.h"

int64_t TSlotTimeline::StartSample(DWORD iMixer, int64_t iFirstFrame, TDateTime iStartTime, int iRate) {
  if (iMixer != fMixer) {
    fMixer = iMixer;
    fOffset = std::llround(iStartTime * 86400.0 * iRate) - iFirstFrame;
  }
  return iFirstFrame + fOffset;
}

void TSlotInfo::StoreCurrentStartSample() {
  // controller's thread, slot lock held (the rotation check)
  const int32_t id = fCurrentRecordingID;
  if (id == 0 || id == fStartSampleStoredFor || !fEncoderOutcome) return;
  const int64_t firstFrame = fEncoderOutcome->firstFrame.load(std::memory_order_acquire);
  if (firstFrame < 0) return;  // not fed yet
  fStartSampleStoredFor = id;
  const int64_t sample = fTimeline.StartSample(fMixer, firstFrame, fCurrentStartTime, fEffectiveSamplerate);
  try {
    StoreRecordingStartSample(*GetDatabaseConnection(), id, sample);
  } catch (const std::exception&) {
    // Not logged: the row's own writes report a database that fails, once.
    // The file is then joined to its neighbours by its start time.
  }
}
