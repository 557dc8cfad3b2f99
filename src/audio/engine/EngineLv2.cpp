#include "audio/engine/EngineLv2.h"

#include <fmt/format.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/port-props/port-props.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <regex>
#include <unordered_map>
#include <vector>

#include "audio/engine/EngineChannel.h"

namespace vt::engine {
namespace {

// ---------------------------------------------------------------- URIDs
// One table for the whole process, so every instance agrees on the numbers.
// Plug-ins map their URIs when they are instantiated, on control threads.
class TUridTable {
public:
  LV2_URID Map(const char* iUri) {
    std::lock_guard lock(fLock);
    auto it = fIds.find(iUri);
    if (it != fIds.end()) return it->second;
    fUris.emplace_back(iUri);
    const auto id = static_cast<LV2_URID>(fUris.size());
    fIds.emplace(fUris.back(), id);
    return id;
  }
  const char* Unmap(LV2_URID iId) {
    std::lock_guard lock(fLock);
    return iId >= 1 && iId <= fUris.size() ? fUris[iId - 1].c_str() : nullptr;
  }

private:
  std::mutex fLock;
  std::unordered_map<std::string, LV2_URID> fIds;
  std::deque<std::string> fUris;  // stable addresses for Unmap
};

TUridTable& Urids() {
  static auto* sTable = new TUridTable();  // plug-ins may keep the pointers to the end
  return *sTable;
}

LV2_URID MapUri(LV2_URID_Map_Handle, const char* iUri) { return Urids().Map(iUri); }
const char* UnmapUri(LV2_URID_Unmap_Handle, LV2_URID iId) { return Urids().Unmap(iId); }

LV2_URID_Map sMap{nullptr, &MapUri};
LV2_URID_Unmap sUnmap{nullptr, &UnmapUri};

// ---------------------------------------------------------------- the world
// Loading every installed bundle takes a while: once, at the first LV2 plug-in.
// lilv is not thread-safe, so every use of the world is under its lock.
struct TWorld {
  std::mutex fLock;
  LilvWorld* fWorld = nullptr;
  LilvNode *fAudioPort, *fControlPort, *fAtomPort, *fInputPort, *fOutputPort, *fOptional;
  LilvNode *fInteger, *fToggled, *fSampleRate, *fLogarithmic;
};

TWorld& World() {
  static auto* sWorld = [] {
    auto* w = new TWorld();  // lives as long as the process: modules point into it
    w->fWorld = lilv_world_new();
    lilv_world_load_all(w->fWorld);
    w->fAudioPort = lilv_new_uri(w->fWorld, LV2_CORE__AudioPort);
    w->fControlPort = lilv_new_uri(w->fWorld, LV2_CORE__ControlPort);
    w->fAtomPort = lilv_new_uri(w->fWorld, LV2_ATOM__AtomPort);
    w->fInputPort = lilv_new_uri(w->fWorld, LV2_CORE__InputPort);
    w->fOutputPort = lilv_new_uri(w->fWorld, LV2_CORE__OutputPort);
    w->fOptional = lilv_new_uri(w->fWorld, LV2_CORE__connectionOptional);
    w->fInteger = lilv_new_uri(w->fWorld, LV2_CORE__integer);
    w->fToggled = lilv_new_uri(w->fWorld, LV2_CORE__toggled);
    w->fSampleRate = lilv_new_uri(w->fWorld, LV2_CORE__sampleRate);
    w->fLogarithmic = lilv_new_uri(w->fWorld, LV2_PORT_PROPS__logarithmic);
    return w;
  }();
  return *sWorld;
}

// Features the host gives every instance; a plug-in that requires any other is refused.
const char* const kProvidedFeatures[] = {LV2_URID__map, LV2_URID__unmap, LV2_OPTIONS__options,
                                         LV2_BUF_SIZE__boundedBlockLength, LV2_CORE__isLive,
                                         LV2_CORE_PREFIX "hardRTCapable"};

// Options every instance gets; a plug-in that requires any other is refused.
const char* const kProvidedOptions[] = {LV2_BUF_SIZE__minBlockLength, LV2_BUF_SIZE__maxBlockLength,
                                        LV2_BUF_SIZE__nominalBlockLength, LV2_BUF_SIZE__sequenceSize,
                                        LV2_PARAMETERS__sampleRate};

constexpr size_t kAtomBufferBytes = 8192;
// Blocks a stereo chain hands over are split into parts of this size (the host).
constexpr int32_t kNominalBlock = 1024;

class TLv2Instance : public TPluginInstance {
public:
  TLv2Instance(const TPluginLayout& iLayout, double iRate) : TPluginInstance(iLayout) {
    fRate = static_cast<float>(iRate);
    const LV2_URID intType = Urids().Map(LV2_ATOM__Int), floatType = Urids().Map(LV2_ATOM__Float);
    fOptions[0] = {LV2_OPTIONS_INSTANCE, 0, Urids().Map(LV2_BUF_SIZE__minBlockLength), sizeof(int32_t), intType, &fMinBlock};
    fOptions[1] = {LV2_OPTIONS_INSTANCE, 0, Urids().Map(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), intType, &fMaxBlock};
    fOptions[2] = {LV2_OPTIONS_INSTANCE, 0, Urids().Map(LV2_BUF_SIZE__nominalBlockLength), sizeof(int32_t), intType, &fNominalBlock};
    fOptions[3] = {LV2_OPTIONS_INSTANCE, 0, Urids().Map(LV2_BUF_SIZE__sequenceSize), sizeof(int32_t), intType, &fSequenceSize};
    fOptions[4] = {LV2_OPTIONS_INSTANCE, 0, Urids().Map(LV2_PARAMETERS__sampleRate), sizeof(float), floatType, &fRate};
    fOptions[5] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    fFeatureData[0] = {LV2_URID__map, &sMap};
    fFeatureData[1] = {LV2_URID__unmap, &sUnmap};
    fFeatureData[2] = {LV2_OPTIONS__options, fOptions};
    fFeatureData[3] = {LV2_BUF_SIZE__boundedBlockLength, nullptr};
    fFeatureData[4] = {LV2_CORE__isLive, nullptr};
    for (int i = 0; i < 5; ++i) fFeatures[i] = &fFeatureData[i];
    fFeatures[5] = nullptr;
    fSequenceType = Urids().Map(LV2_ATOM__Sequence);
    fChunkType = Urids().Map(LV2_ATOM__Chunk);
    for (size_t i = 0; i < iLayout.fAtomIn.size() + iLayout.fAtomOut.size(); ++i)
      fAtoms.emplace_back(new uint64_t[kAtomBufferBytes / sizeof(uint64_t)]());  // 8-byte aligned
  }

