// What follows an accepted slot dialog: the new settings are stored and put
// into effect on the running slot.
#include <exception>
#include <fmt/format.h>

#include "controller/LoggerMain.h"
#include "slot/SlotInfo.h"

void TLoggerMain::ApplySlotSettings(int iIndex, bool iInputOptionsChanged, bool iOutputOptionsChanged) {
  if (static_cast<unsigned>(iIndex) >= fSlotInfo.size()) return;
  TSlotInfo& slot = *fSlotInfo[iIndex];
  // Each step on its own: a settings file that cannot be written must not
  // keep the new source or file from starting.
  auto step = [&](auto&& iWork) {
    try {
      iWork();
    } catch (const std::exception& e) {
      LogMessage(this, fmt::format("{}: {}", slot.Name(), e.what()));
    }
  };
  step([&] { slot.FlushConfig(); });
  if (iInputOptionsChanged) step([&] { slot.StartRecording(); });
  if (iOutputOptionsChanged || !slot.Recording()) step([&] { slot.CycleEncoder(); });
  if (fOnSlotStateChanged) fOnSlotStateChanged(iIndex);
}
