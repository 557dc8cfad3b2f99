#include "audio/engine/EnginePluginModule.h"

#include <fmt/format.h>

#include "audio/engine/EngineChannel.h"

namespace vt::engine {

std::string TPluginLayout::UsableError() const {
  const size_t in = fAudioIn.size(), out = fAudioOut.size();
  if ((in == 1 && out == 1) || (in == 2 && out == 2)) return "";
  return fmt::format("{} audio input{} and {} output{}; only plug-ins with one input and one output, or two "
                     "inputs and two outputs, can run",
                     in, in == 1 ? "" : "s", out, out == 1 ? "" : "s");
}

TPluginInstance::TPluginInstance(const TPluginLayout& iLayout)
    : fLayout(iLayout), fAudioInCount(iLayout.fAudioIn.size()), fControl(iLayout.fPortCount, 0.0f) {
  // Sized for the largest block the chain hands over, so running never
  // allocates. Run in place where the plug-in allows, the host's copies and
  // the plug-in touch half as much memory.
  const size_t ins = iLayout.fAudioIn.size(), outs = iLayout.fAudioOut.size();
  const bool shared = iLayout.fInPlace && ins == outs;
  for (size_t i = 0; i < ins + (shared ? 0 : outs); ++i) {
    fBlocks.emplace_back(new float[kBlockFrames]());
    fAudio.push_back(fBlocks.back().get());
  }
  for (size_t i = 0; shared && i < outs; ++i) fAudio.push_back(fAudio[i]);
}

std::string SymbolFromName(const std::string& iName) {
  std::string symbol;
  bool gap = false;
  for (unsigned char c : iName) {
    if (std::isalnum(c)) {
      if (gap && !symbol.empty()) symbol += '_';
      symbol += static_cast<char>(std::tolower(c));
      gap = false;
    } else {
      gap = true;
    }
  }
  return symbol;
}

}  // namespace vt::engine
