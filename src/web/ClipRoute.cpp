#include "web/ClipRoute.h"

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>

#include "support/SimpleSQLInterface.h"
#include "web/ArchiveAPI.h"
#include "web/ClipAssembler.h"
#include "web/ClipDecoder.h"
#include "web/ClipMp3Stream.h"
#include "web/ISO8601.h"

namespace {
// A file may have begun this long before the span and still reach into it
// (files of a day's time slot at most; a slot that never rotates is cut at
// this bound).
constexpr double kLongestFileDays = 1.0 + 1.0 / 24;

void SendBadRequest(TWebContext& iContext, const std::string& iText) {
  iContext.Response.status = 400;
  iContext.Response.set_content(iText, "text/plain");
}

bool IsRegularFile(const std::string& iPath) {
  std::error_code ec;
  return std::filesystem::is_regular_file(iPath, ec);
}

std::string WithSeparator(const std::string& iFolder) {
  return !iFolder.empty() && iFolder.back() != '/' ? iFolder + "/" : iFolder;
}

// a stored name that climbs out of the slot's folders is no recording of it
bool StaysInFolder(const std::string& iName) {
  size_t start = 0;
  for (;;) {
    const auto sep = iName.find_first_of("/\\", start);
    if (iName.compare(start, sep == std::string::npos ? std::string::npos : sep - start, "..") == 0) return false;
    if (sep == std::string::npos) return true;
    start = sep + 1;
  }
}

// "<slot>-yyyy-mm-dd-hh-nn-ss.<ext>", safe inside the quoted header parameter
std::string ClipFileName(const std::string& iSlotName, TDateTime iStart, const std::string& iExtension) {
  int y, m, d, h, n, s, ms;
  DecodeDateTime(iStart, y, m, d, h, n, s, ms);
  std::string name = fmt::format("{}-{:04}-{:02}-{:02}-{:02}-{:02}-{:02}.{}", iSlotName, y, m, d, h, n, s, iExtension);
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 32 || c == '"' || c == '\\' || c == '/' || c == 127) c = '_';
  return name;
}
}  // namespace

std::vector<TClipRecording> ClipRecordings(const TWebSlotSnapshot& iSlot, TDateTime iStartLocal, TDateTime iEndLocal) {
  auto connection = OpenArchiveDatabase(iSlot.DatabasePath);
  auto statement = connection->PrepareStatement(
      "SELECT id, starttime, duration, filename, startsample FROM recordings WHERE starttime >= :from AND "
      "starttime < :end");
  statement->SetTimestampByName("from", iStartLocal - kLongestFileDays);
  statement->SetTimestampByName("end", iEndLocal);
  auto rows = statement->ExecuteQueryPrepared();
  std::vector<TClipRecording> files;
  while (rows->Next()) {
    TClipRecording file;
    const int32_t id = rows->GetInt(1);
    if (rows->IsNull(3)) {
      if (id != iSlot.CurrentRecordingID) continue;  // never closed: its length is unknown
      file.fDuration = iSlot.CurrentRecordingDuration;
    } else {
      file.fDuration = rows->GetFloat(3);
    }
    try {
      file.fStartTime = rows->GetTimestamp(2);
    } catch (const std::exception&) {
      continue;
    }
    const std::string name = rows->GetString(4);
    if (!StaysInFolder(name)) continue;
    file.fPath = WithSeparator(iSlot.Folder) + name;
    if (!IsRegularFile(file.fPath) && !iSlot.SecondaryFolder.empty()) file.fPath = WithSeparator(iSlot.SecondaryFolder) + name;
    if (!IsRegularFile(file.fPath)) continue;
    if (!rows->IsNull(5)) file.fStartSample = static_cast<int64_t>(rows->GetFloat(5));
    TAudioFileInfo info;
    if (!ProbeAudioFile(file.fPath, info)) continue;
    file.fRate = info.fRate;
    file.fChannels = info.fChannels;
    files.push_back(std::move(file));
  }
  return files;
}

void HandleClipRoute(TWebContext& iContext, const TWebSlotSnapshot& iSlot) {
  TDateTime start = 0, end = 0;
  try {
    if (!iContext.HasParam("start") || !iContext.HasParam("end")) throw std::invalid_argument("missing");
    start = ParseISO8601Date(iContext.Param("start"));
    end = ParseISO8601Date(iContext.Param("end"));
  } catch (const std::exception&) {
    SendBadRequest(iContext, "Date parse error");
    return;
  }
  const std::string format = iContext.HasParam("format") ? iContext.Param("format") : "wav";
  if (format != "wav" && format != "mp3") {
    SendBadRequest(iContext, "Invalid format: " + format);
    return;
  }
  if (end <= start) {
    SendBadRequest(iContext, "The end lies before the start");
    return;
  }
  if ((end - start) * 86400.0 > kMaxClipSeconds + 1e-3) {
    SendBadRequest(iContext, fmt::format("A clip is at most {} hours long", kMaxClipSeconds / 3600));
    return;
  }
  TClipPlan plan = PlanClip(ClipRecordings(iSlot, start, end), start, end);
  if (plan.fPieces.empty()) {
    SendNotFound(iContext);
    return;
  }
  auto& res = iContext.Response;
  res.status = 200;
  res.set_header("Content-Disposition", "attachment; filename=\"" + ClipFileName(iSlot.Name, start, format) + "\"");
  if (!plan.fGaps.empty()) res.set_header("X-Vantorel-Gaps", ClipGapsText(plan.fGaps));
  const std::atomic<bool>* stopping = &iContext.Stopping;
  const int channels = plan.fChannels;
  const std::string header = TClipAssembler::WavHeader(plan.fRate, plan.fChannels, plan.Frames());
  const size_t total = header.size() + static_cast<size_t>(plan.Frames()) * channels * 2;
  auto assembler = std::make_unique<TClipAssembler>(std::move(plan));

  if (format == "wav") {
    // The length is known before the first sample is decoded, so the header
    // goes first and the reply has a Content-Length: a download that breaks
    // off shows as incomplete.
    res.set_content_provider(
        total, "audio/wav",
        [assembler = std::shared_ptr<TClipAssembler>(std::move(assembler)), header, channels, stopping, block = std::vector<int16_t>()](
            size_t iOffset, size_t, httplib::DataSink& iSink) mutable {
          if (stopping->load(std::memory_order_relaxed)) return false;
          if (iOffset < header.size()) return iSink.write(header.data() + iOffset, header.size() - iOffset);
          block.resize(8192 * static_cast<size_t>(channels));
          const size_t frames = assembler->Read(block.data(), 8192);
          if (frames == 0) return false;
          return iSink.write(reinterpret_cast<const char*>(block.data()), frames * channels * 2);
        });
    return;
  }
  auto stream = std::make_shared<TClipMp3Stream>(std::move(assembler));
  res.set_chunked_content_provider(
      "audio/mpeg", [stream, stopping, buffer = std::vector<char>(64 * 1024)](size_t, httplib::DataSink& iSink) mutable {
        if (stopping->load(std::memory_order_relaxed)) return false;
        const size_t n = stream->Read(buffer.data(), buffer.size());
        if (n == 0) {
          iSink.done();
          return true;
        }
        return iSink.write(buffer.data(), n);
      });
}
