#include "audio/engine/EngineStream.h"

#include <algorithm>

#include "audio/engine/EngineDevice.h"
#include "audio/engine/EngineRealtime.h"

namespace vt::engine {
namespace {

TSampleFormat RawFormat(DWORD iFlags) {
  if (iFlags & BASS_SAMPLE_FLOAT) return TSampleFormat::sfFloat32;
  if (iFlags & BASS_SAMPLE_8BITS) return TSampleFormat::sfInt8;
  return TSampleFormat::sfInt16;
}

size_t RingBytes(DWORD iFreq, DWORD iChans, DWORD iFlags) {
  const size_t frame = iChans * BytesPerSample(RawFormat(iFlags));
  return std::max<size_t>(size_t(iFreq * kPushBufferSeconds), kBlockFrames) * frame;
}

}  // namespace

TPushStream::TPushStream(DWORD iFreq, DWORD iChans, DWORD iFlags)
    : TChannel(iFreq, iChans, iFlags, BASS_CTYPE_STREAM), fFormat(RawFormat(iFlags)),
      fRawFrameBytes(iChans * DWORD(BytesPerSample(fFormat))), fRing(RingBytes(iFreq, iChans, iFlags)) {}

DWORD TPushStream::Put(const void* iData, DWORD iLength, bool iEnd) {
  TRealtimeScope realtime;
  if (iData && iLength > 0 && !fEnded.load(std::memory_order_relaxed)) {
    // Keep what fits, in whole frames; the newest audio is what gets dropped.
    const size_t room = fRing.Free() / fRawFrameBytes * fRawFrameBytes;
    const size_t whole = iLength / fRawFrameBytes * fRawFrameBytes;
    const size_t take = std::min(room, whole);
    if (take > 0) fRing.Write(iData, take);
    if (take < iLength) fDropped.fetch_add(iLength - take, std::memory_order_relaxed);
  }
  if (iEnd) fEnded.store(true, std::memory_order_release);
  return static_cast<DWORD>(fRing.Available());
}

DWORD TPushStream::ReadSource(float* oBuffer, DWORD iFrames) {
  if (fFormat == TSampleFormat::sfFloat32)
    return DWORD(fRing.Read(oBuffer, size_t(iFrames) * fRawFrameBytes) / fRawFrameBytes);
  // Converted straight out of the ring; it holds whole frames only, so a wrap
  // never splits a sample.
  const size_t sampleBytes = BytesPerSample(fFormat);
  const size_t bytes = fRing.ReadInPlace(size_t(iFrames) * fRawFrameBytes, [&](const std::byte* iPart, size_t iOffset,
                                                                                size_t iLength) {
    ToFloat(fFormat, iPart, oBuffer + iOffset / sampleBytes, iLength / sampleBytes);
  });
  return DWORD(bytes / fRawFrameBytes);
}

bool TPushStream::SourceEnded() const { return fEnded.load(std::memory_order_acquire) && fRing.Available() == 0; }

TProcStream::TProcStream(DWORD iFreq, DWORD iChans, DWORD iFlags, STREAMPROC* iProc, void* iUser)
    : TChannel(iFreq, iChans, iFlags, BASS_CTYPE_STREAM), fFormat(RawFormat(iFlags)), fProc(iProc), fUser(iUser),
      fRaw(new std::byte[size_t(kBlockFrames) * iChans * BytesPerSample(fFormat)]) {}

DWORD TProcStream::ReadSource(float* oBuffer, DWORD iFrames) {
  if (fEnded.load(std::memory_order_relaxed)) return 0;
  const DWORD frameBytes = Chans() * DWORD(BytesPerSample(fFormat));
  const DWORD result = fProc(Handle(), fRaw.get(), iFrames * frameBytes, fUser);
  if (result == DWORD(-1)) {  // the procedure gave up
    fEnded.store(true, std::memory_order_release);
    return 0;
  }
  if (result & BASS_STREAMPROC_END) fEnded.store(true, std::memory_order_release);
  const DWORD frames = std::min(iFrames, (result & ~BASS_STREAMPROC_END) / frameBytes);
  ToFloat(fFormat, fRaw.get(), oBuffer, size_t(frames) * Chans());
  return frames;
}

}  // namespace vt::engine

using namespace vt::engine;

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user) {
  if (freq == 0 || freq > 1000000) return Fail(BASS_ERROR_FREQ), 0;
  if (chans == 0 || chans > kMaxChannels) return Fail(BASS_ERROR_ILLPARAM), 0;
  const bool decode = (flags & BASS_STREAM_DECODE) != 0;
  if (!decode && !DeviceInitialized(CurrentDevice())) return Fail(BASS_ERROR_INIT), 0;
  std::shared_ptr<TChannel> stream;
  if (proc == STREAMPROC_PUSH)
    stream = std::make_shared<TPushStream>(freq, chans, flags);
  else if (proc == STREAMPROC_DUMMY)
    stream = std::make_shared<TDummyStream>(freq, chans, flags, BASS_CTYPE_STREAM);
  else if (proc == STREAMPROC_DEVICE)
    return Fail(BASS_ERROR_NOTAVAIL), 0;
  else
    stream = std::make_shared<TProcStream>(freq, chans, flags, proc, user);
  if (!decode) stream->SetDevice(CurrentDevice());
  const DWORD handle = RegisterObject(stream);
  stream->SetHandle(handle);
  SetError(BASS_OK);
  return handle;
}

BOOL BASS_StreamFree(HSTREAM handle) {
  if (!Lookup<TChannel>(handle)) return Fail(BASS_ERROR_HANDLE);
  return UnregisterObject(handle);
}

DWORD BASS_StreamPutData(HSTREAM handle, const void* buffer, DWORD length) {
  auto stream = Lookup<TPushStream>(handle);
  if (!stream) {
    SetError(BASS_ERROR_HANDLE);
    return DWORD(-1);
  }
  const bool end = (length & BASS_STREAMPROC_END) != 0;
  const DWORD queued = stream->Put(buffer, length & ~BASS_STREAMPROC_END, end);
  SetError(BASS_OK);
  return queued;
}

QWORD VT_StreamGetDropped(HSTREAM handle) {
  auto stream = Lookup<TPushStream>(handle);
  if (!stream) {
    SetError(BASS_ERROR_HANDLE);
    return QWORD(-1);
  }
  SetError(BASS_OK);
  return stream->DroppedBytes();
}
