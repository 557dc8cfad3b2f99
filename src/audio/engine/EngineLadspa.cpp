#include "audio/engine/EngineLadspa.h"

#include <dlfcn.h>
#include <fmt/format.h>
#include <ladspa.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace vt::engine {
namespace {

class TLadspaLibrary {
public:
  explicit TLadspaLibrary(void* iHandle) : fHandle(iHandle) {}
  ~TLadspaLibrary() { dlclose(fHandle); }
  TLadspaLibrary(const TLadspaLibrary&) = delete;
  TLadspaLibrary& operator=(const TLadspaLibrary&) = delete;
  void* fHandle;
};

class TLadspaModule;

class TLadspaInstance : public TPluginInstance {
public:
  TLadspaInstance(const TPluginLayout& iLayout, const LADSPA_Descriptor* iDescriptor, LADSPA_Handle iHandle)
      : TPluginInstance(iLayout), fDescriptor(iDescriptor), fHandle(iHandle) {
    for (size_t i = 0; i < iLayout.fAudioIn.size(); ++i) fDescriptor->connect_port(fHandle, iLayout.fAudioIn[i], AudioIn(i));
    for (size_t i = 0; i < iLayout.fAudioOut.size(); ++i) fDescriptor->connect_port(fHandle, iLayout.fAudioOut[i], AudioOut(i));
    for (DWORD port : iLayout.fControlIn) fDescriptor->connect_port(fHandle, port, Port(port));
    for (DWORD port : iLayout.fControlOut) fDescriptor->connect_port(fHandle, port, Port(port));
  }
  ~TLadspaInstance() override {
    if (fActive && fDescriptor->deactivate) fDescriptor->deactivate(fHandle);
    fDescriptor->cleanup(fHandle);
  }
  void Activate() {
    if (fDescriptor->activate) fDescriptor->activate(fHandle);
    fActive = true;
  }
  void Run(DWORD iFrames) noexcept override { fDescriptor->run(fHandle, iFrames); }

private:
  const LADSPA_Descriptor* fDescriptor;
  LADSPA_Handle fHandle;
  bool fActive = false;
};

// A value between the bounds, fWeight of the way up (geometric for logarithmic ports).
float Between(float iLow, float iHigh, float iWeight, bool iLogarithmic) {
  if (iLogarithmic && iLow > 0.0f && iHigh > 0.0f)
    return std::exp(std::log(iLow) * (1.0f - iWeight) + std::log(iHigh) * iWeight);
  return iLow * (1.0f - iWeight) + iHigh * iWeight;
}

class TLadspaModule : public TPluginModule {
public:
  TLadspaModule(std::shared_ptr<TLadspaLibrary> iLibrary, const LADSPA_Descriptor* iDescriptor)
      : fLibrary(std::move(iLibrary)), fDescriptor(iDescriptor) {
    fName = iDescriptor->Name ? iDescriptor->Name : "";
    fLabel = iDescriptor->Label ? iDescriptor->Label : "";
    fLayout.fPortCount = static_cast<DWORD>(iDescriptor->PortCount);
    fLayout.fInPlace = !LADSPA_IS_INPLACE_BROKEN(iDescriptor->Properties);
    for (DWORD p = 0; p < fLayout.fPortCount; ++p) {
      const LADSPA_PortDescriptor kind = iDescriptor->PortDescriptors[p];
      const bool input = LADSPA_IS_PORT_INPUT(kind);
      if (LADSPA_IS_PORT_AUDIO(kind))
        (input ? fLayout.fAudioIn : fLayout.fAudioOut).push_back(p);
      else
        (input ? fLayout.fControlIn : fLayout.fControlOut).push_back(p);
    }
  }

  const std::string& Label() const { return fLabel; }

  std::vector<TControlPort> Controls(double iRate) const override {
    std::vector<TControlPort> controls;
    for (DWORD p : fLayout.fControlIn) {
      const LADSPA_PortRangeHint& range = fDescriptor->PortRangeHints[p];
      const LADSPA_PortRangeHintDescriptor hint = range.HintDescriptor;
      TControlPort control;
      control.fName = fDescriptor->PortNames[p] ? fDescriptor->PortNames[p] : "";
      control.fSymbol = SymbolFromName(control.fName);
      control.fPort = p;
      const float scale = LADSPA_IS_HINT_SAMPLE_RATE(hint) ? static_cast<float>(iRate) : 1.0f;
      control.fHasMin = LADSPA_IS_HINT_BOUNDED_BELOW(hint);
      control.fHasMax = LADSPA_IS_HINT_BOUNDED_ABOVE(hint);
      control.fMin = control.fHasMin ? range.LowerBound * scale : 0.0f;
      control.fMax = control.fHasMax ? range.UpperBound * scale : 0.0f;
      control.fToggled = LADSPA_IS_HINT_TOGGLED(hint);
      control.fInteger = LADSPA_IS_HINT_INTEGER(hint);
      control.fLogarithmic = LADSPA_IS_HINT_LOGARITHMIC(hint);
      const float lo = control.fMin, hi = control.fMax;
      float value = 0.0f;
      switch (hint & LADSPA_HINT_DEFAULT_MASK) {
        case LADSPA_HINT_DEFAULT_MINIMUM: value = lo; break;
        case LADSPA_HINT_DEFAULT_LOW: value = Between(lo, hi, 0.25f, control.fLogarithmic); break;
        case LADSPA_HINT_DEFAULT_MIDDLE: value = Between(lo, hi, 0.5f, control.fLogarithmic); break;
        case LADSPA_HINT_DEFAULT_HIGH: value = Between(lo, hi, 0.75f, control.fLogarithmic); break;
        case LADSPA_HINT_DEFAULT_MAXIMUM: value = hi; break;
        case LADSPA_HINT_DEFAULT_1: value = 1.0f; break;
        case LADSPA_HINT_DEFAULT_100: value = 100.0f; break;
        case LADSPA_HINT_DEFAULT_440: value = 440.0f; break;
        default: value = 0.0f; break;  // none given, or 0
      }
      if (control.fHasMin && value < lo) value = lo;
      if (control.fHasMax && value > hi) value = hi;
      if (control.fInteger) value = std::round(value);
      control.fDefault = value;
      controls.push_back(std::move(control));
    }
    return controls;
  }

