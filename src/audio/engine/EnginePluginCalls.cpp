// The BASS_WADSP_* calls over the LADSPA and LV2 host, and this engine's
// extensions for control values, error reasons and the configuration hook.
#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineChannel.h"
#include "audio/engine/EngineLadspa.h"
#include "audio/engine/EngineLv2.h"
#include "audio/engine/EnginePluginHost.h"

using namespace vt::engine;

namespace {

std::atomic<bool> sInitialized{false};
thread_local std::string tErrorText;

struct TLoaded {
  std::mutex fLock;
  std::set<DWORD> fHandles;  // for BASS_WADSP_Free
  VT_WADSP_CONFIGPROC* fConfigProc = nullptr;
  void* fConfigUser = nullptr;
};

TLoaded& Loaded() {
  static auto* sLoaded = new TLoaded();
  return *sLoaded;
}

bool FailWith(int iCode, const std::string& iReason) {
  tErrorText = iReason;
  return Fail(iCode);
}

template <class T>
T Ok(T iValue) {
  tErrorText.clear();
  SetError(BASS_OK);
  return iValue;
}

std::shared_ptr<TWadspPlugin> LookupPlugin(HDSP iPlugin) {
  auto plugin = Lookup<TWadspPlugin>(iPlugin);
  if (!plugin) FailWith(BASS_ERROR_HANDLE, "no such plug-in");
  return plugin;
}

}  // namespace

BOOL BASS_WADSP_Init(HWND) {
  sInitialized = true;
  return Ok<BOOL>(TRUE);
}

BOOL BASS_WADSP_Free() {
  std::set<DWORD> handles;
  {
    std::lock_guard lock(Loaded().fLock);
    handles.swap(Loaded().fHandles);
  }
  for (DWORD handle : handles) UnregisterObject(handle);
  sInitialized = false;
  return Ok<BOOL>(TRUE);
}

HDSP BASS_WADSP_Load(const char* dspfile, int, int, int, int, WINAMPWINPROC*) {
  if (!sInitialized) return FailWith(BASS_ERROR_INIT, "the plug-in host is not initialised"), 0;
  const std::string name = dspfile ? dspfile : "";
  if (name.empty()) return FailWith(BASS_ERROR_FILEOPEN, "no plug-in named"), 0;
  std::vector<std::shared_ptr<const TPluginModule>> modules;
  try {
    if (IsLv2Uri(name)) {
      modules.push_back(LoadLv2Module(name));
    } else {
      // "path#label"; a "#" inside a folder name is part of the path.
      std::string path = name, label;
      const size_t hash = name.rfind('#');
      if (hash != std::string::npos && name.find('/', hash) == std::string::npos) {
        path = name.substr(0, hash);
        label = name.substr(hash + 1);
      }
      modules = LoadLadspaModules(path, label);
    }
  } catch (const TPluginError& e) {
    return FailWith(e.fCode, e.what()), 0;
  } catch (const std::exception& e) {
    return FailWith(BASS_ERROR_UNKNOWN, e.what()), 0;
  }
  const DWORD handle = RegisterObject(std::make_shared<TWadspPlugin>(name, std::move(modules)));
  std::lock_guard lock(Loaded().fLock);
  Loaded().fHandles.insert(handle);
  return Ok(handle);
}

BOOL BASS_WADSP_FreeDSP(HDSP plugin) {
  if (!LookupPlugin(plugin)) return FALSE;
  {
    std::lock_guard lock(Loaded().fLock);
    Loaded().fHandles.erase(plugin);
  }
  if (!UnregisterObject(plugin)) return FailWith(BASS_ERROR_HANDLE, "no such plug-in");
  return Ok<BOOL>(TRUE);
}

BOOL BASS_WADSP_Config(HDSP plugin) {
  if (!LookupPlugin(plugin)) return FALSE;
  VT_WADSP_CONFIGPROC* proc;
  void* user;
  {
    std::lock_guard lock(Loaded().fLock);
    proc = Loaded().fConfigProc;
    user = Loaded().fConfigUser;
  }
  if (!proc) return FailWith(BASS_ERROR_NOTAVAIL, "no configuration dialog is available");
  if (!proc(plugin, user)) return FailWith(BASS_ERROR_NOTAVAIL, "the configuration dialog could not be opened");
  return Ok<BOOL>(TRUE);
}

