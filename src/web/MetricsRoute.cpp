#include "web/MetricsRoute.h"

#include <fmt/format.h>
#include <httplib.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "web/WebReplyCounts.h"

namespace {

// Taken when the program is loaded, which is as near to its start as the
// web server can tell.
const std::chrono::steady_clock::time_point kProcessStart = std::chrono::steady_clock::now();

// Peaks below this are shown as this: silence has no finite level in dBFS,
// and a finite floor keeps graphs and alert rules simple.
constexpr double kFloorDBFS = -120.0;

std::string LabelValue(const std::string& iText) {
  std::string out;
  for (char c : iText) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string Number(double iValue) {
  if (std::isnan(iValue)) return "NaN";
  if (std::isinf(iValue)) return iValue > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", iValue);
}

double PeakDBFS(float iLinear) {
  if (!(iLinear > 0)) return kFloorDBFS;
  return std::max(kFloorDBFS, 20.0 * std::log10(static_cast<double>(iLinear)));
}

const char* StreamingStateName(TWebStreamingStatus iStatus) {
  switch (iStatus) {
    case wssConnecting: return "connecting";
    case wssConnected: return "connected";
    case wssError: return "error";
    default: return "disabled";
  }
}

class TMetricsWriter {
public:
  explicit TMetricsWriter(const std::vector<TWebSlotSnapshot>& iSlots) : fSlots(iSlots) {}
  void Family(const char* iName, const char* iType, const char* iHelp) {
    fText += fmt::format("# HELP {} {}\n# TYPE {} {}\n", iName, iHelp, iName, iType);
  }
  void Sample(const char* iName, const std::string& iLabels, double iValue) {
    fText += iLabels.empty() ? fmt::format("{} {}\n", iName, Number(iValue))
                             : fmt::format("{}{{{}}} {}\n", iName, iLabels, Number(iValue));
  }
  // One sample per slot, with its labels and any further ones.
  void PerSlot(const char* iName, const char* iType, const char* iHelp,
               const std::function<double(const TWebSlotSnapshot&)>& iValue) {
    Family(iName, iType, iHelp);
    for (const TWebSlotSnapshot& s : fSlots) Sample(iName, SlotLabels(s), iValue(s));
  }
  static std::string SlotLabels(const TWebSlotSnapshot& iSlot) {
    return fmt::format("slot=\"{}\",name=\"{}\"", iSlot.Index, LabelValue(iSlot.Name));
  }
  std::string fText;
  const std::vector<TWebSlotSnapshot>& fSlots;
};

}  // namespace

std::string MetricsText(const IWebHost& iHost) {
  std::vector<TWebSlotSnapshot> slots;
  for (int i = 0; i < iHost.SlotCount(); ++i) {
    try {
      slots.push_back(iHost.Slot(i));
    } catch (const std::out_of_range&) {
      break;  // the slots went away meanwhile (the program is stopping)
    }
  }
  TMetricsWriter w(slots);
  w.Family("vantorel_uptime_seconds", "gauge", "Seconds since the program started.");
  w.Sample("vantorel_uptime_seconds", "",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - kProcessStart).count());
  w.Family("vantorel_web_requests_total", "counter", "Web requests answered, by status class.");
  const std::array<uint64_t, 5> replies = WebReplyCounts();
  for (size_t i = 0; i < replies.size(); ++i)
    w.Sample("vantorel_web_requests_total", fmt::format("code=\"{}xx\"", i + 1), static_cast<double>(replies[i]));

