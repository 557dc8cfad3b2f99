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

namespace {
void AppendMember(std::string& ioText, bool& ioFirst, const char* iIndent, const char* iName) {
  ioText += ioFirst ? "{\r\n" : ",\r\n";
  ioFirst = false;
  ioText += iIndent;
  ioText += '"';
  ioText += iName;
  ioText += "\": ";
}
void AppendText(std::string& ioText, const std::string& iValue) {
  ioText += '"';
  ioText += JSONEscape(iValue, true);
  ioText += '"';
}
}  // namespace

// Written straight into the text in the form that AsJSon(true, true) gives
// the list as a document (members in name order), without building the
// document: status pages poll it several times a second, and building was
// most of the reply's cost.
std::string SlotListJSON(const IWebHost& iHost) {
  const int count = iHost.SlotCount();
  if (count <= 0) return "[]";
  std::string json;
  json.reserve(512 * static_cast<size_t>(count));
  json += "[\r\n ";
  for (int i = 0; i < count; ++i) {
    const TWebSlotSnapshot slot = iHost.Slot(i);
    if (i > 0) json += ',';
    constexpr const char* kIn = "  ";
    bool first = true;
    AppendMember(json, first, kIn, "CurrentTitle");
    AppendText(json, slot.CurrentStreamTitle);
    AppendMember(json, first, kIn, "Description");
    AppendText(json, slot.Description);
    AppendMember(json, first, kIn, "Error");
    AppendText(json, slot.ErrorMessage);
    AppendMember(json, first, kIn, "ID");
    json += JSONNumberText(i);
    AppendMember(json, first, kIn, "LastMetadata");
    json += JSONNumberText(static_cast<double>(ElapsedSeconds(slot.NowTickCount, slot.LastMetadataTickCount)));
    AppendMember(json, first, kIn, "Name");
    AppendText(json, slot.Name);
    AppendMember(json, first, kIn, "Recording");
    json += slot.Recording ? "true" : "false";
    AppendMember(json, first, kIn, "Silence");
    json += JSONNumberText(static_cast<double>(ElapsedSeconds(slot.NowTickCount, slot.LastOverSilenceTickCount)));
    AppendMember(json, first, kIn, "Source");
    AppendText(json, SourceText(slot, "Err"));
    AppendMember(json, first, kIn, "Streaming");
    {
      constexpr const char* kInner = "   ";
      bool innerFirst = true;
      if (slot.StreamingEnabled && slot.StreamingStatus == wssConnected && slot.StreamingActiveSince >= 0) {
        AppendMember(json, innerFirst, kInner, "ActiveSeconds");
        json += JSONNumberText(static_cast<double>(
            ElapsedSeconds(slot.NowTickCount, static_cast<uint64_t>(slot.StreamingActiveSince))));
      }
      AppendMember(json, innerFirst, kInner, "Enabled");
      json += slot.StreamingEnabled ? "true" : "false";
      if (slot.StreamingEnabled && !slot.StreamingMessage.empty()) {
        AppendMember(json, innerFirst, kInner, "Message");
        AppendText(json, slot.StreamingMessage);
      }
      if (slot.StreamingEnabled) {
        AppendMember(json, innerFirst, kInner, "Status");
        AppendText(json, StreamingStatusText(slot.StreamingStatus));
      }
      json += "\r\n  }";
    }
    json += "\r\n }";
  }
  json += ']';
  return json;
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
