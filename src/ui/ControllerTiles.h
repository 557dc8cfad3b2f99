#pragma once
// The slot grid's view of the controller's slots.
#include "ui/SlotGrid.h"

class TLoggerMain;

class TControllerTiles : public ITileSource {
public:
  explicit TControllerTiles(TLoggerMain& iController) : fController(iController) {}
  int SlotCount() const override;
  TTileData ReadTile(int iIndex) const override;
  void StoreDisplayLevels(int iIndex, float iLeft, float iRight) override;
  std::string Folder(int iIndex) const override;
  // Posted like the web's requests: the slot may take a while to stop its
  // file, and the buttons follow when the controller reports the change.
  void SetSlotEnabled(int iIndex, bool iEnabled) override;
  uint64_t TickCount() const override;

private:
  TLoggerMain& fController;
};