  w.PerSlot("vantorel_slot_recording", "gauge", "1 while the slot writes a file.",
            [](const TWebSlotSnapshot& s) { return s.Recording ? 1.0 : 0.0; });
  w.PerSlot("vantorel_slot_file_seconds", "gauge", "Seconds of audio in the current file.",
            [](const TWebSlotSnapshot& s) { return s.Recording ? s.RecordingSeconds : 0.0; });
  w.Family("vantorel_slot_peak_dbfs", "gauge", "Peak level of the last block per channel, in dBFS (-120 for silence).");
  for (const TWebSlotSnapshot& s : slots) {
    w.Sample("vantorel_slot_peak_dbfs", TMetricsWriter::SlotLabels(s) + ",channel=\"left\"", PeakDBFS(s.LevelLeft));
    w.Sample("vantorel_slot_peak_dbfs", TMetricsWriter::SlotLabels(s) + ",channel=\"right\"", PeakDBFS(s.LevelRight));
  }
  w.PerSlot("vantorel_slot_silence_seconds", "gauge", "Seconds since the level was last above the silence threshold.",
            [](const TWebSlotSnapshot& s) {
              return s.NowTickCount > s.LastOverSilenceTickCount
                         ? static_cast<double>(s.NowTickCount - s.LastOverSilenceTickCount) / 1000.0
                         : 0.0;
            });
  w.PerSlot("vantorel_slot_silence_alarm", "gauge", "1 while the slot's silence alarm is raised.",
            [](const TWebSlotSnapshot& s) { return s.SilenceDetected ? 1.0 : 0.0; });
  w.Family("vantorel_slot_streaming", "gauge", "The outgoing stream's state (1 for the current one).");
  for (const TWebSlotSnapshot& s : slots)
    for (TWebStreamingStatus state : {wssDisabled, wssConnecting, wssConnected, wssError})
      w.Sample("vantorel_slot_streaming",
               TMetricsWriter::SlotLabels(s) + fmt::format(",state=\"{}\"", StreamingStateName(state)),
               s.StreamingStatus == state ? 1.0 : 0.0);
  w.PerSlot("vantorel_slot_stream_listeners", "gauge", "Listeners of the slot's built-in stream server.",
            [](const TWebSlotSnapshot& s) { return static_cast<double>(s.StreamListeners); });
  w.PerSlot("vantorel_slot_encoder_queue_fill_ratio", "gauge", "How full the file encoder's queue is (0 to 1).",
            [](const TWebSlotSnapshot& s) { return s.EncoderQueueFill; });
  w.Family("vantorel_slot_dropped_samples_total", "counter",
           "Sample frames dropped: input overruns (capture) and a full file encoder queue (encoder_queue).");
  for (const TWebSlotSnapshot& s : slots) {
    w.Sample("vantorel_slot_dropped_samples_total", TMetricsWriter::SlotLabels(s) + ",stage=\"capture\"",
             static_cast<double>(s.CaptureDroppedFrames));
    w.Sample("vantorel_slot_dropped_samples_total", TMetricsWriter::SlotLabels(s) + ",stage=\"encoder_queue\"",
             static_cast<double>(s.QueueDroppedFrames));
  }
  w.PerSlot("vantorel_slot_files_written_total", "counter", "Files finished, with their length in the database.",
            [](const TWebSlotSnapshot& s) { return static_cast<double>(s.FilesWritten); });
  w.PerSlot("vantorel_slot_written_bytes_total", "counter", "Sizes of the finished files.",
            [](const TWebSlotSnapshot& s) { return static_cast<double>(s.BytesWritten); });
  w.PerSlot("vantorel_slot_database_error", "gauge", "1 when the slot's last database update failed.",
            [](const TWebSlotSnapshot& s) { return s.DatabaseFailing ? 1.0 : 0.0; });
  // Loudness gauges leave out slots without a measurable file: -Inf would
  // break averages and alert rules, a missing sample does not.
  for (auto [name, help, member] :
       {std::tuple{"vantorel_slot_loudness_momentary_lufs", "Loudness of the current file's last 400 ms (EBU R128), in LUFS.",
                   &TWebSlotSnapshot::LoudnessMomentary},
        std::tuple{"vantorel_slot_loudness_shortterm_lufs", "Loudness of the current file's last 3 s (EBU R128), in LUFS.",
                   &TWebSlotSnapshot::LoudnessShortTerm}}) {
    w.Family(name, "gauge", help);
    for (const TWebSlotSnapshot& s : slots)
      if (std::isfinite(s.*member)) w.Sample(name, TMetricsWriter::SlotLabels(s), s.*member);
  }
  return std::move(w.fText);
}

bool HandleMetricsRoute(TWebContext& iContext, const std::string& iPath) {
  if (iPath != "/metrics") return false;
  iContext.Response.status = 200;
  iContext.Response.set_content(MetricsText(iContext.Host), "text/plain; version=0.0.4; charset=utf-8");
  return true;
}
