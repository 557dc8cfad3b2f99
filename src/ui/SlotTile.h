#pragma once
// One tile of the slot grid: what it shows of a slot, taken in one read, and
// how it is painted. Reading takes no slot lock (numbers are atomics, texts
// copies), so a tile can be read from the window's thread at any moment.
#include <QColor>
#include <QStaticText>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "slot/SlotTypes.h"

class QImage;
class QPainter;
class QRect;
class TSlotInfo;

enum TTileState { tsOK, tsDisabled, tsError };

struct TTileData {
  std::string fName;
  TRecordSource fRecordSource = rsDisabled;
  bool fHasDevice = false;
  std::string fDeviceName;
  std::string fErrorMessage;
  bool fHasStreamChannel = false;
  std::string fCurrentStreamTitle;
  std::string fCurrentStreamURL;
  std::string fStreamStatus;  // GetStreamStatus
  bool fHasEncoder = false;
  std::string fCurrentFilename;
  bool fEnabled = false;
  TBassStreamingFormat fAudioFormat = sfNone;
  bool fStreamingOnly = false;
  int fSilenceThreshold = 0;
  bool fStreamingEnabled = false;
  TStreamingStatus fStreamingStatus = ssDisabled;
  std::string fStreamingMessage;
  int64_t fStreamingActiveSince = -1;
  uint64_t fRecordStartTickCount = 0;
  int64_t fSilenceMilliseconds = 0;
  float fLevelLeft = 0;   // latest peaks
  float fLevelRight = 0;
  int fNominalLevel = 0;  // dB
  float fCurrentLevelLeft = 0;  // decaying display levels kept in the slot
  float fCurrentLevelRight = 0;
};

TTileData ReadTileData(const TSlotInfo& iSlot);

// A duration as a time of day: "hh:nn:ss", hours modulo 24.
QString FormatTimeOfDay(int64_t iMilliseconds);

// The texts of a tile with their places and looks, and the state it shows.
struct TTileText {
  int fY = 0;  // offset from the tile's top
  QString fText;
  int fPointSize = 10;
  bool fBold = false;
  QColor fColor;
};

struct TTileLayout {
  std::vector<TTileText> fTexts;
  TTileState fState = tsError;
};

TTileLayout ComposeTile(const TTileData& iData, uint64_t iTickCount, bool iFocused);

// The decayed display levels of one paint: the previous display level times
// iLevelFactor, or the latest peak if that is larger, never below 0.
void DecayLevels(const TTileData& iData, float iLevelFactor, float& oLeft, float& oRight);

struct TTileImages {
  const QImage* fOK = nullptr;
  const QImage* fDisabled = nullptr;
  const QImage* fError = nullptr;
};

// A tile's texts as laid out at its last paint.
struct TTileTextCache {
  struct TLine {
    QString fText;
    int fPointSize = 0;
    bool fBold = false;
    int fWidth = -1;
    QStaticText fStatic;
  };
  std::vector<TLine> fLines;
};

// Paints the texts, the status image and the two meters into iTile (the tile's
// content rectangle); the background is the caller's. iLevelHeight: the
// meters' height.
void PaintTile(QPainter& iPainter, const QRect& iTile, const TTileLayout& iLayout, const TTileImages& iImages,
               float iDisplayLeft, float iDisplayRight, int iNominalLevel, int iLevelHeight,
               TTileTextCache* ioCache = nullptr);
