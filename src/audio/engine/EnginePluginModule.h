#pragma once
// One sound processor of a plug-in library (a LADSPA descriptor or an LV2
// plug-in), as the DSP plug-in host sees it: its name, its audio ports, its
// control inputs with their ranges and defaults, and instances of it that run
// on blocks of at most kBlockFrames frames.
//
// Modules are created and instantiated on control threads; an instance's Run
// is the only call that happens on the audio thread.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/engine/Engine.h"

namespace vt::engine {

// A plug-in that cannot be loaded or run: the engine's error code and why.
class TPluginError : public std::runtime_error {
public:
  TPluginError(int iCode, const std::string& iReason) : std::runtime_error(iReason), fCode(iCode) {}
  int fCode;
};

// A control input. The texts are fixed when the module is loaded; the range
// and default may depend on the sample rate (LADSPA's SAMPLE_RATE hint, LV2's
// lv2:sampleRate) and are given for one rate.
struct TControlPort {
  std::string fSymbol;  // LV2 symbol, or derived from the LADSPA port name
  std::string fName;
  DWORD fPort = 0;      // the plug-in's own port index
  bool fHasMin = false, fHasMax = false;
  float fMin = 0.0f, fMax = 0.0f, fDefault = 0.0f;
  bool fInteger = false, fToggled = false, fLogarithmic = false;
};

// Port indexes by kind, in port order.
struct TPluginLayout {
  DWORD fPortCount = 0;
  std::vector<DWORD> fAudioIn, fAudioOut, fControlIn, fControlOut;
  std::vector<DWORD> fAtomIn, fAtomOut;  // LV2 event ports, given empty sequences
  std::vector<DWORD> fUnconnected;       // optional ports left unconnected (LV2)
  // The plug-in may read its inputs and write its outputs in the same buffers
  // (it does not say otherwise): each output then shares its input's block.
  bool fInPlace = false;
  // Empty when the host can run the module: one input and one output (an
  // instance per channel) or two inputs and two outputs (one for a stereo channel).
  std::string UsableError() const;
};

// Buffers of one running instance, connected to its ports once before it is
// activated: a block of audio per audio port, one float per control port.
class TPluginInstance {
public:
  explicit TPluginInstance(const TPluginLayout& iLayout);
  virtual ~TPluginInstance() = default;  // subclasses deactivate and free the plug-in
  TPluginInstance(const TPluginInstance&) = delete;
  TPluginInstance& operator=(const TPluginInstance&) = delete;

  virtual void Run(DWORD iFrames) noexcept = 0;

  float* AudioIn(size_t i) { return fAudio[i]; }
  float* AudioOut(size_t i) { return fAudio[fAudioInCount + i]; }
  float* Port(DWORD iPort) { return &fControl[iPort]; }  // a control port's value

protected:
  const TPluginLayout& fLayout;
  size_t fAudioInCount;
  std::vector<std::unique_ptr<float[]>> fBlocks;
  std::vector<float*> fAudio;  // inputs, then outputs, in fBlocks
  std::vector<float> fControl;                   // indexed by port
};

class TPluginModule {
public:
  virtual ~TPluginModule() = default;
  const std::string& Name() const { return fName; }
  const TPluginLayout& Layout() const { return fLayout; }
  // Control inputs with their range and default at iRate.
  virtual std::vector<TControlPort> Controls(double iRate) const = 0;
  // A new instance for iRate, ports connected and activated. Throws TPluginError.
  virtual std::unique_ptr<TPluginInstance> Instantiate(double iRate) const = 0;

protected:
  std::string fName;
  TPluginLayout fLayout;
};

// A plug-in's name made into a symbol: lower case, runs of anything but
// letters and digits as one "_" ("Amps gain (dB)" -> "amps_gain_db").
std::string SymbolFromName(const std::string& iName);

}  // namespace vt::engine
