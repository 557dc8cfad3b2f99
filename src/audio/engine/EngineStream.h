#pragma once
// Streams made by BASS_StreamCreate: push streams (fed by BASS_StreamPutData from
// a capture callback), the dummy stream and streams that call a STREAMPROC.
#include <atomic>
#include <memory>

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EngineRing.h"

namespace vt::engine {

// Seconds of audio a push stream holds before it drops: enough for a pull
// thread that was held up, small enough to preallocate per input.
constexpr double kPushBufferSeconds = 5.0;

class TPushStream : public TChannel {
public:
  TPushStream(DWORD iFreq, DWORD iChans, DWORD iFlags);
  // Real-time safe; one producer at a time. Returns the bytes queued afterwards.
  DWORD Put(const void* iData, DWORD iLength, bool iEnd);
  QWORD DroppedBytes() const { return fDropped.load(std::memory_order_relaxed); }
  DWORD ReadSource(float* oBuffer, DWORD iFrames) override;
  bool SourceEnded() const override;
  DWORD AvailableBytes() const override { return static_cast<DWORD>(fRing.Available()); }
  bool ReleaseOffRealtime() const override { return true; }

private:
  const TSampleFormat fFormat;
  const DWORD fRawFrameBytes;
  TSpscRing fRing;
  std::atomic<QWORD> fDropped{0};
  std::atomic<bool> fEnded{false};
};

class TDummyStream : public TChannel {
public:
  using TChannel::TChannel;
  DWORD ReadSource(float*, DWORD) override { return 0; }
};

class TProcStream : public TChannel {
public:
  TProcStream(DWORD iFreq, DWORD iChans, DWORD iFlags, STREAMPROC* iProc, void* iUser);
  DWORD ReadSource(float* oBuffer, DWORD iFrames) override;
  bool SourceEnded() const override { return fEnded.load(std::memory_order_acquire); }

private:
  const TSampleFormat fFormat;
  STREAMPROC* const fProc;
  void* const fUser;
  std::unique_ptr<std::byte[]> fRaw;
  std::atomic<bool> fEnded{false};
};

}  // namespace vt::engine
