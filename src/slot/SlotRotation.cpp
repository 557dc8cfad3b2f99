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
  // Without rotation a slot writes one file until it is cut by hand; that file
  // still starts by itself once the slot runs, or a restarted program would
  // record nothing until someone touches the slot.
  if (iInput.fNoAutoRotate) {
    result.fCycle = iInput.fRecordStartTickCount == 0;
    return result;
  }
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
// A slot without a file (its encoder keeps dying or will not start, or there
// is nothing to record) does not try again faster than this, so a broken
// encoder can neither fill the folder with empty files nor start ten
// processes a second.
constexpr uint64_t kEncoderRestartInterval = 10000;
// An encoder whose queue has been full for this long takes no more audio (a
// stopped process, a write stuck on a dead share): it is given up.
constexpr uint64_t kHungEncoderMilliseconds = 3000;
}  // namespace

bool TSlotInfo::RotationCheck() {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  const uint64_t tick = Clock().TickCount();
  CheckInputOverrun();
  fLevels.Peaks().Flush();  // a reader of the file being written sees its waveform up to now
  if (fRowWriter.Waiting())
    fRowWriter.Process(tick, [this] { return GetDatabaseConnection(); }, [this](const std::string& m) { DoLogMessage(m); });
  if (fCurrentRecordingID == 0 && fEncoder) RetryCurrentRecordingRow(tick);
  StoreCurrentStartSample();

  bool startNow = false;
  if (EncoderDied()) {
    DoLogMessage(fmt::format("Encoder stopped unexpectedly, file closed: {}", fCurrentFilename.Get()));
    // One that died before it took any audio (a broken command) is started
    // again 10 s after its start; one that recorded is replaced at once.
    const bool tookNothing = fEncoderOutcome && fEncoderOutcome->accepted.load() == 0;
    const uint64_t started = fRecordStartTickCount;
    CloseRecording(false);
    fRestartPending = true;
    if (tookNothing) fLastRestartTick = started;
  } else if (EncoderHung(tick)) {
    // The audio since the queue filled is lost already; every further moment
    // with this encoder would be too. Its child is killed, the file keeps
    // what the encoder took, and the next file starts at once.
    DoLogMessage(fmt::format("Encoder not taking audio, stopped and file closed: {}", fCurrentFilename.Get()));
    VT_Encode_Abort(fEncoder);
    CloseRecording(false);
    startNow = true;
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
  if (!fEncoder && (fRestartPending || !in.fAlign || in.fNoAutoRotate)) {
    // No file: paced like the boundaries of an aligned slot, whether the last
    // start failed, the encoder died at once, or a slot that is not aligned
    // has nothing to record.
    cycle = (cycle || fRestartPending) && (fLastRestartTick == 0 || tick - fLastRestartTick >= kEncoderRestartInterval);
  }
  if (startNow) cycle = true;
  if (!cycle) return false;

  fRestartPending = false;
  CycleEncoder();
  if (!fEncoder) fLastRestartTick = tick;  // no file came of it: the next try waits
  if (in.fAlign && decision.fCycle) fLastTimeSlot = decision.fIdentity;
  return true;
}

bool TSlotInfo::EncoderDied() {
  const DWORD encoder = fEncoder;
  // Taken up once the encoder has counted what it took before it died, which
  // tells an encoder that died at once from one that recorded.
  return encoder != 0 && BASS_Encode_IsActive(encoder) == BASS_ACTIVE_STOPPED &&
         (!fEncoderOutcome || fEncoderOutcome->died.load());
}

bool TSlotInfo::EncoderHung(uint64_t iTick) const {
  return fEncoder != 0 && fQueueFullSince != 0 && iTick - fQueueFullSince >= kHungEncoderMilliseconds;
}
