#include <fmt/format.h>

#include <stdexcept>

#include "audio/AudioDevices.h"
#include "audio/basserrors.h"

namespace {
BOOL WDMRecordProc(HRECORD, const void* iBuffer, DWORD iLength, void* iUser) {
  static_cast<TWDMDeviceInfo*>(iUser)->HandleInput(iBuffer, iLength);
  return TRUE;
}
}  // namespace

TWDMDeviceInfo::~TWDMDeviceInfo() {
  if (Running()) StopDevice();
}

void TWDMDeviceInfo::StartDevice(int iSampleRate, bool& i16bit, bool) {
  if (!BASS_RecordInit(fIndex)) throw std::runtime_error(fmt::format("Init: {}", BassErrorText(BASS_ErrorGetCode())));
  // From here on a failure releases the device again, so that the next
  // AddClient can initialise it afresh.
  if (!BASS_RecordSetDevice(static_cast<DWORD>(fIndex))) {
    BASS_RecordFree();
    throw std::runtime_error(fmt::format("BASS_RecordSetDevice({}) failed.", fIndex));
  }
  fChannel = BASS_RecordStart(static_cast<DWORD>(iSampleRate), 2, i16bit ? 0 : BASS_SAMPLE_FLOAT, WDMRecordProc, this);
  if (!fChannel) {
    const int error = BASS_ErrorGetCode();
    BASS_RecordFree();
    throw std::runtime_error(fmt::format("RecordStart: {}", BassErrorText(error)));
  }
  fLastSampleRate = iSampleRate;
}

void TWDMDeviceInfo::StopDevice() {
  BASS_RecordSetDevice(static_cast<DWORD>(fIndex));
  BASS_StreamFree(fChannel);
  BASS_RecordFree();
  fChannel = 0;
}
