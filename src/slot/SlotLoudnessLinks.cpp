// How the slot feeds its loudness measurement: a DSP on the mixer that only
// copies, and the marks of each file's first and last frame.
#include <cmath>

#include "slot/SlotInfo.h"

namespace {
constexpr uint64_t kMixerFrameBytes = 2 * sizeof(float);  // the mixer's stereo float frames
}  // namespace

void TSlotInfo::LoudnessDSPProc(HDSP, DWORD, void* iBuffer, DWORD iLength, void* iUser) {
  auto* slot = static_cast<TSlotInfo*>(iUser);
  if (slot->fLoudness) slot->fLoudness->Write(static_cast<const float*>(iBuffer), iLength / kMixerFrameBytes);
}

void TSlotInfo::AttachLoudness(DWORD iMixer) {
  fLoudness = std::make_unique<TSlotLoudness>(fEffectiveSamplerate);
  // After every other DSP and the plug-in, right before the encoders: what
  // the file receives.
  BASS_ChannelSetDSP(iMixer, &TSlotInfo::LoudnessDSPProc, this, kLoudnessDSPPriority);
}

void TSlotInfo::MarkLoudnessBegin() {
  if (!fLoudness) return;
  const std::string database = DatabasePath();
  fLoudness->BeginFile(static_cast<int64_t>(fRecordStartPos.load() / kMixerFrameBytes), fCurrentRecordingID, database);
  // Once the database has taken a row, the files recorded before get their
  // loudness in the background.
  if (!fLoudnessBackfill && fCurrentRecordingID != 0)
    fLoudnessBackfill = std::make_unique<TSlotLoudnessBackfill>(database, fFolder.Get(), fSecondaryFolder.Get(),
                                                                [this] { return fCurrentRecordingID.load(); });
}

void TSlotInfo::MarkLoudnessEnd() {
  if (fLoudness) fLoudness->EndFile(static_cast<int64_t>(GetStreamPosition() / kMixerFrameBytes));
}

double TSlotInfo::LoudnessMomentary() const { return fLoudness ? fLoudness->Momentary() : -HUGE_VAL; }

double TSlotInfo::LoudnessShortTerm() const { return fLoudness ? fLoudness->ShortTerm() : -HUGE_VAL; }
