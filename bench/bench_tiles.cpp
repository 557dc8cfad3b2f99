// Main-thread time of one full repaint of the slot grid (offscreen): 255
// recording tiles, all in sight, painted 200 times; beside it, interleaved in
// the same run, 16 tiles as a peer, so machine load shows in both alike.
// Goal: a 255-tile repaint under 10 ms (the 10 Hz repaint then costs under
// 10 % of one core at the largest configuration).
//   bench_tiles [repaints, default 200]
#include <QApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ui/SlotGrid.h"

namespace {
class TBenchTiles : public ITileSource {
public:
  explicit TBenchTiles(int iCount) : fTiles(iCount) {
    for (int i = 0; i < iCount; ++i) {
      TTileData& d = fTiles[i];
      d.fName = "Studio " + std::to_string(i + 1) + " programme";
      d.fRecordSource = rsSoundcard;
      d.fHasDevice = true;
      d.fDeviceName = "ASIO: system - capture_" + std::to_string(2 * i + 1) + ", capture_" + std::to_string(2 * i + 2);
      d.fHasEncoder = true;
      d.fEnabled = true;
      d.fAudioFormat = sfMP3;
      d.fCurrentFilename = "2026/12/11/Studio " + std::to_string(i + 1) + " 2026-12-11 16-00.mp3";
      d.fRecordStartTickCount = 1000;
      d.fSilenceThreshold = -40;
      d.fSilenceMilliseconds = 1200;
      d.fStreamingEnabled = i % 3 == 0;
      d.fStreamingStatus = ssConnected;
      d.fStreamingActiveSince = 500;
      d.fNominalLevel = -18;
    }
  }
  int SlotCount() const override { return static_cast<int>(fTiles.size()); }
  TTileData ReadTile(int iIndex) const override { return fTiles[iIndex]; }
  void StoreDisplayLevels(int iIndex, float iLeft, float iRight) override {
    fTiles[iIndex].fCurrentLevelLeft = iLeft;
    fTiles[iIndex].fCurrentLevelRight = iRight;
  }
  std::string Folder(int) const override { return "/tmp"; }
  void SetSlotEnabled(int, bool) override {}
  uint64_t TickCount() const override { return fTick; }
  // Levels move between repaints as they do while recording.
  void Advance() {
    fTick += 100;
    for (size_t i = 0; i < fTiles.size(); ++i) {
      fTiles[i].fLevelLeft = static_cast<float>((fTick / 100 + i) % 10) / 10.0f;
      fTiles[i].fLevelRight = static_cast<float>((fTick / 100 + 3 * i) % 10) / 10.0f;
    }
  }

private:
  std::vector<TTileData> fTiles;
  uint64_t fTick = 90000000;
};

struct TGridRun {
  TGridRun(int iSlots, int iColumns) : fTiles(iSlots), fGrid(fTiles) {
    const int rows = (iSlots + iColumns - 1) / iColumns;
    fGrid.setAttribute(Qt::WA_DontShowOnScreen);  // laid out as shown, never on a screen
    fGrid.resize(iColumns * 300, rows * 90);
    fGrid.show();
    QCoreApplication::processEvents();
    fGrid.SetColumnCount(iColumns);
    std::printf("grid of %d tiles: viewport %dx%d\n", iSlots, fGrid.viewport()->width(), fGrid.viewport()->height());
    fImage = QImage(fGrid.viewport()->size(), QImage::Format_RGB32);  // one backing store, kept
  }
  double RepaintMs() {
    fTiles.Advance();
    const auto start = std::chrono::steady_clock::now();
    QPainter painter(&fImage);
    fGrid.PaintTiles(painter);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  TBenchTiles fTiles;
  TSlotGrid fGrid;
  QImage fImage;
};

void Report(const char* iWhat, std::vector<double> iMs) {
  std::sort(iMs.begin(), iMs.end());
  const double median = iMs[iMs.size() / 2];
  const double p99 = iMs[std::min(iMs.size() - 1, iMs.size() * 99 / 100)];
  std::printf("%-28s median %7.3f ms   p99 %7.3f ms   (%zu repaints)\n", iWhat, median, p99, iMs.size());
}
}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  const int repaints = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
  TGridRun large(255, 8);
  TGridRun peer(16, 4);
  for (int i = 0; i < 5; ++i) {  // fonts and glyph caches warm
    large.RepaintMs();
    peer.RepaintMs();
  }
  // The floor: filling the 255-tile view's pixels once, with nothing drawn.
  QImage blank(large.fImage.size(), QImage::Format_RGB32);
  std::vector<double> largeMs, peerMs, fillMs;
  for (int i = 0; i < repaints; ++i) {
    largeMs.push_back(large.RepaintMs());
    peerMs.push_back(peer.RepaintMs());
    const auto start = std::chrono::steady_clock::now();
    {
      QPainter painter(&blank);
      painter.fillRect(blank.rect(), Qt::white);
    }
    fillMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("slot grid repaint, offscreen; load average %s\n", load.c_str());
  Report("255 tiles (8 columns)", largeMs);
  Report("16 tiles (4 columns, peer)", peerMs);
  Report("fill of the 255-tile view", fillMs);
  std::vector<double> perTile;
  for (size_t i = 0; i < largeMs.size(); ++i) perTile.push_back(largeMs[i] / 255.0);
  Report("per tile, 255-tile run", perTile);
  return 0;
}
