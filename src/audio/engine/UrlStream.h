#pragma once
// A stream read from a URL (BASS_StreamCreateURL). Its decoder thread fills a
// bounded ring that the pulling mixer drains at its own clock: a server's
// live stream is paced by the network (what does not fit is dropped and
// counted), a generated source or a file, local or on a web server, by the
// mixer (the decoder waits for room).
// Syncs and the download callback run on the decoder thread; they must not
// free their own stream.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EngineRing.h"
#include "audio/engine/UrlStreamSource.h"

namespace vt::engine {

// Seconds of audio the ring holds: servers burst several seconds on connect.
constexpr double kUrlBufferSeconds = 20.0;

class TUrlStream : public TChannel {
public:
  // iAbort is the flag the source was opened with; freeing the stream sets it,
  // so a decoder blocked on a silent server lets go at once.
  TUrlStream(std::unique_ptr<TUrlSource> iSource, std::shared_ptr<std::atomic<bool>> iAbort, DWORD iFlags,
             DOWNLOADPROC* iProc, void* iUser);
  ~TUrlStream() override;
  void StartDecoding();

  DWORD ReadSource(float* oBuffer, DWORD iFrames) override;
  bool SourceEnded() const override;
  DWORD AvailableBytes() const override { return static_cast<DWORD>(fRing.Available()); }
  bool ReleaseOffRealtime() const override { return true; }

  HSYNC AddSync(DWORD iType, SYNCPROC* iProc, void* iUser);
  bool RemoveSync(HSYNC iSync);
  std::string Metadata() const;  // the ICY block last announced, or empty
  QWORD DroppedBytes() const { return fDropped.load(std::memory_order_relaxed); }

protected:
  void FreeSource() override;

private:
  struct TSync {
    HSYNC fHandle;
    DWORD fType;
    SYNCPROC* fProc;
    void* fUser;
  };
  void DecoderThread();
  void Deliver(const std::vector<float>& iSamples);
  void FireSyncs(DWORD iType);
  void Stop();

  std::unique_ptr<TUrlSource> fSource;  // the decoder thread's once it runs
  const std::shared_ptr<std::atomic<bool>> fAbort;
  const bool fLive;
  DOWNLOADPROC* const fDownloadProc;
  void* const fUser;
  TSpscRing fRing;
  std::atomic<QWORD> fDropped{0};
  std::atomic<bool> fInputEnded{false};
  std::atomic<bool> fEnded{false};
  std::atomic<bool> fStop{false};
  std::mutex fWakeLock;
  std::condition_variable fWake;  // Stop wakes a decoder that waits for room
  std::thread fThread;

  mutable std::mutex fSyncLock;  // fSyncs, fMetadata
  std::vector<TSync> fSyncs;
  std::string fMetadata;
  uint64_t fAnnounced = 0;  // metadata blocks published; the decoder thread's once it runs
};

}  // namespace vt::engine
