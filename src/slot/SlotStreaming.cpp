// The outgoing stream of a slot: its thread keeps a streaming encoder on the
// slot mixer connected to a server (or serving listeners itself) while the
// slot and streaming are on, notices a lost connection and reconnects, and
// sends the outgoing title, read from a title file or forwarded from the
// stream source.
//
// Locking: the thread takes the slot lock only to copy the settings and to
// set the status; connecting runs without it, so recording goes on while a
// server is slow. The engine's notification only wakes the thread.
#include <fmt/format.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "audio/basserrors.h"
#include "slot/SlotInfo.h"
#include "slot/SlotStreaming.h"
#include "slot/SlotTitleFile.h"
#include "support/SimpleThread.h"

namespace {

// BASS_UNICODE | BASS_ENCODE_AUTOFREE | BASS_ENCODE_CAST_NOLIMIT |
// BASS_ENCODE_QUEUE | BASS_ENCODE_FP_16BIT | BASS_ENCODE_NOHEAD
constexpr DWORD kStreamingEncoderFlags = 0x80041205u;
constexpr DWORD kServerBuffer = 40000;
constexpr DWORD kServerBurst = 4000;
constexpr uint32_t kRetryWait = 5000;
constexpr uint32_t kWatchWait = 1000;

struct TStreamingSettings {
  bool fWanted = false;
  std::string fHost;
  bool fServerMode = false;
  int32_t fPort = 0;
  std::string fMountPoint, fStreamID, fICQ, fAIM, fIRC;
  std::string fPassword, fMimeType, fName, fURL, fGenre, fDescription;
  bool fPublic = false;
  int32_t fConnectDelay = 0;
  int32_t fBitrate = 0;
  TBassStreamingFormat fFormat = sfNone;
  bool fForwardMetadata = false;
};

}  // namespace

std::string StreamingServerAddress(const std::string& iHost, int32_t iPort, bool iServerMode,
                                   const std::string& iMountPoint, const std::string& iStreamID) {
  if (iServerMode) return fmt::format("{}:{}", iHost, iPort);
  if (!iMountPoint.empty())
    return fmt::format("{}:{}{}", iHost, iPort, iMountPoint.starts_with("/") ? iMountPoint : "/" + iMountPoint);
  if (!iStreamID.empty()) return fmt::format("{}:{},{}", iHost, iPort, iStreamID);
  return fmt::format("{}:{}", iHost, iPort);
}

