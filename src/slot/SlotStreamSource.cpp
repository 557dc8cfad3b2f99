// The stream source of a slot: its thread opens the URL, hands the stream to
// the slot mixer, reopens it whenever it ends, and turns the stream's titles
// into the current title, the outgoing title and cue-sheet tracks.
//
// Locking: StopRecording holds the slot lock while it waits for the stream
// thread to end, so nothing that thread waits for may need the slot lock. The
// engine's callbacks therefore only set flags and wake the thread, and the
// thread itself only tries the slot lock, giving up once it is told to end.
#include "slot/SlotStreamSource.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "audio/basserrors.h"
#include "slot/SlotInfo.h"
#include "support/SimpleThread.h"

namespace {

// BASS_UNICODE | BASS_STREAM_DECODE | BASS_STREAM_RESTRATE | BASS_SAMPLE_FLOAT
constexpr DWORD kStreamFlags = 0x80280100u;
constexpr auto kLockRetry = std::chrono::milliseconds(1);

// Lives on the stream thread's stack; every stream it hands to the engine is
// freed before the thread leaves, so the engine's callbacks never outlive it.
struct TStreamCallbackContext {
  TSlotInfo* fSlot;
  TSimpleThread* fThread;
  std::atomic<bool> fTitlePending{false};
  bool fHadStream = false;  // the stream thread's own
};

void DownloadProc(const void* iBuffer, DWORD, void* iUser) {
  if (iBuffer) return;  // only the end of the download matters here
  auto* context = static_cast<TStreamCallbackContext*>(iUser);
  context->fSlot->SetStreamDownloadEnded(true);
  context->fThread->SignalEvent();
}

void EndSyncProc(HSYNC, DWORD, DWORD, void* iUser) { DownloadProc(nullptr, 0, iUser); }

void MetaSyncProc(HSYNC, DWORD, DWORD, void* iUser) {
  auto* context = static_cast<TStreamCallbackContext*>(iUser);
  context->fTitlePending = true;
  context->fThread->SignalEvent();
}

}  // namespace

std::vector<std::string> CueSheetTrackLines(int32_t iTrack, const std::string& iTitle, uint64_t iElapsedMs) {
  const uint64_t minutes = iElapsedMs / 60000;
  const uint64_t seconds = (iElapsedMs / 1000) % 60;
  const uint64_t frames = (iElapsedMs % 1000) * 75 / 1000;
  return {fmt::format("  TRACK {:02d} AUDIO", iTrack), fmt::format("    TITLE \"{}\"", iTitle),
          fmt::format("    INDEX 01 {:02d}:{:02d}:{:02d}", minutes, seconds, frames)};
}

std::string CueSheetText(const std::vector<std::string>& iLines) {
  std::string text;
  for (const std::string& line : iLines) text += line + "\r\n";
  return text;
}

void TSlotInfo::StartStreamSource() {
  fCurrentStreamURL.Set(fStreamURL.Get());
  fStreamThread = std::make_unique<TSimpleThread>([this] { StreamThreadExecute(); },
                                                  "StreamThread Slot " + std::to_string(fIndex));
  fStreamThread->Start();
}

void TSlotInfo::StopStreamSource() {
  // Safe under the slot lock: the thread only ever tries that lock (see above).
  fStreamThread->Terminate();
  fStreamThread->WaitFor();
  fStreamThread.reset();
  WithdrawError(ekStream);  // the slot no longer plays that stream
}