BOOL BASS_WADSP_Start(HDSP plugin, DWORD module, DWORD hchan) {
  auto p = LookupPlugin(plugin);
  if (!p) return FALSE;
  auto channel = LookupChannel(hchan);
  if (!channel) return FailWith(BASS_ERROR_HANDLE, "no such channel");
  try {
    p->Start(module, channel);
  } catch (const TPluginError& e) {
    return FailWith(e.fCode, e.what());
  } catch (const std::exception& e) {
    return FailWith(BASS_ERROR_UNKNOWN, e.what());
  }
  return Ok<BOOL>(TRUE);
}

BOOL BASS_WADSP_Stop(HDSP plugin) {
  auto p = LookupPlugin(plugin);
  if (!p) return FALSE;
  p->Stop();
  return Ok<BOOL>(TRUE);
}

HDSP BASS_WADSP_ChannelSetDSP(HDSP plugin, DWORD hchan, int priority) {
  auto p = LookupPlugin(plugin);
  if (!p) return 0;
  auto channel = LookupChannel(hchan);
  if (!channel) return FailWith(BASS_ERROR_HANDLE, "no such channel"), 0;
  try {
    return Ok(p->Place(channel, priority));
  } catch (const TPluginError& e) {
    return FailWith(e.fCode, e.what()), 0;
  }
}

BOOL BASS_WADSP_ChannelRemoveDSP(HDSP plugin) {
  auto p = LookupPlugin(plugin);
  if (!p) return FALSE;
  if (!p->Remove()) return FailWith(BASS_ERROR_HANDLE, "the plug-in is not on a channel");
  return Ok<BOOL>(TRUE);
}

const char* BASS_WADSP_GetName(HDSP plugin) {
  auto p = LookupPlugin(plugin);
  if (!p) return nullptr;
  return Ok(p->Modules()[0]->Name().c_str());
}

unsigned BASS_WADSP_GetModuleCount(HDSP plugin) {
  auto p = LookupPlugin(plugin);
  if (!p) return 0;
  return Ok(static_cast<unsigned>(p->Modules().size()));
}

const char* BASS_WADSP_GetModuleName(HDSP plugin, unsigned module) {
  auto p = LookupPlugin(plugin);
  if (!p) return nullptr;
  if (module >= p->Modules().size()) return FailWith(BASS_ERROR_ILLPARAM, "no such module"), nullptr;
  return Ok(p->Modules()[module]->Name().c_str());
}

DWORD VT_WADSP_GetControlCount(HDSP plugin) {
  auto p = LookupPlugin(plugin);
  if (!p) return DWORD(-1);
  return Ok(p->ControlCount());
}

BOOL VT_WADSP_GetControlInfo(HDSP plugin, DWORD control, VT_WADSP_CONTROLINFO* info) {
  auto p = LookupPlugin(plugin);
  if (!p) return FALSE;
  if (!info || !p->ControlInfo(control, *info)) return FailWith(BASS_ERROR_ILLPARAM, "no such control");
  return Ok<BOOL>(TRUE);
}

BOOL VT_WADSP_SetControl(HDSP plugin, const char* control, float value) {
  auto p = LookupPlugin(plugin);
  if (!p) return FALSE;
  try {
    p->SetControl(control ? control : "", value);
  } catch (const TPluginError& e) {
    return FailWith(e.fCode, e.what());
  }
  return Ok<BOOL>(TRUE);
}

BOOL VT_WADSP_GetControl(HDSP plugin, const char* control, float* value) {
  auto p = LookupPlugin(plugin);
  if (!p) return FALSE;
  if (!value) return FailWith(BASS_ERROR_ILLPARAM, "no place for the value");
  try {
    *value = p->GetControl(control ? control : "");
  } catch (const TPluginError& e) {
    return FailWith(e.fCode, e.what());
  }
  return Ok<BOOL>(TRUE);
}

const char* VT_WADSP_ErrorText() { return tErrorText.c_str(); }

void VT_WADSP_SetConfigProc(VT_WADSP_CONFIGPROC* proc, void* user) {
  std::lock_guard lock(Loaded().fLock);
  Loaded().fConfigProc = proc;
  Loaded().fConfigUser = user;
}