  ~TLv2Instance() override {
    if (!fInstance) return;
    std::lock_guard lock(World().fLock);
    if (fActive) lilv_instance_deactivate(fInstance);
    lilv_instance_free(fInstance);
  }

  // Under the world's lock.
  void Create(const LilvPlugin* iPlugin, const std::string& iName) {
    fInstance = lilv_plugin_instantiate(iPlugin, fRate, fFeatures);
    if (!fInstance) throw TPluginError(BASS_ERROR_CREATE, fmt::format("{} refused to start at {} Hz", iName, fRate));
    for (size_t i = 0; i < fLayout.fAudioIn.size(); ++i) lilv_instance_connect_port(fInstance, fLayout.fAudioIn[i], AudioIn(i));
    for (size_t i = 0; i < fLayout.fAudioOut.size(); ++i) lilv_instance_connect_port(fInstance, fLayout.fAudioOut[i], AudioOut(i));
    for (DWORD port : fLayout.fControlIn) lilv_instance_connect_port(fInstance, port, Port(port));
    for (DWORD port : fLayout.fControlOut) lilv_instance_connect_port(fInstance, port, Port(port));
    for (size_t i = 0; i < fLayout.fAtomIn.size(); ++i) lilv_instance_connect_port(fInstance, fLayout.fAtomIn[i], fAtoms[i].get());
    for (size_t i = 0; i < fLayout.fAtomOut.size(); ++i)
      lilv_instance_connect_port(fInstance, fLayout.fAtomOut[i], fAtoms[fLayout.fAtomIn.size() + i].get());
    for (DWORD port : fLayout.fUnconnected) lilv_instance_connect_port(fInstance, port, nullptr);
    ResetAtoms();
    lilv_instance_activate(fInstance);
    fActive = true;
  }

