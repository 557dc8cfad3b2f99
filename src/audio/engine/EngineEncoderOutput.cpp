#include "audio/engine/EngineEncoderOutput.h"

namespace vt::engine {

bool TEncoderOutputs::Add(TKind iKind, std::shared_ptr<TEncoderOutput> iOutput) {
  std::lock_guard lock(fLock);
  if (fClosed) return false;
  for (const auto& [kind, output] : fOutputs)
    if (kind == iKind) return false;
  if (!fOggHeaders.empty()) iOutput->Deliver(fOggHeaders.data(), fOggHeaders.size());
  fOutputs.emplace_back(iKind, std::move(iOutput));
  return true;
}

bool TEncoderOutputs::Has(TKind iKind) const {
  std::lock_guard lock(fLock);
  for (const auto& [kind, output] : fOutputs)
    if (kind == iKind) return true;
  return false;
}

void TEncoderOutputs::Deliver(const void* iData, size_t iLength) {
  // Held while delivering: each Deliver only copies into a queue.
  std::lock_guard lock(fLock);
  const auto* data = static_cast<const char*>(iData);
  if (fStream == stUnknown && iLength > 0) fStream = IsOggStart(data, iLength) ? stOgg : stOther;
  if (fStream != stOgg) {
    for (const auto& [kind, output] : fOutputs) output->Deliver(iData, iLength);
    return;
  }
  fPages.Feed(data, iLength, [&](const char* iPage, size_t iPageLength, uint64_t iGranule) {
    if (!fOggHeadersDone && iGranule == 0 && fOggHeaders.size() + iPageLength <= kMaxOggHeaders)
      fOggHeaders.append(iPage, iPageLength);
    else
      fOggHeadersDone = true;
    for (const auto& [kind, output] : fOutputs) output->Deliver(iPage, iPageLength);
  });
}

bool TEncoderOutputs::SetTitle(const std::string& iTitle, const std::string& iUrl) {
  std::lock_guard lock(fLock);
  for (const auto& [kind, output] : fOutputs) output->SetTitle(iTitle, iUrl);
  return !fOutputs.empty();
}

bool TEncoderOutputs::Kick(const std::string& iAddress) {
  std::lock_guard lock(fLock);
  bool kicked = false;
  for (const auto& [kind, output] : fOutputs) kicked = output->Kick(iAddress) || kicked;
  return kicked;
}

void TEncoderOutputs::Close() {
  std::vector<std::pair<TKind, std::shared_ptr<TEncoderOutput>>> outputs;
  {
    std::lock_guard lock(fLock);
    fClosed = true;
    outputs.swap(fOutputs);
  }
  for (const auto& [kind, output] : outputs) output->Close();
}

}  // namespace vt::engine