void TSlotInfo::StreamingThreadExecute() {
  TSimpleThread* self = TSimpleThread::Current();
  fStreamingEncoder = 0;
  while (!self->Terminated()) {
    TStreamingSettings s;
    {
      std::lock_guard<std::recursive_mutex> lock(fCS);
      s.fWanted = fEnabled && fStreamingEnabled;
      s.fHost = fStreamingHost.Get();
      s.fServerMode = fStreamingServerMode;
      s.fPort = fStreamingPort;
      s.fMountPoint = fStreamingMountPoint.Get();
      s.fStreamID = fStreamingStreamID.Get();
      s.fICQ = fStreamingICQ.Get();
      s.fAIM = fStreamingAIM.Get();
      s.fIRC = fStreamingIRC.Get();
      // The engine takes 8-bit text, which is UTF-8 here: copied as they are.
      s.fPassword = fStreamingPassword.Get();
      s.fMimeType = fStreamingMimeType.Get();
      s.fName = fStreamingTitle.Get();
      s.fURL = fStreamingURL.Get();
      s.fGenre = fStreamingGenre.Get();
      s.fDescription = fStreamingDescription.Get();
      s.fPublic = fStreamingPublic;
      s.fConnectDelay = fStreamingConnectDelay;
      s.fBitrate = fBitrate;
      s.fFormat = fAudioFormat;
      s.fForwardMetadata = fStreamingForwardMetadata;
    }

    if (!s.fWanted) {
      if (const DWORD encoder = fStreamingEncoder.exchange(0)) {
        BASS_Encode_Stop(encoder);
        DoLogMessage("Encoder disconnected");
      }
      SetStreamingStatus(ssDisabled, "");
      self->WaitForEvent(kWatchWait);
      continue;
    }

    if (const DWORD encoder = fStreamingEncoder; encoder && BASS_Encode_IsActive(encoder) != BASS_ACTIVE_PLAYING) {
      fStreamingEncoder = 0;
      BASS_Encode_Stop(encoder);
      DoLogMessage("Encoder lost connection");
    }

    if (!fStreamingEncoder) {
      try {
        SetStreamingStatus(ssConnecting, s.fHost);
        const TEncoderCommand command = GetEncoderCommandLine("-");
        // A WAV format's command is the file itself, written in-process: there
        // is no encoded output to send.
        if (command.fFlags & BASS_ENCODE_PCM)
          throw std::runtime_error("WAV formats cannot be streamed; choose an encoded format");
        DWORD encoder = 0;
        {
          std::lock_guard<std::mutex> startLock(EncoderStartLock());
          // Last in the mixer's chain: after the file encoder and a stream-only plug-in.
          BASS_SetConfig(BASS_CONFIG_ENCODE_PRIORITY, static_cast<DWORD>(-2000));
          BASS_SetConfig(BASS_CONFIG_ENCODE_QUEUE, static_cast<DWORD>(fEncoderQueueLength.load()));
          encoder = BASS_Encode_Start(fMixer, command.fCommand.c_str(), command.fFlags | kStreamingEncoderFlags,
                                      nullptr, nullptr);
          if (!encoder) throw std::runtime_error(BassErrorText(BASS_ErrorGetCode()));
        }
        fStreamingEncoder = encoder;
        BASS_Encode_SetNotify(encoder, &TSlotInfo::EncoderNotifyProc, this);

        const std::string headers = "icy-aim:" + s.fAIM + "\r\nicy-irc:" + s.fIRC + "\r\nicy-icq:" + s.fICQ + "\r\n";
        std::string mime = s.fMimeType;
        if (mime.empty()) mime = s.fFormat == sfMP3 ? "audio/mpeg" : s.fFormat == sfOggVorbis ? "audio/ogg" : "";

        const std::string address =
            StreamingServerAddress(s.fHost, s.fPort, s.fServerMode, s.fMountPoint, s.fStreamID);
        bool started;
        if (s.fServerMode) {
          started = BASS_Encode_ServerInit(encoder, address.c_str(), kServerBuffer, kServerBurst,
                                           BASS_ENCODE_SERVER_META, &ListenerProc, this) != 0;
        } else {
          for (int32_t slept = 0; slept < s.fConnectDelay && !self->Terminated(); slept += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, s.fConnectDelay - slept)));
          std::lock_guard<std::mutex> castLock(CastConnectLock());
          started = BASS_Encode_CastInit(encoder, address.c_str(), s.fPassword.c_str(), mime.c_str(), s.fName.c_str(),
                                         s.fURL.c_str(), s.fGenre.c_str(), s.fDescription.c_str(), headers.c_str(),
                                         static_cast<DWORD>(s.fBitrate), s.fPublic ? BASS_ENCODE_CAST_PUBLIC : 0);
        }
        if (!started) throw std::runtime_error(BassErrorText(BASS_ErrorGetCode()));

        DoLogMessage(fmt::format("Encoder connected to {}", address));
        SetStreamingStatus(ssConnected, address);
        if (s.fForwardMetadata)
          BASS_Encode_CastSetTitle(encoder, fCurrentStreamTitle.Get().c_str(), "");
        else
          SendStreamingTitle();
      } catch (const std::exception& e) {
        if (const DWORD encoder = fStreamingEncoder.exchange(0)) BASS_Encode_Stop(encoder);
        SetStreamingStatus(ssError, e.what());
        DoLogMessage(fmt::format("Encoder connection error: {}", e.what()));
        self->WaitForEvent(kRetryWait);
        continue;
      }
    }
    self->WaitForEvent(kWatchWait);
  }
  // The encoder stays until the mixer is freed with the slot; it no longer
  // calls back into a slot whose thread is gone.
  if (const DWORD encoder = fStreamingEncoder) BASS_Encode_SetNotify(encoder, nullptr, nullptr);
}

void TSlotInfo::EncoderNotifyProc(HENCODE, DWORD iStatus, void* iUser) {
  static_cast<TSlotInfo*>(iUser)->EncoderNotify(iStatus);
}

void TSlotInfo::EncoderNotify(DWORD) {
  if (fStreamingThread) fStreamingThread->SignalEvent();
}

BOOL TSlotInfo::ListenerProc(HENCODE, BOOL iConnect, const char*, char*, void* iUser) {
  static_cast<TSlotInfo*>(iUser)->fStreamListeners.fetch_add(iConnect ? 1 : -1);
  return TRUE;
}

void TSlotInfo::SetStreamingStatus(TStreamingStatus iStatus, const std::string& iMessage) {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  if (iStatus != ssConnected) fStreamListeners = 0;  // the server and its listeners are gone
  if (iStatus != ssConnected)
    fStreamingActiveSince = -1;
  else if (fStreamingStatus != ssConnected)
    fStreamingActiveSince = static_cast<int64_t>(Clock().TickCount());
  fStreamingStatus = iStatus;
  fStreamingMessage.Set(iMessage);
}

void TSlotInfo::UpdateOutgoingStreamTitle() {
  if (!fStreamingEnabled || fStreamingForwardMetadata) return;
  std::lock_guard<std::recursive_mutex> lock(fCS);
  const std::string filename = fStreamingCurrentTitleFilename.Get();
  if (filename.empty()) return;
  const std::optional<double> age = TitleFileAge(filename);
  if (!age || *age == fStreamingCurrentTitleFileAge) return;
  std::string title;
  try {
    std::ifstream in(filename, std::ios::binary);
    title = TitleFromFileBytes(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  } catch (...) {
    title.clear();  // an unreadable file counts as an empty title
  }
  fStreamingCurrentTitleFileAge = *age;
  if (title == fStreamingCurrentTitle.Get()) return;
  fStreamingCurrentTitle.Set(title);
  if (fStreamingStatus == ssConnected) SendStreamingTitle();
}

void TSlotInfo::SendStreamingTitle() {
  // Queued by the engine and sent on its own thread: the caller never waits on a server.
  if (const DWORD encoder = fStreamingEncoder) BASS_Encode_CastSetTitle(encoder, fStreamingCurrentTitle.Get().c_str(), "");
}