  void Run(DWORD iFrames) noexcept override {
    ResetAtoms();
    lilv_instance_run(fInstance, iFrames);
  }

private:
  // Inputs carry an empty event sequence, outputs offer their whole capacity.
  void ResetAtoms() noexcept {
    for (size_t i = 0; i < fAtoms.size(); ++i) {
      auto* atom = reinterpret_cast<LV2_Atom*>(fAtoms[i].get());
      if (i < fLayout.fAtomIn.size()) {
        atom->size = sizeof(LV2_Atom_Sequence_Body);
        atom->type = fSequenceType;
        auto* body = reinterpret_cast<LV2_Atom_Sequence_Body*>(atom + 1);
        body->unit = 0;
        body->pad = 0;
      } else {
        atom->size = kAtomBufferBytes - sizeof(LV2_Atom);
        atom->type = fChunkType;
      }
    }
  }

  LilvInstance* fInstance = nullptr;
  bool fActive = false;
  int32_t fMinBlock = 1;
  int32_t fMaxBlock = static_cast<int32_t>(kBlockFrames);
  int32_t fNominalBlock = kNominalBlock;
  int32_t fSequenceSize = static_cast<int32_t>(kAtomBufferBytes - sizeof(LV2_Atom));
  float fRate = 0.0f;
  LV2_Options_Option fOptions[6];
  LV2_Feature fFeatureData[5];
  const LV2_Feature* fFeatures[6];
  LV2_URID fSequenceType = 0, fChunkType = 0;
  std::vector<std::unique_ptr<uint64_t[]>> fAtoms;  // inputs, then outputs
};

class TLv2Module : public TPluginModule {
public:
  TLv2Module(const LilvPlugin* iPlugin, std::string iName, TPluginLayout iLayout, std::vector<TControlPort> iControls,
             std::vector<bool> iRateRelative)
      : fPlugin(iPlugin), fControls(std::move(iControls)), fRateRelative(std::move(iRateRelative)) {
    fName = std::move(iName);
    fLayout = std::move(iLayout);
  }

  std::vector<TControlPort> Controls(double iRate) const override {
    std::vector<TControlPort> controls = fControls;
    for (size_t i = 0; i < controls.size(); ++i)
      if (fRateRelative[i]) {
        const auto rate = static_cast<float>(iRate);
        controls[i].fMin *= rate;
        controls[i].fMax *= rate;
        controls[i].fDefault *= rate;
      }
    return controls;
  }