void TSlotInfo::StreamThreadExecute() {
  TSimpleThread* self = TSimpleThread::Current();
  TStreamCallbackContext context{this, self};
  SetStreamStatus("Connecting...");
  while (!self->Terminated()) {
    if (fStreamDownloadEnded && fStreamChannel) {
      BASS_StreamFree(fStreamChannel.exchange(0));  // also takes it off the mixer
      SetStreamStatus("Reconnecting...");
      ReportError(ekStream, "Stream lost, reconnecting");
    }
    if (!fStreamChannel) {
      fStreamDownloadEnded = false;
      context.fTitlePending = false;
      BASS_SetDevice(0);
      const std::string url = fCurrentStreamURL.Get();
      DWORD channel = 0;
      int error = BASS_OK;
      {
        // Waiting for another slot's slow open must not hold up our own StopRecording.
        std::unique_lock<std::mutex> open(StreamOpenLock(), std::defer_lock);
        while (!open.try_lock() && !self->Terminated()) std::this_thread::sleep_for(kLockRetry);
        if (!open.owns_lock()) break;
        channel = BASS_StreamCreateURL(url.c_str(), 0, kStreamFlags, DownloadProc, &context);
        error = BASS_ErrorGetCode();
      }
      if (fDeleting || self->Terminated()) {
        if (channel) BASS_StreamFree(channel);
        break;
      }
      if (channel) {
        BASS_ChannelSetSync(channel, BASS_SYNC_META, 0, MetaSyncProc, &context);
        BASS_ChannelSetSync(channel, BASS_SYNC_END, 0, EndSyncProc, &context);
        fStreamChannel = channel;
        context.fHadStream = true;
        BASS_Mixer_StreamAddChannel(fMixer, channel, 0);
        ReportError(ekStream, "");
        // The title the stream announced while opening is read below, in one
        // read with any the metadata sync reports meanwhile: every title
        // makes a track, so the same announcement must not be read twice.
        context.fTitlePending = true;
      } else if (!context.fHadStream) {
        SetStreamStatus(BassErrorText(error));
        ReportError(ekStream, fmt::format("Cannot open the stream: {}", BassErrorText(error)));
      }
      // After a stream that played, a failed reopen keeps "Reconnecting...":
      // the source is known to work and is only away for now (a server whose
      // mount vanished with its encoder answers "not found" until it returns).
    }
    if (context.fTitlePending.exchange(false)) UpdateIncomingStreamTitle();
    if (!context.fTitlePending && !fStreamDownloadEnded) self->WaitForEvent(1000);
  }
  if (const DWORD channel = fStreamChannel.exchange(0)) BASS_StreamFree(channel);
}

void TSlotInfo::UpdateIncomingStreamTitle() {
  std::unique_lock<std::recursive_mutex> lock(fCS, std::defer_lock);
  TSimpleThread* self = TSimpleThread::Current();
  if (!self) {
    lock.lock();
  } else {
    while (!lock.try_lock()) {
      if (self->Terminated()) return;  // StopRecording holds the lock and waits for us
      std::this_thread::sleep_for(kLockRetry);
    }
  }
  const DWORD channel = fStreamChannel;
  if (!channel) return;
  const char* tags = BASS_ChannelGetTags(channel, BASS_TAG_META);
  if (!tags || !*tags) return;
  const std::optional<std::string> title = ParseStreamTitle(DecodeStreamMetadata(tags));
  if (!title) return;
  fCurrentStreamTitle.Set(*title);
  fLastMetadataTickCount = Clock().TickCount();
  const uint64_t start = fRecordStartTickCount;
  const uint64_t elapsed = fLastMetadataTickCount > start ? fLastMetadataTickCount - start : 0;

  if (fStreamingForwardMetadata)
    if (const DWORD encoder = fStreamingEncoder) BASS_Encode_CastSetTitle(encoder, title->c_str(), "");

  const std::string file = fCurrentFilename.Get();
  if (!fCueSheet || file.empty()) return;
  try {
    ++fCueSheetTrackCounter;
    for (std::string& line : CueSheetTrackLines(fCueSheetTrackCounter, *title, elapsed))
      fCueSheetData.push_back(std::move(line));
    // Written beside and moved over the old sheet, so a reader never sees half of it.
    const std::string cue = file + ".cue";
    const std::string partial = cue + ".part";
    {
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      out << CueSheetText(fCueSheetData);
      out.close();
      if (!out) throw std::runtime_error("cue sheet not written");
    }
    std::filesystem::rename(partial, cue);
  } catch (...) {
    // A cue sheet that cannot be written must not touch the recording; the next title tries again.
  }
}
