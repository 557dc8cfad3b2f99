#include "audio/engine/EngineMixer.h"

#include "audio/engine/EngineDevice.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vt::engine {

TMixerInput::TMixerInput(std::shared_ptr<TChannel> iSource, DWORD iMixerFreq, DWORD iMixerChans)
    : fSource(std::move(iSource)), fFreq(iMixerFreq), fChans(iMixerChans),
      fRaw(new float[size_t(kBlockFrames) * fSource->Chans()]),
      fMapped(new float[size_t(kBlockFrames) * iMixerChans]),
      fResampled(new float[size_t(kBlockFrames) * iMixerChans]) {
  if (fSource->Freq() != fFreq) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    // Medium quality is transparent for 16-bit recordings and several times
    // cheaper than high quality; one thread, since many slots run side by side.
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    fSoxr = soxr_create(fSource->Freq(), fFreq, fChans, &error, &io, &quality, &runtime);
    if (error) fSoxr = nullptr;
  }
}

TMixerInput::~TMixerInput() {
  if (fSoxr) soxr_delete(fSoxr);
}

DWORD TMixerInput::Pull(DWORD iFrames) {
  const DWORD got = fSource->PullBlock(fRaw.get(), std::min(iFrames, kBlockFrames));
  const DWORD srcChans = fSource->Chans();
  const float* in = fRaw.get();
  float* out = fMapped.get();
  if (srcChans == fChans) {
    std::memcpy(out, in, size_t(got) * fChans * sizeof(float));
  } else if (srcChans == 1) {
    for (DWORD f = 0; f < got; ++f)
      for (DWORD c = 0; c < fChans; ++c) out[f * fChans + c] = in[f];
  } else {
    const DWORD shared = std::min(srcChans, fChans);
    for (DWORD f = 0; f < got; ++f) {
      for (DWORD c = 0; c < shared; ++c) out[f * fChans + c] = in[f * srcChans + c];
      for (DWORD c = shared; c < fChans; ++c) out[f * fChans + c] = 0.0f;
    }
  }
  return got;
}

void TMixerInput::AddMapped(const float* iMapped, float* ioMix, DWORD iFrames) const {
  const size_t n = size_t(iFrames) * fChans;
  for (size_t i = 0; i < n; ++i) ioMix[i] += iMapped[i];
}

DWORD TMixerInput::MixInto(float* ioMix, DWORD iFrames) {
  if (!fSoxr) {
    const DWORD got = Pull(iFrames);
    AddMapped(fMapped.get(), ioMix, got);
    return got;
  }
  const double ratio = double(fSource->Freq()) / fFreq;
  DWORD produced = 0;
  while (produced < iFrames) {
    bool fresh = false;
    if (fPendingFrames == 0) {
      const DWORD want = std::min<DWORD>(kBlockFrames, DWORD(std::ceil((iFrames - produced) * ratio)) + 2);
      fPendingOffset = 0;
      fPendingFrames = Pull(want);
      fresh = fPendingFrames > 0;
    }
    size_t used = 0, made = 0;
    // An empty input with a non-null pointer asks only for what the resampler
    // holds; a null pointer would end the stream.
    soxr_process(fSoxr, fMapped.get() + size_t(fPendingOffset) * fChans, fPendingFrames, &used,
                 fResampled.get(), std::min(iFrames - produced, kBlockFrames), &made);
    AddMapped(fResampled.get(), ioMix + size_t(produced) * fChans, DWORD(made));
    produced += DWORD(made);
    fPendingOffset += DWORD(used);
    fPendingFrames -= DWORD(used);
    if (made == 0 && used == 0 && !fresh) break;  // the source has nothing more for now
  }
  return produced;
}

TMixer::TMixer(DWORD iFreq, DWORD iChans, DWORD iFlags) : TChannel(iFreq, iChans, iFlags, BASS_CTYPE_STREAM_MIXER) {}