  std::unique_ptr<TPluginInstance> Instantiate(double iRate) const override {
    auto instance = std::make_unique<TLv2Instance>(fLayout, iRate);
    for (const TControlPort& control : Controls(iRate)) *instance->Port(control.fPort) = control.fDefault;
    std::lock_guard lock(World().fLock);
    instance->Create(fPlugin, fName);
    return instance;
  }

private:
  const LilvPlugin* fPlugin;  // owned by the world, which lives to the end
  std::vector<TControlPort> fControls;  // at a rate of 1 for rate-relative ports
  std::vector<bool> fRateRelative;
};

std::string NodeText(LilvNode* iNode) {
  std::string text = iNode ? lilv_node_as_string(iNode) : "";
  lilv_node_free(iNode);
  return text;
}

}  // namespace

bool IsLv2Uri(const std::string& iName) {
  static const std::regex scheme("^[A-Za-z][A-Za-z0-9+.-]+:.*");
  return std::regex_match(iName, scheme);
}

std::shared_ptr<const TPluginModule> LoadLv2Module(const std::string& iUri) {
  TWorld& world = World();
  std::lock_guard lock(world.fLock);
  LilvNode* uri = lilv_new_uri(world.fWorld, iUri.c_str());
  const LilvPlugin* plugin = uri ? lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world.fWorld), uri) : nullptr;
  lilv_node_free(uri);
  if (!plugin) throw TPluginError(BASS_ERROR_FILEOPEN, fmt::format("no LV2 plug-in {} is installed", iUri));
  const std::string name = NodeText(lilv_plugin_get_name(plugin));

  if (LilvNodes* required = lilv_plugin_get_required_features(plugin)) {
    std::string missing;
    LILV_FOREACH(nodes, i, required) {
      const char* feature = lilv_node_as_uri(lilv_nodes_get(required, i));
      bool provided = false;
      for (const char* p : kProvidedFeatures) provided = provided || std::strcmp(p, feature) == 0;
      if (!provided && missing.empty()) missing = feature;
    }
    lilv_nodes_free(required);
    if (!missing.empty())
      throw TPluginError(BASS_ERROR_NOTAVAIL,
                         fmt::format("{} ({}) requires the LV2 feature {}, which this host does not provide", name, iUri, missing));
  }

  {
    LilvNode* requiredOption = lilv_new_uri(world.fWorld, LV2_OPTIONS__requiredOption);
    LilvNodes* options = lilv_world_find_nodes(world.fWorld, lilv_plugin_get_uri(plugin), requiredOption, nullptr);
    lilv_node_free(requiredOption);
    std::string missing;
    LILV_FOREACH(nodes, i, options) {
      const LilvNode* node = lilv_nodes_get(options, i);
      const char* option = lilv_node_is_uri(node) ? lilv_node_as_uri(node) : lilv_node_as_string(node);
      bool provided = false;
      for (const char* p : kProvidedOptions) provided = provided || std::strcmp(p, option) == 0;
      if (!provided && missing.empty()) missing = option;
    }
    lilv_nodes_free(options);
    if (!missing.empty())
      throw TPluginError(BASS_ERROR_NOTAVAIL,
                         fmt::format("{} ({}) requires the LV2 option {}, which this host does not provide", name, iUri, missing));
  }

  TPluginLayout layout;
  layout.fPortCount = lilv_plugin_get_num_ports(plugin);
  {
    LilvNode* broken = lilv_new_uri(world.fWorld, LV2_CORE__inPlaceBroken);
    layout.fInPlace = !lilv_plugin_has_feature(plugin, broken);
    lilv_node_free(broken);
  }
  std::vector<float> mins(layout.fPortCount), maxs(layout.fPortCount), defaults(layout.fPortCount);
  lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), defaults.data());
  std::vector<TControlPort> controls;
  std::vector<bool> rateRelative;
  for (DWORD p = 0; p < layout.fPortCount; ++p) {
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
    const bool input = lilv_port_is_a(plugin, port, world.fInputPort);
    const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
    if (lilv_port_is_a(plugin, port, world.fAudioPort)) {
      (input ? layout.fAudioIn : layout.fAudioOut).push_back(p);
    } else if (lilv_port_is_a(plugin, port, world.fControlPort)) {
      (input ? layout.fControlIn : layout.fControlOut).push_back(p);
      if (!input) continue;
      TControlPort control;
      control.fSymbol = symbol;
      control.fName = NodeText(lilv_port_get_name(plugin, port));
      control.fPort = p;
      control.fHasMin = !std::isnan(mins[p]);
      control.fHasMax = !std::isnan(maxs[p]);
      control.fMin = control.fHasMin ? mins[p] : 0.0f;
      control.fMax = control.fHasMax ? maxs[p] : 0.0f;
      float value = std::isnan(defaults[p]) ? (control.fHasMin ? control.fMin : 0.0f) : defaults[p];
      if (control.fHasMin && value < control.fMin) value = control.fMin;
      if (control.fHasMax && value > control.fMax) value = control.fMax;
      control.fDefault = value;
      control.fInteger = lilv_port_has_property(plugin, port, world.fInteger);
      control.fToggled = lilv_port_has_property(plugin, port, world.fToggled);
      control.fLogarithmic = lilv_port_has_property(plugin, port, world.fLogarithmic);
      rateRelative.push_back(lilv_port_has_property(plugin, port, world.fSampleRate));
      controls.push_back(std::move(control));
    } else if (lilv_port_is_a(plugin, port, world.fAtomPort)) {
      (input ? layout.fAtomIn : layout.fAtomOut).push_back(p);
    } else if (lilv_port_has_property(plugin, port, world.fOptional)) {
      layout.fUnconnected.push_back(p);
    } else {
      throw TPluginError(BASS_ERROR_FORMAT,
                         fmt::format("{} ({}) has the port \"{}\" of a kind this host cannot feed", name, iUri, symbol));
    }
  }
  const std::string unusable = layout.UsableError();
  if (!unusable.empty()) throw TPluginError(BASS_ERROR_FORMAT, fmt::format("{} ({}) has {}", name, iUri, unusable));
  return std::make_shared<TLv2Module>(plugin, name, std::move(layout), std::move(controls), std::move(rateRelative));
}

}  // namespace vt::engine
