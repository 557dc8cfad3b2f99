#pragma once
// A loaded DSP plug-in (the BASS_WADSP_* handles): its modules, the control
// values, the instances that run for one channel and its place on that
// channel's chain.
//
// Threads. Loading, starting, stopping, placing and freeing happen on control
// threads under the plug-in's own lock. The channel's puller runs Process: it
// reads the running instances through a published snapshot and the control
// values through atomics, so it takes no lock and allocates nothing. A new
// snapshot is swapped in whole, and the old one (with its plug-in instances)
// is destroyed only after the puller has left it; taking the plug-in off the
// chain waits likewise, so a plug-in is never freed while the puller may be
// inside it.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/EngineObject.h"
#include "audio/engine/EnginePluginModule.h"
#include "audio/engine/EnginePublished.h"

namespace vt::engine {

class TChannel;

// Current values of a module's control inputs, shared by the control side and
// the running instances.
struct TControlValues {
  explicit TControlValues(size_t iCount) : fCount(iCount), fValues(new std::atomic<float>[iCount]) {}
  const size_t fCount;
  std::unique_ptr<std::atomic<float>[]> fValues;
};
static_assert(std::atomic<float>::is_always_lock_free);

// Instances of one module running for one channel format.
struct TPluginRunner {
  std::shared_ptr<const TPluginModule> fModule;  // outlives its instances
  std::shared_ptr<TControlValues> fValues;
  std::vector<std::unique_ptr<TPluginInstance>> fInstances;  // one, or one per channel
  DWORD fFreq = 0, fChans = 0;
  // ioBuffer: iFrames (<= kBlockFrames) interleaved frames of fChans floats.
  void Process(float* ioBuffer, DWORD iFrames) const noexcept;
};

class TWadspPlugin : public TEngineObject {
public:
  TWadspPlugin(std::string iFile, std::vector<std::shared_ptr<const TPluginModule>> iModules);
  ~TWadspPlugin() override;

  const std::string& File() const { return fFile; }
  const std::vector<std::shared_ptr<const TPluginModule>>& Modules() const { return fModules; }

  // Instantiates module iModule for the format of iChannel. Throws TPluginError.
  void Start(DWORD iModule, const std::shared_ptr<TChannel>& iChannel);
  void Stop();  // audio passes unprocessed until the next Start
  // Puts the plug-in on iChannel's chain; a plug-in that is not started passes
  // the audio unprocessed. Throws TPluginError. Returns the chain handle.
  HDSP Place(const std::shared_ptr<TChannel>& iChannel, int iPriority);
  bool Remove();  // off the chain (waits until the puller has left it); false when not placed

  // Control inputs of the running module (module 0 before a start).
  DWORD ControlCount() const;
  bool ControlInfo(DWORD iControl, VT_WADSP_CONTROLINFO& oInfo) const;
  // iControl: a symbol or the decimal port index. Throws TPluginError.
  void SetControl(const std::string& iControl, float iValue);
  float GetControl(const std::string& iControl) const;

  void Free() override;  // off the chain, instances released

  // The chain's callback; iUser is the plug-in.
  static void DspProc(HDSP iHandle, DWORD iChannel, void* iBuffer, DWORD iLength, void* iUser);

private:
  size_t FindControl(const std::string& iControl) const;  // under fLock; throws
  void SelectModule(size_t iModule, double iRate);         // under fLock

  const std::string fFile;
  const std::vector<std::shared_ptr<const TPluginModule>> fModules;

  mutable std::mutex fLock;  // control side only
  size_t fModule = 0;
  double fRate = 44100.0;                // rate of the control ranges below
  std::vector<TControlPort> fControls;   // of fModule at fRate
  std::shared_ptr<TControlValues> fValues;
  std::weak_ptr<TChannel> fChannel;      // where it is placed
  DWORD fDsp = 0;                        // its chain handle there
  bool fFloatChain = true;               // the chain hands over floats (else 16-bit)
  std::unique_ptr<float[]> fConvert;     // one block for 16-bit chains, made when placed
  DWORD fConvertChans = 0;

  TPublished<TPluginRunner> fRunner;     // read by the puller
};

}  // namespace vt::engine