bool TMixer::AddSource(const std::shared_ptr<TChannel>& iSource) {
  if (iSource.get() == this) return Fail(BASS_ERROR_ILLPARAM);
  if (!iSource->IsDecode()) return Fail(BASS_ERROR_DECODE);
  if (iSource->Mixer()) return Fail(BASS_ERROR_ALREADY);
  // A mixer must not end up among its own sources further down.
  for (auto up = Mixer(); up; up = up->Mixer())
    if (up == iSource) return Fail(BASS_ERROR_ILLPARAM);
  auto input = std::make_shared<TMixerInput>(iSource, Freq(), Chans());
  if (!input->Valid()) return Fail(BASS_ERROR_FORMAT);
  {
    std::lock_guard lock(fSourcesLock);
    auto next = std::make_shared<TMixerInputList>(*fSources.Current());
    next->push_back(std::move(input));
    fSources.Publish(std::move(next));
  }
  iSource->SetMixer(std::static_pointer_cast<TMixer>(shared_from_this()));
  SetError(BASS_OK);
  return true;
}

bool TMixer::RemoveSource(const TChannel* iSource) {
  std::shared_ptr<TChannel> removed;
  {
    std::lock_guard lock(fSourcesLock);
    auto next = std::make_shared<TMixerInputList>(*fSources.Current());
    auto it = std::find_if(next->begin(), next->end(), [&](const auto& e) { return e->Source().get() == iSource; });
    if (it == next->end()) return Fail(BASS_ERROR_HANDLE);
    removed = (*it)->Source();
    next->erase(it);
    fSources.Publish(std::move(next));
  }
  removed->SetMixer(nullptr);
  return true;
}

DWORD TMixer::ReadSource(float* oBuffer, DWORD iFrames) {
  std::fill_n(oBuffer, size_t(iFrames) * Chans(), 0.0f);
  DWORD delivered = 0;
  auto sources = fSources.Read();
  for (const auto& input : *sources) delivered = std::max(delivered, input->MixInto(oBuffer, iFrames));
  // A non-stop mixer plays silence where its sources have nothing.
  return (Flags() & BASS_MIXER_NONSTOP) ? iFrames : delivered;
}

void TMixer::FreeSource() {
  std::shared_ptr<const TMixerInputList> sources;
  {
    std::lock_guard lock(fSourcesLock);
    sources = fSources.Current();
    fSources.Publish(std::make_shared<TMixerInputList>());
  }
  for (const auto& input : *sources) input->Source()->SetMixer(nullptr);
}

}  // namespace vt::engine

using namespace vt::engine;

DWORD BASS_Mixer_GetVersion() { return 0x02040B00; }

HSTREAM BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags) {
  if (freq == 0 || freq > 1000000) return Fail(BASS_ERROR_FREQ), 0;
  if (chans == 0 || chans > kMaxChannels) return Fail(BASS_ERROR_ILLPARAM), 0;
  const bool decode = (flags & BASS_STREAM_DECODE) != 0;
  if (!decode && !DeviceInitialized(CurrentDevice())) return Fail(BASS_ERROR_INIT), 0;
  auto mixer = std::make_shared<TMixer>(freq, chans, flags);
  if (!decode) mixer->SetDevice(CurrentDevice());
  const DWORD handle = RegisterObject(mixer);
  mixer->SetHandle(handle);
  SetError(BASS_OK);
  return handle;
}

BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags) {
  auto mixer = Lookup<TMixer>(handle);
  if (!mixer) return Fail(BASS_ERROR_HANDLE);
  auto source = LookupChannel(channel);
  if (!source) return FALSE;
  return mixer->AddSource(source);
}

BOOL BASS_Mixer_ChannelRemove(DWORD handle) {
  auto source = LookupChannel(handle);
  if (!source) return FALSE;
  auto mixer = source->Mixer();
  if (!mixer) return Fail(BASS_ERROR_NOTAVAIL);
  if (!mixer->RemoveSource(source.get())) return FALSE;
  SetError(BASS_OK);
  return TRUE;
}

HSTREAM BASS_Mixer_ChannelGetMixer(DWORD handle) {
  auto source = LookupChannel(handle);
  if (!source) return 0;
  auto mixer = source->Mixer();
  if (!mixer) return Fail(BASS_ERROR_NOTAVAIL), 0;
  SetError(BASS_OK);
  return mixer->Handle();
}
