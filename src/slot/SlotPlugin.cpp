// The slot's DSP plug-in: loading it onto the mixer's chain, the stored
// control values, and unloading it.
#include <fmt/format.h>

#include <atomic>
#include <charconv>
#include <utility>
#include <vector>

#include "slot/SlotInfo.h"

namespace {

// The engine's plug-in host is initialised once per process, by the first slot
// that loads a plug-in.
std::atomic<bool> sWinampPluginsInitialized{false};

// "<call>: BASS Error <code>", with the host's reason when it gives one.
std::string PluginFailure(const char* iCall) {
  const int code = BASS_ErrorGetCode();
  const std::string reason = VT_WADSP_ErrorText();
  if (reason.empty()) return fmt::format("{}: BASS Error {}", iCall, code);
  return fmt::format("{}: BASS Error {} ({})", iCall, code, reason);
}

std::string Trim(const std::string& iText) {
  const size_t first = iText.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return iText.substr(first, iText.find_last_not_of(" \t") - first + 1);
}

// "a=1;b=2" as (name, value text) pairs, in order; items without "=" keep an empty name.
std::vector<std::pair<std::string, std::string>> SplitParameters(const std::string& iText) {
  std::vector<std::pair<std::string, std::string>> items;
  size_t start = 0;
  while (start <= iText.size()) {
    size_t end = iText.find(';', start);
    if (end == std::string::npos) end = iText.size();
    const std::string item = Trim(iText.substr(start, end - start));
    if (!item.empty()) {
      const size_t equals = item.find('=');
      if (equals == std::string::npos)
        items.emplace_back("", item);
      else
        items.emplace_back(Trim(item.substr(0, equals)), Trim(item.substr(equals + 1)));
    }
    start = end + 1;
  }
  return items;
}

// The whole text as a number, whatever the process's locale.
bool ParseValue(const std::string& iText, float& oValue) {
  const char* first = iText.data();
  const char* last = first + iText.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, oValue);
  return error == std::errc() && end == last;
}

// The symbol of the control that iName (a symbol or a port index) names, or
// iName itself when the plug-in has no such control.
std::string ControlSymbol(HDSP iPlugin, const std::string& iName) {
  const DWORD count = VT_WADSP_GetControlCount(iPlugin);
  for (DWORD k = 0; count != DWORD(-1) && k < count; ++k) {
    VT_WADSP_CONTROLINFO info{};
    if (VT_WADSP_GetControlInfo(iPlugin, k, &info) && (iName == info.symbol || iName == std::to_string(info.port)))
      return info.symbol;
  }
  return iName;
}

}  // namespace

void TSlotInfo::ReloadWinampPlugin() {
  if (fWinampPluginDSP.exchange(0)) BASS_WADSP_ChannelRemoveDSP(fWinampPluginHandle);
  if (const DWORD handle = fWinampPluginHandle.exchange(0)) BASS_WADSP_FreeDSP(handle);
  const std::string plugin = fWinampPlugin.Get();
  if (plugin.empty()) return;
  if (!sWinampPluginsInitialized.exchange(true)) BASS_WADSP_Init(nullptr);

  const HDSP handle = BASS_WADSP_Load(plugin.c_str(), 5, 5, 100, 100, nullptr);
  if (!handle) {
    DoLogMessage(PluginFailure("BASS_WADSP_Load"));
    return;
  }
  fWinampPluginHandle = handle;
  const DWORD mixer = fMixer;
  // A plug-in that does not start is still placed: it passes the audio on
  // unprocessed, and the log line tells why.
  if (!BASS_WADSP_Start(handle, 0, mixer)) DoLogMessage(PluginFailure("BASS_WADSP_Start"));
  // Before it is placed, so the first processed block has the user's values.
  ApplyWinampPluginParameters();
  const HDSP dsp = BASS_WADSP_ChannelSetDSP(handle, mixer, fWinampPluginStreamOnly ? -1500 : -500);
  fWinampPluginDSP = dsp;
  if (!dsp) DoLogMessage(PluginFailure("BASS_WADSP_ChannelSetDSP"));
}

void TSlotInfo::FreeWinampPlugin() {
  if (fWinampPluginDSP.exchange(0)) BASS_WADSP_ChannelRemoveDSP(fWinampPluginHandle);
  if (const DWORD handle = fWinampPluginHandle.exchange(0)) BASS_WADSP_FreeDSP(handle);
}

void TSlotInfo::ApplyWinampPluginParameters() {
  const DWORD handle = fWinampPluginHandle;
  // Values that do not apply are logged and left out, and stay stored: the
  // plug-in may be fixed or replaced by one that has them.
  for (const auto& [name, text] : SplitParameters(fWinampPluginParameters.Get())) {
    const std::string item = name.empty() ? text : fmt::format("{}={}", name, text);
    float value = 0.0f;
    if (name.empty() || !ParseValue(text, value))
      DoLogMessage(fmt::format("Plug-in parameter \"{}\" ignored: not a name and a number", item));
    else if (!VT_WADSP_SetControl(handle, name.c_str(), value))
      DoLogMessage(fmt::format("Plug-in parameter \"{}\" ignored: {}", item, VT_WADSP_ErrorText()));
  }
}

bool TSlotInfo::SetWinampPluginParameter(const std::string& iControl, float iValue) {
  const DWORD handle = fWinampPluginHandle;
  const std::string item = fmt::format("{}={:g}", iControl, iValue);
  if (!handle) {
    DoLogMessage(fmt::format("Plug-in parameter \"{}\" ignored: no plug-in is loaded", item));
    return false;
  }
  if (!VT_WADSP_SetControl(handle, iControl.c_str(), iValue)) {
    DoLogMessage(fmt::format("Plug-in parameter \"{}\" ignored: {}", item, VT_WADSP_ErrorText()));
    return false;
  }
  // The new value replaces every stored one for the same control, whether it
  // was stored by symbol or by port index, so the next load applies it.
  const std::string symbol = ControlSymbol(handle, iControl);
  std::vector<std::pair<std::string, std::string>> items;
  bool placed = false;
  for (auto& item : SplitParameters(fWinampPluginParameters.Get())) {
    if (item.first.empty() || ControlSymbol(handle, item.first) != symbol) {
      items.push_back(std::move(item));
    } else if (!placed) {
      items.emplace_back(symbol, fmt::format("{:g}", iValue));
      placed = true;
    }
  }
  if (!placed) items.emplace_back(symbol, fmt::format("{:g}", iValue));
  std::string joined;
  for (const auto& [name, text] : items) {
    if (!joined.empty()) joined += ';';
    joined += name.empty() ? text : name + "=" + text;
  }
  fWinampPluginParameters.Set(joined);
  return true;
}
