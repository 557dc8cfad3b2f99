#pragma once
// Helpers of the tests that run a slot's pipeline: feeding its mixer from a
// test stream, and waiting (bounded) for the pull thread to get somewhere.
#include <chrono>
#include <thread>

#include "audio/engine/Engine.h"
#include "slot/SlotInfo.h"

struct TSlotInfoTestAccess {
  static void FeedMixer(TSlotInfo& iSlot, DWORD iChannel) { BASS_Mixer_StreamAddChannel(iSlot.fMixer, iChannel, 0); }
};

template <class F>
bool WaitUntil(F iCondition, std::chrono::milliseconds iLimit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + iLimit;
  while (!iCondition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
