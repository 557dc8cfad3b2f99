#include "audio/engine/EngineConfig.h"

#include <atomic>

#include "audio/engine/EngineObject.h"

namespace vt::engine {
namespace {

struct TOption {
  DWORD fId;
  std::atomic<DWORD> fValue;
};

// Options that a caller may set; the values are the defaults.
TOption sOptions[] = {
    {BASS_CONFIG_BUFFER, 500},
    {BASS_CONFIG_UPDATEPERIOD, 10},
    {BASS_CONFIG_FLOATDSP, 0},
    {BASS_CONFIG_NET_TIMEOUT, 5000},
    {BASS_CONFIG_NET_BUFFER, 5000},
    {BASS_CONFIG_NET_PREBUF, 75},
    {BASS_CONFIG_REC_BUFFER, 2000},
    {BASS_CONFIG_NET_PLAYLIST, 0},
    {BASS_CONFIG_DEV_BUFFER, 30},
    {BASS_CONFIG_NET_READTIMEOUT, 0},
    {BASS_CONFIG_ENCODE_PRIORITY, static_cast<DWORD>(-1)},
    {BASS_CONFIG_ENCODE_QUEUE, 0},
    {BASS_CONFIG_ENCODE_CAST_TIMEOUT, 5000},
};

std::atomic<DWORD>* Find(DWORD iOption) {
  for (auto& option : sOptions)
    if (option.fId == iOption) return &option.fValue;
  return nullptr;
}

DWORD Get(DWORD iOption) { return Find(iOption)->load(std::memory_order_relaxed); }

}  // namespace

bool FloatDsp() { return Get(BASS_CONFIG_FLOATDSP) != 0; }
int EncodePriority() { return static_cast<int>(Get(BASS_CONFIG_ENCODE_PRIORITY)); }
DWORD EncodeQueueMs() { return Get(BASS_CONFIG_ENCODE_QUEUE); }

}  // namespace vt::engine

using namespace vt::engine;

BOOL BASS_SetConfig(DWORD option, DWORD value) {
  auto* slot = Find(option);
  if (!slot) return Fail(BASS_ERROR_ILLTYPE);
  if (option == BASS_CONFIG_FLOATDSP || option == BASS_CONFIG_NET_PLAYLIST) value = value ? 1 : 0;
  slot->store(value, std::memory_order_relaxed);
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_GetConfig(DWORD option) {
  auto* slot = Find(option);
  if (!slot) {
    SetError(BASS_ERROR_ILLTYPE);
    return static_cast<DWORD>(-1);
  }
  SetError(BASS_OK);
  return slot->load(std::memory_order_relaxed);
}

DWORD BASS_GetVersion() { return 0x02041100; }
