// The BASS_Channel* calls: format queries, data, positions and the chain.
#include <cmath>

#include "audio/engine/EngineChannel.h"
#include "audio/engine/EngineDevice.h"
#include "audio/engine/EngineMixer.h"

using namespace vt::engine;

namespace {
template <class T>
T Ok(T iValue) {
  SetError(BASS_OK);
  return iValue;
}
}  // namespace

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  if (!info) return Fail(BASS_ERROR_ILLPARAM);
  *info = BASS_CHANNELINFO{};
  info->freq = channel->Freq();
  info->chans = channel->Chans();
  info->flags = channel->Flags();
  info->ctype = channel->CType();
  info->origres = channel->OutputFormat() == TSampleFormat::sfFloat32 ? 32 : 8 * DWORD(BytesPerSample(channel->OutputFormat()));
  return Ok(TRUE);
}

DWORD BASS_ChannelIsActive(DWORD handle) {
  auto channel = LookupChannel(handle);
  if (!channel) return BASS_ACTIVE_STOPPED;
  SetError(BASS_OK);
  if (channel->IsDecode()) return channel->SourceEnded() ? BASS_ACTIVE_STOPPED : BASS_ACTIVE_PLAYING;
  return IsPlaying(*channel) ? BASS_ACTIVE_PLAYING : BASS_ACTIVE_STOPPED;
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  if (channel->IsDecode()) return Fail(BASS_ERROR_DECODE);
  if (!StartPlaying(channel)) return FALSE;
  return Ok(TRUE);
}

BOOL BASS_ChannelStop(DWORD handle) {
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  if (channel->IsDecode()) return Fail(BASS_ERROR_DECODE);
  StopPlaying(*channel);
  return Ok(TRUE);
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  if (attrib != BASS_ATTRIB_VOL) return Fail(BASS_ERROR_ILLTYPE);
  if (!(value >= 0.0f)) return Fail(BASS_ERROR_ILLPARAM);
  channel->fVolume.store(value, std::memory_order_relaxed);
  return Ok(TRUE);
}

BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  if (!value) return Fail(BASS_ERROR_ILLPARAM);
  switch (attrib) {
    case BASS_ATTRIB_VOL: *value = channel->fVolume.load(std::memory_order_relaxed); break;
    case BASS_ATTRIB_FREQ: *value = float(channel->Freq()); break;
    default: return Fail(BASS_ERROR_ILLTYPE);
  }
  return Ok(TRUE);
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
  auto channel = LookupChannel(handle);
  if (!channel) return QWORD(-1);
  if (mode != BASS_POS_BYTE) return Fail(BASS_ERROR_NOTAVAIL), QWORD(-1);
  return Ok(QWORD(channel->PositionFrames() * channel->FrameBytes()));
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode) {
  auto channel = LookupChannel(handle);
  if (!channel) return QWORD(-1);
  // Live streams and mixers have no length.
  return Fail(BASS_ERROR_NOTAVAIL), QWORD(-1);
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
  auto channel = LookupChannel(handle);
  if (!channel) return DWORD(-1);
  if (length == BASS_DATA_AVAILABLE) return Ok(channel->AvailableBytes());
  // The output thread pulls a playing channel; a second puller would steal its audio.
  if (!channel->IsDecode()) return Fail(BASS_ERROR_NOTAVAIL), DWORD(-1);
  if (!buffer) return Fail(BASS_ERROR_ILLPARAM), DWORD(-1);
  const bool asFloat = (length & BASS_DATA_FLOAT) != 0;
  const DWORD bytes = channel->GetData(buffer, length & ~DWORD(BASS_DATA_FLOAT), asFloat);
  if (bytes == 0 && channel->SourceEnded()) return Fail(BASS_ERROR_ENDED), DWORD(-1);
  return Ok(bytes);
}

QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos) {
  auto channel = LookupChannel(handle);
  if (!channel) return QWORD(-1);
  if (!(pos >= 0.0)) return Fail(BASS_ERROR_ILLPARAM), QWORD(-1);
  // Whole frames, rounded down, so the result is always a valid read length.
  const QWORD frames = QWORD(std::floor(pos * channel->Freq()));
  return Ok(frames * channel->FrameBytes());
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
  auto channel = LookupChannel(handle);
  if (!channel) return -1.0;
  return Ok(double(pos / channel->FrameBytes()) / channel->Freq());
}

HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority) {
  auto channel = LookupChannel(handle);
  if (!channel) return 0;
  if (!proc) return Fail(BASS_ERROR_ILLPARAM), 0;
  return Ok(channel->AddDsp(proc, user, priority));
}

BOOL BASS_ChannelRemoveDSP(DWORD handle, HDSP dsp) {
  auto channel = LookupChannel(handle);
  if (!channel) return FALSE;
  if (!channel->RemoveFromChain(dsp)) return Fail(BASS_ERROR_HANDLE);
  return UnregisterObject(dsp);
}
