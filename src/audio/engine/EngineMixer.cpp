#include "audio/engine/EngineMixer.h"

#include "audio/engine/EngineDevice.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace vt::engine {

namespace {

// Channels the resampler works on: a mono source once (copied to every mixer
// channel afterwards), else the source channels that the mixer keeps.
DWORD ResampledChannels(DWORD iSourceChans, DWORD iMixerChans) {
  return iSourceChans == 1 ? 1 : std::min(iSourceChans, iMixerChans);
}

// Interleaved frames to planes of kBlockFrames samples (the first iPlanes
// channels of each frame).
void Deinterleave(const float* iSource, DWORD iSourceChans, float* oPlanes, DWORD iPlanes, DWORD iFrames) {
  DWORD f = 0;
#if defined(__SSE2__)
  if (iSourceChans == 2 && iPlanes == 2) {
    float* left = oPlanes;
    float* right = oPlanes + kBlockFrames;
    for (; f + 4 <= iFrames; f += 4) {
      const __m128 a = _mm_loadu_ps(iSource + 2 * f), b = _mm_loadu_ps(iSource + 2 * f + 4);
      _mm_storeu_ps(left + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
      _mm_storeu_ps(right + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
  }
#endif
  for (DWORD c = 0; c < iPlanes; ++c) {
    float* plane = oPlanes + size_t(c) * kBlockFrames;
    for (DWORD g = f; g < iFrames; ++g) plane[g] = iSource[size_t(g) * iSourceChans + c];
  }
}

// Planes back to interleaved mixer frames, written over ioMix or added to it.
// A single plane goes to every channel; channels without a plane get nothing.
template <bool kAdd>
void Interleave(const float* iPlanes, DWORD iPlanesCount, float* ioMix, DWORD iMixChans, DWORD iFrames) {
  DWORD f = 0;
#if defined(__SSE2__)
  if (iMixChans == 2 && iPlanesCount >= 1) {
    const float* left = iPlanes;
    const float* right = iPlanesCount == 1 ? iPlanes : iPlanes + kBlockFrames;
    for (; f + 4 <= iFrames; f += 4) {
      const __m128 l = _mm_loadu_ps(left + f), r = _mm_loadu_ps(right + f);
      __m128 lo = _mm_unpacklo_ps(l, r), hi = _mm_unpackhi_ps(l, r);
      float* out = ioMix + 2 * size_t(f);
      if constexpr (kAdd) {
        lo = _mm_add_ps(lo, _mm_loadu_ps(out));
        hi = _mm_add_ps(hi, _mm_loadu_ps(out + 4));
      }
      _mm_storeu_ps(out, lo);
      _mm_storeu_ps(out + 4, hi);
    }
  }
#endif
  for (; f < iFrames; ++f) {
    float* out = ioMix + size_t(f) * iMixChans;
    for (DWORD c = 0; c < iMixChans; ++c) {
      const DWORD plane = iPlanesCount == 1 ? 0 : c;
      const float v = plane < iPlanesCount ? iPlanes[size_t(plane) * kBlockFrames + f] : 0.0f;
      if constexpr (kAdd)
        out[c] += v;
      else
        out[c] = v;
    }
  }
}

}  // namespace

TMixerInput::TMixerInput(std::shared_ptr<TChannel> iSource, DWORD iMixerFreq, DWORD iMixerChans)
    : fSource(std::move(iSource)), fFreq(iMixerFreq), fChans(iMixerChans),
      fRaw(new float[size_t(kBlockFrames) * fSource->Chans()]),
      fResampled(new float[size_t(kBlockFrames) * iMixerChans]) {
  if (fSource->Freq() != fFreq) {
    fPlanes.reset(new float[size_t(kBlockFrames) * iMixerChans]);
    soxr_error_t error = nullptr;
    // One plane per channel: the resampler's own (de)interleaving is slower
    // than ours, which shares a pass with the channel mapping and the mix.
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    // Medium quality is transparent for 16-bit recordings and several times
    // cheaper than high quality; one thread, since many slots run side by side.
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    fSoxr = soxr_create(fSource->Freq(), fFreq, ResampledChannels(fSource->Chans(), fChans), &error, &io, &quality,
                        &runtime);
    if (error) fSoxr = nullptr;
  }
}

TMixerInput::~TMixerInput() {
  if (fSoxr) soxr_delete(fSoxr);
}

DWORD TMixerInput::PullInterleaved(float* oTarget, DWORD iFrames) {
  iFrames = std::min(iFrames, kBlockFrames);
  const DWORD srcChans = fSource->Chans();
  if (srcChans == fChans) return fSource->PullBlock(oTarget, iFrames);
  const DWORD got = fSource->PullBlock(fRaw.get(), iFrames);
  const float* in = fRaw.get();
  if (srcChans == 1) {
    for (DWORD f = 0; f < got; ++f)
      for (DWORD c = 0; c < fChans; ++c) oTarget[f * fChans + c] = in[f];
  } else {
    const DWORD shared = std::min(srcChans, fChans);
    for (DWORD f = 0; f < got; ++f) {
      for (DWORD c = 0; c < shared; ++c) oTarget[f * fChans + c] = in[f * srcChans + c];
      for (DWORD c = shared; c < fChans; ++c) oTarget[f * fChans + c] = 0.0f;
    }
  }
  return got;
}

DWORD TMixerInput::PullPlanes(DWORD iFrames) {
  const DWORD got = fSource->PullBlock(fRaw.get(), std::min(iFrames, kBlockFrames));
  Deinterleave(fRaw.get(), fSource->Chans(), fPlanes.get(), ResampledChannels(fSource->Chans(), fChans), got);
  return got;
}

DWORD TMixerInput::MixInto(float* ioMix, DWORD iFrames, bool iFirst) {
  return fSoxr ? MixResampled(ioMix, iFrames, iFirst) : MixDirect(ioMix, iFrames, iFirst);
}

DWORD TMixerInput::MixDirect(float* ioMix, DWORD iFrames, bool iFirst) {
  if (iFirst) return PullInterleaved(ioMix, iFrames);
  const DWORD got = PullInterleaved(fResampled.get(), iFrames);
  const float* in = fResampled.get();
  const size_t n = size_t(got) * fChans;
  for (size_t i = 0; i < n; ++i) ioMix[i] += in[i];
  return got;
}

DWORD TMixerInput::MixResampled(float* ioMix, DWORD iFrames, bool iFirst) {
  const DWORD planes = ResampledChannels(fSource->Chans(), fChans);
  const double ratio = double(fSource->Freq()) / fFreq;
  const void* in[kMaxChannels];
  void* out[kMaxChannels];
  for (DWORD c = 0; c < planes; ++c) out[c] = fResampled.get() + size_t(c) * kBlockFrames;
  DWORD produced = 0;
  while (produced < iFrames) {
    bool fresh = false;
    if (fPendingFrames == 0) {
      const DWORD want = std::min<DWORD>(kBlockFrames, DWORD(std::ceil((iFrames - produced) * ratio)) + 2);
      fPendingOffset = 0;
      fPendingFrames = PullPlanes(want);
      fresh = fPendingFrames > 0;
    }
    for (DWORD c = 0; c < planes; ++c) in[c] = fPlanes.get() + size_t(c) * kBlockFrames + fPendingOffset;
    size_t used = 0, made = 0;
    // An empty input with a non-null pointer asks only for what the resampler
    // holds; a null pointer would end the stream.
    soxr_process(fSoxr, in, fPendingFrames, &used, out, std::min(iFrames - produced, kBlockFrames), &made);
    float* target = ioMix + size_t(produced) * fChans;
    if (iFirst)
      Interleave<false>(fResampled.get(), planes, target, fChans, DWORD(made));
    else
      Interleave<true>(fResampled.get(), planes, target, fChans, DWORD(made));
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
  DWORD delivered = 0;
  {
    auto sources = fSources.Read();
    bool first = true;
    for (const auto& input : *sources) {
      const DWORD got = input->MixInto(oBuffer, iFrames, first);
      // The first source wrote its frames in place; what it did not fill is
      // silence for the others to add to.
      if (first) std::fill(oBuffer + size_t(got) * Chans(), oBuffer + size_t(iFrames) * Chans(), 0.0f);
      first = false;
      delivered = std::max(delivered, got);
    }
    if (first) std::fill_n(oBuffer, size_t(iFrames) * Chans(), 0.0f);
  }
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
