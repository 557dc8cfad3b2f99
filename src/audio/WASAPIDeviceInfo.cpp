#include <fmt/format.h>

#include <stdexcept>

#include "audio/AudioDevices.h"
#include "audio/basserrors.h"

namespace {
DWORD WASAPIInputProc(void* iBuffer, DWORD iLength, void* iUser) {
  static_cast<TWASAPIDeviceInfo*>(iUser)->HandleInput(iBuffer, iLength);
  return iLength;
}
}  // namespace

TWASAPIDeviceInfo::~TWASAPIDeviceInfo() {
  if (Running()) StopDevice();
}

void TWASAPIDeviceInfo::StartDevice(int iSampleRate, bool& i16bit, bool) {
  if (!BASS_WASAPI_Init(fIndex, static_cast<DWORD>(iSampleRate), 2, 0, 1.0f, 0.0f, WASAPIInputProc, this))
    throw std::runtime_error(fmt::format("WASAPI_Init: {}", BassErrorText(BASS_ErrorGetCode())));
  BASS_WASAPI_SetDevice(static_cast<DWORD>(fIndex));
  BASS_WASAPI_Start();
  i16bit = false;  // endpoints always deliver floating point
}

void TWASAPIDeviceInfo::StopDevice() {
  BASS_WASAPI_SetDevice(static_cast<DWORD>(fIndex));
  BASS_WASAPI_Stop(TRUE);
  BASS_WASAPI_Free();
}

int TWASAPIDeviceInfo::GetSampleRate() {
  BASS_WASAPI_SetDevice(static_cast<DWORD>(fIndex));
  BASS_WASAPI_INFO info{};
  if (!BASS_WASAPI_GetInfo(&info)) return 0;
  return static_cast<int>(info.freq);
}
