// The rotation check: when a slot starts a new file.
#include "slot/SlotRotation.h"

#include <fmt/format.h>

#include <cmath>

#include "slot/SlotInfo.h"

int32_t EffectiveTimeSlotLength(int32_t iLengthMinutes) {
  return iLengthMinutes < 1 ? 1 : iLengthMinutes > kMaxTimeSlotLength ? kMaxTimeSlotLength : iLengthMinutes;
}

TDateTime TimeSlotIdentity(TDateTime iNow, int32_t iLengthMinutes, int32_t iOffsetSeconds) {
  const int64_t length = EffectiveTimeSlotLength(iLengthMinutes);
  // Whole milliseconds: the clock has that resolution, and a double that sits a
  // hair below an exact boundary must not keep the old slot for another tick.
  const int64_t ms = std::llround(iNow * 86400000.0) - static_cast<int64_t>(iOffsetSeconds) * 1000;
  const int64_t index = ms / (length * 60000);  // truncation toward zero
  return static_cast<double>(index * length) / 1440.0;
}

TRotationResult DecideRotation(const TRotationInput& iInput) {
  TRotationResult result;
  if (iInput.fNoAutoRotate) return result;
  if (iInput.fAlign) {
    result.fIdentity = TimeSlotIdentity(iInput.fNow, iInput.fLengthMinutes, iInput.fOffsetSeconds);
    result.fCycle = result.fIdentity != iInput.fLastTimeSlot;
    return result;
  }
  // Not aligned: the tick counter alone decides, so wall-clock changes do not
  // matter. A slot that never started a file starts one at once.
  if (iInput.fRecordStartTickCount == 0) {
    result.fCycle = true;
    return result;
  }
  const uint64_t limit = static_cast<uint64_t>(EffectiveTimeSlotLength(iInput.fLengthMinutes)) * 60000u;
  result.fCycle = iInput.fTickCount - iInput.fRecordStartTickCount > limit;
  return result;
}

namespace {
// A file whose encoder keeps dying, or will not start, is not retried faster
// than this, so a broken encoder cannot fill the folder with empty files.
constexpr uint64_t kEncoderRestartInterval = 10000;
}  // namespace

bool TSlotInfo::RotationCheck() {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  CheckInputOverrun();
  fLevels.Peaks().Flush();  // a reader of the file being written sees its waveform up to now
  const uint64_t tick = Clock().TickCount();

  if (EncoderDied()) {
    DoLogMessage(fmt::format("Encoder stopped unexpectedly, file closed: {}", fCurrentFilename.Get()));
    CloseRecording(false);
    fRestartPending = true;
  }

  TRotationInput in;
  in.fNoAutoRotate = fNoAutoRotate;
  in.fAlign = fTimeSlotAlign;
  in.fLengthMinutes = fTimeSlotLength;
  in.fOffsetSeconds = fTimeSlotOffset;
  in.fNow = Clock().Now();
  in.fLastTimeSlot = fLastTimeSlot;
  in.fTickCount = tick;
  in.fRecordStartTickCount = fRecordStartTickCount;
  const TRotationResult decision = DecideRotation(in);

  bool cycle = decision.fCycle;
  if (fRestartPending) {
    if (fLastRestartTick == 0 || tick - fLastRestartTick >= kEncoderRestartInterval) {
      fLastRestartTick = tick;
      cycle = true;
    }
  }
  if (!cycle) return false;

  fRestartPending = false;
  CycleEncoder();
  if (in.fAlign && decision.fCycle) fLastTimeSlot = decision.fIdentity;
  return true;
}

bool TSlotInfo::EncoderDied() {
  const DWORD encoder = fEncoder;
  return encoder != 0 && BASS_Encode_IsActive(encoder) == BASS_ACTIVE_STOPPED;
}
