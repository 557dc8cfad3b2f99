#include "audio/engine/EnginePluginHost.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#ifdef __SSE2__
#include <immintrin.h>
#endif

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EngineConfig.h"
#include "audio/engine/EngineSampleFormat.h"

namespace vt::engine {

namespace {

constexpr DWORD kPartFrames = 1024;

// Interleaved stereo frames to two planes and back: the copies around every
// plug-in run, and all of the host's own cost on a stereo chain, so they are
// kept to a few instructions per four frames (eight where the processor has
// AVX, chosen once at start-up).
void DeinterleaveSSE(const float* __restrict iFrames, float* __restrict oLeft, float* __restrict oRight,
                     DWORD iCount) noexcept {
  DWORD f = 0;
#ifdef __SSE2__
  for (; f + 4 <= iCount; f += 4) {
    const __m128 a = _mm_loadu_ps(iFrames + 2 * f), b = _mm_loadu_ps(iFrames + 2 * f + 4);
    _mm_storeu_ps(oLeft + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    _mm_storeu_ps(oRight + f, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
  }
#endif
  for (; f < iCount; ++f) {
    oLeft[f] = iFrames[2 * f];
    oRight[f] = iFrames[2 * f + 1];
  }
}

void InterleaveSSE(const float* __restrict iLeft, const float* __restrict iRight, float* __restrict oFrames,
                   DWORD iCount) noexcept {
  DWORD f = 0;
#ifdef __SSE2__
  for (; f + 4 <= iCount; f += 4) {
    const __m128 l = _mm_loadu_ps(iLeft + f), r = _mm_loadu_ps(iRight + f);
    _mm_storeu_ps(oFrames + 2 * f, _mm_unpacklo_ps(l, r));
    _mm_storeu_ps(oFrames + 2 * f + 4, _mm_unpackhi_ps(l, r));
  }
#endif
  for (; f < iCount; ++f) {
    oFrames[2 * f] = iLeft[f];
    oFrames[2 * f + 1] = iRight[f];
  }
}

#if defined(__x86_64__) && defined(__SSE2__)
// AVX shuffles stay within 128-bit lanes: the halves are put in place first.
__attribute__((target("avx"))) void DeinterleaveAVX(const float* __restrict iFrames, float* __restrict oLeft,
                                                    float* __restrict oRight, DWORD iCount) noexcept {
  DWORD f = 0;
  for (; f + 8 <= iCount; f += 8) {
    const __m256 a = _mm256_loadu_ps(iFrames + 2 * f);      // l0 r0 l1 r1 | l2 r2 l3 r3
    const __m256 b = _mm256_loadu_ps(iFrames + 2 * f + 8);  // l4 r4 l5 r5 | l6 r6 l7 r7
    const __m256 lo = _mm256_permute2f128_ps(a, b, 0x20);   // l0 r0 l1 r1 | l4 r4 l5 r5
    const __m256 hi = _mm256_permute2f128_ps(a, b, 0x31);   // l2 r2 l3 r3 | l6 r6 l7 r7
    _mm256_storeu_ps(oLeft + f, _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)));
    _mm256_storeu_ps(oRight + f, _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)));
  }
  // Clean upper halves before any SSE code runs again (the rest below, the
  // plug-in): the compiler leaves this out before a tail call, and dirty
  // halves made every later SSE instruction of the thread several times slower.
  _mm256_zeroupper();
  DeinterleaveSSE(iFrames + 2 * f, oLeft + f, oRight + f, iCount - f);
}

