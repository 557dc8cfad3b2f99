#include "web/SlotAPI.h"

#include <httplib.h>

#include <climits>
#include <regex>
#include <stdexcept>

#include "support/PersistentStorage.h"
#include "web/ArchiveAPI.h"

namespace {
const char* StreamingStatusText(TWebStreamingStatus iStatus) {
  switch (iStatus) {
    case wssConnecting: return "Connecting";
    case wssConnected: return "Connected";
    case wssError: return "Error";
    default: return "Disabled";
  }
}

std::string SourceText(const TWebSlotSnapshot& iSlot, const char* iNoDevice) {
  switch (iSlot.RecordSource) {
    case wrsSoundcard: return iSlot.HasInputDevice ? iSlot.InputDeviceName : iNoDevice;
    case wrsStream: return iSlot.StreamURL;
    default: return std::string();
  }
}
}  // namespace

uint64_t ElapsedSeconds(uint64_t iNow, uint64_t iThen) { return (iNow - iThen) / 1000; }

std::string SlotListJSON(const IWebHost& iHost) {
  auto list = NewPersistentArray();
  const int count = iHost.SlotCount();
  for (int i = 0; i < count; ++i) {
    const TWebSlotSnapshot slot = iHost.Slot(i);
    auto item = list->AddObject();
    item->SetNumber("ID", i)
        ->SetString("Name", slot.Name)
        ->SetString("Description", slot.Description)
        ->SetString("Source", SourceText(slot, "Err"))
        ->SetBoolean("Recording", slot.Recording)
        ->SetNumber("Silence", static_cast<double>(ElapsedSeconds(slot.NowTickCount, slot.LastOverSilenceTickCount)))
        ->SetNumber("LastMetadata", static_cast<double>(ElapsedSeconds(slot.NowTickCount, slot.LastMetadataTickCount)))
        ->SetString("CurrentTitle", slot.CurrentStreamTitle);
    auto streaming = item->CreateObject("Streaming");
    streaming->SetBoolean("Enabled", slot.StreamingEnabled);
    if (slot.StreamingEnabled) {
      streaming->SetString("Status", StreamingStatusText(slot.StreamingStatus));
      // What the status means: the server's address, or why it failed.
      if (!slot.StreamingMessage.empty()) streaming->SetString("Message", slot.StreamingMessage);
      if (slot.StreamingStatus == wssConnected && slot.StreamingActiveSince >= 0)
        streaming->SetNumber("ActiveSeconds", static_cast<double>(ElapsedSeconds(
                                                  slot.NowTickCount, static_cast<uint64_t>(slot.StreamingActiveSince))));
    }
    item->SetString("Error", slot.ErrorMessage);  // what the slot cannot do now, for monitoring
  }
  return list->AsJSon(true, true);
}

bool HandleSlotRoutes(TWebContext& iContext, const std::string& iRequestPath) {
  if (iRequestPath == "/ws/slots") {
    SendJSONReply(iContext, SlotListJSON(iContext.Host));
    return true;
  }
  std::string path = iRequestPath;
  if (path.compare(0, 9, "/ws/slot/") == 0) path = "/ws/slots/" + path.substr(9);

  enum TRoute { rName, rSource, rRecording, rSilence, rLastMetadata, rCurrentTitle };
  static const std::pair<std::regex, TRoute> kRoutes[] = {
      {std::regex("^/ws/slots/(\\d+)/name$"), rName},
      {std::regex("^/ws/slots/(\\d+)/source$"), rSource},
      {std::regex("^/ws/slots/(\\d+)/recording$"), rRecording},
      {std::regex("^/ws/slots/(\\d+)/silence$"), rSilence},
      {std::regex("^/ws/slots/(\\d+)/lastmetadata$"), rLastMetadata},
      {std::regex("^/ws/slots/(\\d+)/currenttitle$"), rCurrentTitle},
  };
  std::smatch m;
  for (const auto& [pattern, route] : kRoutes) {
    if (!std::regex_match(path, m, pattern)) continue;
    const int index = SlotIndexFromText(iContext.Host, m[1].str());
    const TWebSlotSnapshot slot = iContext.Host.Slot(index);
    switch (route) {
      case rName: SendTextReply(iContext, slot.Name); break;
      case rSource: SendTextReply(iContext, SourceText(slot, "Error")); break;
      case rRecording: SendTextReply(iContext, slot.Recording ? "1" : "0"); break;
      case rSilence:
        SendTextReply(iContext, std::to_string(ElapsedSeconds(slot.NowTickCount, slot.LastOverSilenceTickCount)));
        break;
      case rLastMetadata:
        SendTextReply(iContext, std::to_string(ElapsedSeconds(slot.NowTickCount, slot.LastMetadataTickCount)));
        break;
      case rCurrentTitle: SendTextReply(iContext, slot.CurrentStreamTitle); break;
    }
    return true;
  }
  return HandleArchiveRoutes(iContext, path);
}
