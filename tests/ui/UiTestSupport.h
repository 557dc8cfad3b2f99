#pragma once
// What the window tests share: one QApplication on Qt's offscreen platform,
// running the event loop until a condition holds, and a grid data source
// whose tiles the test sets up directly.
#include <QApplication>
#include <QEventLoop>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ui/SlotGrid.h"

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *app;
}

inline bool RunUntil(const std::function<bool()>& iDone, int iTimeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
  while (!iDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class TFakeTiles : public ITileSource {
public:
  explicit TFakeTiles(int iCount) : fTiles(iCount) {
    for (int i = 0; i < iCount; ++i) fTiles[i].fName = "Slot " + std::to_string(i + 1);
  }
  int SlotCount() const override { return static_cast<int>(fTiles.size()); }
  TTileData ReadTile(int iIndex) const override { return fTiles.at(iIndex); }
  void StoreDisplayLevels(int iIndex, float iLeft, float iRight) override {
    fTiles.at(iIndex).fCurrentLevelLeft = iLeft;
    fTiles.at(iIndex).fCurrentLevelRight = iRight;
  }
  std::string Folder(int iIndex) const override { return "/rec/" + std::to_string(iIndex); }
  void SetSlotEnabled(int iIndex, bool iEnabled) override {
    fEnableRequests.push_back({iIndex, iEnabled});
    fTiles.at(iIndex).fEnabled = iEnabled;
  }
  uint64_t TickCount() const override { return fTick; }

  std::vector<TTileData> fTiles;
  std::vector<std::pair<int, bool>> fEnableRequests;
  uint64_t fTick = 1000000000;
};