  std::unique_ptr<TPluginInstance> Instantiate(double iRate) const override {
    LADSPA_Handle handle = fDescriptor->instantiate(fDescriptor, static_cast<unsigned long>(iRate));
    if (!handle) throw TPluginError(BASS_ERROR_CREATE, fmt::format("{} refused to start at {} Hz", fName, iRate));
    auto instance = std::make_unique<TLadspaInstance>(fLayout, fDescriptor, handle);
    for (const TControlPort& control : Controls(iRate)) *instance->Port(control.fPort) = control.fDefault;
    instance->Activate();
    return instance;
  }

private:
  std::shared_ptr<TLadspaLibrary> fLibrary;  // the code stays loaded while a module exists
  const LADSPA_Descriptor* fDescriptor;
  std::string fLabel;
};

std::vector<std::string> SearchFolders() {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("LADSPA_PATH")) {
    std::stringstream list(path);
    std::string folder;
    while (std::getline(list, folder, ':'))
      if (!folder.empty()) folders.push_back(folder);
  }
  for (const char* folder : {"/usr/local/lib/ladspa", "/usr/lib/ladspa", "/usr/lib/x86_64-linux-gnu/ladspa"})
    folders.push_back(folder);
  return folders;
}

std::string ResolvePath(const std::string& iPath) {
  if (iPath.find('/') != std::string::npos) return iPath;
  for (const std::string& folder : SearchFolders()) {
    const std::string candidate = folder + "/" + iPath;
    if (::access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  return iPath;
}

}  // namespace

std::vector<std::shared_ptr<const TPluginModule>> LoadLadspaModules(const std::string& iPath,
                                                                    const std::string& iLabel) {
  const std::string path = ResolvePath(iPath);
  if (::access(path.c_str(), R_OK) != 0)
    throw TPluginError(BASS_ERROR_FILEOPEN, fmt::format("{}: {}", path, std::strerror(errno)));
  // dlopen searches the library path for a name without a slash.
  const std::string open = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(open.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    throw TPluginError(BASS_ERROR_FILEFORM, fmt::format("{} is not a plug-in library ({})", path, why ? why : "?"));
  }
  auto library = std::make_shared<TLadspaLibrary>(handle);
  auto descriptorOf = reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(handle, "ladspa_descriptor"));
  if (!descriptorOf) throw TPluginError(BASS_ERROR_FILEFORM, fmt::format("{} is not a LADSPA library", path));

  std::vector<std::shared_ptr<const TLadspaModule>> all;
  for (unsigned long i = 0;; ++i) {
    const LADSPA_Descriptor* descriptor = descriptorOf(i);
    if (!descriptor) break;
    all.push_back(std::make_shared<TLadspaModule>(library, descriptor));
  }
  if (all.empty()) throw TPluginError(BASS_ERROR_FILEFORM, fmt::format("{} holds no LADSPA plug-in", path));

  size_t chosen = all.size();
  if (!iLabel.empty()) {
    for (size_t i = 0; i < all.size() && chosen == all.size(); ++i)
      if (all[i]->Label() == iLabel) chosen = i;
    if (chosen == all.size())
      throw TPluginError(BASS_ERROR_ILLPARAM, fmt::format("{} has no plug-in labelled \"{}\"", path, iLabel));
    const std::string unusable = all[chosen]->Layout().UsableError();
    if (!unusable.empty())
      throw TPluginError(BASS_ERROR_FORMAT, fmt::format("{} ({}#{}) has {}", all[chosen]->Name(), path, iLabel, unusable));
  } else {
    for (size_t i = 0; i < all.size() && chosen == all.size(); ++i)
      if (all[i]->Layout().UsableError().empty()) chosen = i;
    if (chosen == all.size()) {
      throw TPluginError(BASS_ERROR_FORMAT, all.size() == 1
          ? fmt::format("{} ({}) has {}", all[0]->Name(), path, all[0]->Layout().UsableError())
          : fmt::format("no plug-in of {} has ports the host can run (one audio input and one output, or two and two)", path));
    }
  }
  std::vector<std::shared_ptr<const TPluginModule>> modules{all[chosen]};
  for (size_t i = 0; i < all.size(); ++i)
    if (i != chosen) modules.push_back(all[i]);
  return modules;
}

}  // namespace vt::engine