__attribute__((target("avx"))) void InterleaveAVX(const float* __restrict iLeft, const float* __restrict iRight,
                                                  float* __restrict oFrames, DWORD iCount) noexcept {
  DWORD f = 0;
  for (; f + 8 <= iCount; f += 8) {
    const __m256 l = _mm256_loadu_ps(iLeft + f), r = _mm256_loadu_ps(iRight + f);
    const __m256 lo = _mm256_unpacklo_ps(l, r);  // l0 r0 l1 r1 | l4 r4 l5 r5
    const __m256 hi = _mm256_unpackhi_ps(l, r);  // l2 r2 l3 r3 | l6 r6 l7 r7
    _mm256_storeu_ps(oFrames + 2 * f, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(oFrames + 2 * f + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
  _mm256_zeroupper();  // as above
  InterleaveSSE(iLeft + f, iRight + f, oFrames + 2 * f, iCount - f);
}

const bool kHasAVX = [] {
  __builtin_cpu_init();  // this runs among the static constructors
  return __builtin_cpu_supports("avx") != 0;
}();
#endif

void Deinterleave(const float* __restrict iFrames, float* __restrict oLeft, float* __restrict oRight, DWORD iCount) noexcept {
#if defined(__x86_64__) && defined(__SSE2__)
  if (kHasAVX) return DeinterleaveAVX(iFrames, oLeft, oRight, iCount);
#endif
  DeinterleaveSSE(iFrames, oLeft, oRight, iCount);
}

void Interleave(const float* __restrict iLeft, const float* __restrict iRight, float* __restrict oFrames, DWORD iCount) noexcept {
#if defined(__x86_64__) && defined(__SSE2__)
  if (kHasAVX) return InterleaveAVX(iLeft, iRight, oFrames, iCount);
#endif
  InterleaveSSE(iLeft, iRight, oFrames, iCount);
}

}  // namespace

void TPluginRunner::Process(float* ioBuffer, DWORD iFrames) const noexcept {
  const TPluginLayout& layout = fModule->Layout();
  // The control side writes single atomics: a value is never seen half written.
  for (size_t k = 0; k < layout.fControlIn.size(); ++k) {
    const float value = fValues->fValues[k].load(std::memory_order_relaxed);
    for (const auto& instance : fInstances) *instance->Port(layout.fControlIn[k]) = value;
  }
  const DWORD chans = fChans;
  if (chans == 2) {
    // One stereo instance, or one mono instance per side. In parts small
    // enough that the copies and the plug-in's buffers stay in the L1 cache.
    TPluginInstance& a = *fInstances[0];
    TPluginInstance& b = fInstances.size() == 2 ? *fInstances[1] : a;
    const bool stereo = &a == &b;
    for (DWORD done = 0; done < iFrames; done += kPartFrames) {
      const DWORD part = std::min(kPartFrames, iFrames - done);
      float* frames = ioBuffer + 2 * size_t(done);
      Deinterleave(frames, a.AudioIn(0), stereo ? a.AudioIn(1) : b.AudioIn(0), part);
      a.Run(part);
      if (!stereo) b.Run(part);
      Interleave(a.AudioOut(0), stereo ? a.AudioOut(1) : b.AudioOut(0), frames, part);
    }
    return;
  }
  for (DWORD c = 0; c < chans; ++c) {
    TPluginInstance& instance = *fInstances[c];
    float* in = instance.AudioIn(0);
    for (DWORD f = 0; f < iFrames; ++f) in[f] = ioBuffer[size_t(f) * chans + c];
    instance.Run(iFrames);
    const float* out = instance.AudioOut(0);
    for (DWORD f = 0; f < iFrames; ++f) ioBuffer[size_t(f) * chans + c] = out[f];
  }
}

TWadspPlugin::TWadspPlugin(std::string iFile, std::vector<std::shared_ptr<const TPluginModule>> iModules)
    : fFile(std::move(iFile)), fModules(std::move(iModules)) {
  std::lock_guard lock(fLock);
  SelectModule(0, fRate);
}

TWadspPlugin::~TWadspPlugin() = default;

void TWadspPlugin::SelectModule(size_t iModule, double iRate) {
  std::vector<TControlPort> controls = fModules[iModule]->Controls(iRate);
  if (iModule != fModule || !fValues) {
    fValues = std::make_shared<TControlValues>(controls.size());
    for (size_t k = 0; k < controls.size(); ++k) fValues->fValues[k].store(controls[k].fDefault);
  } else {
    // Same module at another rate: ranges that scale with the rate move, and
    // a value that no longer fits falls back to the default. Values that were
    // at the old default follow the new one.
    for (size_t k = 0; k < controls.size(); ++k) {
      const float value = fValues->fValues[k].load();
      const TControlPort& c = controls[k];
      const bool atDefault = value == fControls[k].fDefault;
      const bool fits = (!c.fHasMin || value >= c.fMin) && (!c.fHasMax || value <= c.fMax);
      if (atDefault || !fits) fValues->fValues[k].store(c.fDefault);
    }
  }
  fModule = iModule;
  fRate = iRate;
  fControls = std::move(controls);
}

void TWadspPlugin::Start(DWORD iModule, const std::shared_ptr<TChannel>& iChannel) {
  std::lock_guard lock(fLock);
  if (iModule >= fModules.size())
    throw TPluginError(BASS_ERROR_ILLPARAM, fmt::format("{} has no module {} (it has {})", fFile, iModule, fModules.size()));
  const auto& module = fModules[iModule];
  const std::string unusable = module->Layout().UsableError();
  if (!unusable.empty()) throw TPluginError(BASS_ERROR_FORMAT, fmt::format("{} has {}", module->Name(), unusable));
  const DWORD chans = iChannel->Chans(), freq = iChannel->Freq();
  const bool stereo = module->Layout().fAudioIn.size() == 2;
  if (stereo && chans != 2)
    throw TPluginError(BASS_ERROR_FORMAT, fmt::format("{} is a stereo plug-in, the channel has {} channel{}",
                                                      module->Name(), chans, chans == 1 ? "" : "s"));
  if (auto placed = fChannel.lock(); placed && fDsp && placed != iChannel)
    throw TPluginError(BASS_ERROR_ALREADY, fmt::format("{} is placed on another channel", module->Name()));

  auto runner = std::make_shared<TPluginRunner>();
  runner->fModule = module;
  runner->fFreq = freq;
  runner->fChans = chans;
  const size_t count = stereo ? 1 : chans;
  for (size_t i = 0; i < count; ++i) runner->fInstances.push_back(module->Instantiate(freq));
  SelectModule(iModule, freq);
  runner->fValues = fValues;
  fRunner.Publish(std::move(runner));  // the instances that ran before are released here
}

void TWadspPlugin::Stop() {
  std::lock_guard lock(fLock);
  fRunner.Publish(std::make_shared<TPluginRunner>());
}

HDSP TWadspPlugin::Place(const std::shared_ptr<TChannel>& iChannel, int iPriority) {
  std::lock_guard lock(fLock);
  if (fDsp && !fChannel.expired())
    throw TPluginError(BASS_ERROR_ALREADY, fmt::format("{} is already placed on a channel", fModules[fModule]->Name()));
  {
    auto runner = fRunner.Read();
    if (!runner->fInstances.empty() && (runner->fChans != iChannel->Chans() || runner->fFreq != iChannel->Freq()))
      throw TPluginError(BASS_ERROR_FORMAT, fmt::format("{} was started for {} channels at {} Hz, the channel has {} at {} Hz",
                                                        fModules[fModule]->Name(), runner->fChans, runner->fFreq,
                                                        iChannel->Chans(), iChannel->Freq()));
  }
  // Not on any chain now, so the conversion block can be replaced safely.
  fFloatChain = iChannel->OutputFormat() == TSampleFormat::sfFloat32;
  if (!fFloatChain) {
    fConvert.reset(new float[size_t(kBlockFrames) * iChannel->Chans()]);
    fConvertChans = iChannel->Chans();
  }
  const HDSP dsp = iChannel->AddDsp(&TWadspPlugin::DspProc, this, iPriority);
  fChannel = iChannel;
  fDsp = dsp;
  return dsp;
}

bool TWadspPlugin::Remove() {
  std::lock_guard lock(fLock);
  const DWORD dsp = std::exchange(fDsp, 0);
  auto channel = fChannel.lock();
  fChannel.reset();
  if (!dsp) return false;
  // Once this returns, the puller has left the chain that held the plug-in.
  if (channel) channel->RemoveFromChain(dsp);
  UnregisterObject(dsp);
  return true;
}

void TWadspPlugin::Free() {
  Remove();
  std::lock_guard lock(fLock);
  fRunner.Publish(std::make_shared<TPluginRunner>());
}

DWORD TWadspPlugin::ControlCount() const {
  std::lock_guard lock(fLock);
  return static_cast<DWORD>(fControls.size());
}

bool TWadspPlugin::ControlInfo(DWORD iControl, VT_WADSP_CONTROLINFO& oInfo) const {
  std::lock_guard lock(fLock);
  if (iControl >= fControls.size()) return false;
  const TControlPort& c = fControls[iControl];
  oInfo.symbol = c.fSymbol.c_str();
  oInfo.name = c.fName.c_str();
  oInfo.port = c.fPort;
  oInfo.min = c.fMin;
  oInfo.max = c.fMax;
  oInfo.def = c.fDefault;
  oInfo.flags = (c.fHasMin ? VT_WADSP_CONTROL_HASMIN : 0) | (c.fHasMax ? VT_WADSP_CONTROL_HASMAX : 0) |
                (c.fInteger ? VT_WADSP_CONTROL_INTEGER : 0) | (c.fToggled ? VT_WADSP_CONTROL_TOGGLED : 0) |
                (c.fLogarithmic ? VT_WADSP_CONTROL_LOGARITHMIC : 0);
  return true;
}

size_t TWadspPlugin::FindControl(const std::string& iControl) const {
  for (size_t k = 0; k < fControls.size(); ++k)
    if (fControls[k].fSymbol == iControl) return k;
  if (!iControl.empty() && std::all_of(iControl.begin(), iControl.end(), [](char c) { return c >= '0' && c <= '9'; }))
    for (size_t k = 0; k < fControls.size(); ++k)
      if (iControl.size() < 10 && fControls[k].fPort == std::stoul(iControl)) return k;
  throw TPluginError(BASS_ERROR_ILLPARAM,
                     fmt::format("{} has no control input \"{}\"", fModules[fModule]->Name(), iControl));
}

void TWadspPlugin::SetControl(const std::string& iControl, float iValue) {
  std::lock_guard lock(fLock);
  const size_t k = FindControl(iControl);
  const TControlPort& c = fControls[k];
  if (std::isnan(iValue) || (c.fHasMin && iValue < c.fMin) || (c.fHasMax && iValue > c.fMax)) {
    const std::string range = fmt::format("{} to {}", c.fHasMin ? fmt::format("{:g}", c.fMin) : "...",
                                          c.fHasMax ? fmt::format("{:g}", c.fMax) : "...");
    throw TPluginError(BASS_ERROR_ILLPARAM,
                       fmt::format("{:g} is outside the range of \"{}\" ({})", iValue, c.fSymbol, range));
  }
  if (c.fInteger || c.fToggled) iValue = std::round(iValue);
  fValues->fValues[k].store(iValue, std::memory_order_relaxed);
}

float TWadspPlugin::GetControl(const std::string& iControl) const {
  std::lock_guard lock(fLock);
  return fValues->fValues[FindControl(iControl)].load(std::memory_order_relaxed);
}

void TWadspPlugin::DspProc(HDSP, DWORD, void* iBuffer, DWORD iLength, void* iUser) {
  auto* self = static_cast<TWadspPlugin*>(iUser);
  auto runner = self->fRunner.Read();
  if (runner->fInstances.empty()) return;  // not started: unprocessed
  const DWORD chans = runner->fChans;
  // The chain hands over floats on a float channel or with FLOATDSP, else 16-bit samples.
  if (self->fFloatChain || FloatDsp()) {
    const DWORD frames = std::min<DWORD>(iLength / (sizeof(float) * chans), kBlockFrames);
    runner->Process(static_cast<float*>(iBuffer), frames);
    return;
  }
  if (!self->fConvert || self->fConvertChans != chans) return;
  const DWORD frames = std::min<DWORD>(iLength / (sizeof(int16_t) * chans), kBlockFrames);
  ToFloat(TSampleFormat::sfInt16, iBuffer, self->fConvert.get(), size_t(frames) * chans);
  runner->Process(self->fConvert.get(), frames);
  FromFloat(TSampleFormat::sfInt16, self->fConvert.get(), iBuffer, size_t(frames) * chans);
}

}  // namespace vt::engine
