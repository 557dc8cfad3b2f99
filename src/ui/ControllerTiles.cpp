#include "ui/ControllerTiles.h"

#include "controller/LoggerMain.h"
#include "slot/SlotInfo.h"
#include "shell/VantorelGlobals.h"

int TControllerTiles::SlotCount() const { return fController.SlotCount(); }

TTileData TControllerTiles::ReadTile(int iIndex) const { return ReadTileData(fController.Slot(iIndex)); }

void TControllerTiles::StoreDisplayLevels(int iIndex, float iLeft, float iRight) {
  TSlotInfo& slot = fController.Slot(iIndex);
  slot.SetCurrentLevelLeft(iLeft);
  slot.SetCurrentLevelRight(iRight);
}

std::string TControllerTiles::Folder(int iIndex) const { return fController.Slot(iIndex).Folder(); }

void TControllerTiles::SetSlotEnabled(int iIndex, bool iEnabled) {
  if (iEnabled) {
    fController.PostStartSlot(iIndex);
  } else {
    fController.PostStopSlot(iIndex);
  }
}

uint64_t TControllerTiles::TickCount() const { return TickCount64(); }
