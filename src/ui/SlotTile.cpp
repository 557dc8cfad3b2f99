#include "ui/SlotTile.h"

#include <QFont>
#include <QFontMetrics>
#include <QTransform>
#include <QImage>
#include <QPainter>
#include <QRect>

#include "slot/SlotInfo.h"
#include "ui/LevelMeter.h"

#include <algorithm>

TTileData ReadTileData(const TSlotInfo& iSlot) {
  TTileData d;
  d.fName = iSlot.Name();
  d.fRecordSource = iSlot.RecordSource();
  d.fHasDevice = iSlot.CurrentDeviceInfo() != nullptr;
  if (d.fHasDevice) d.fDeviceName = iSlot.CurrentDeviceName();
  d.fErrorMessage = iSlot.ErrorMessage();
  d.fHasStreamChannel = iSlot.StreamChannel() != 0;
  if (d.fHasStreamChannel) {
    d.fCurrentStreamTitle = iSlot.CurrentStreamTitle();
    d.fCurrentStreamURL = iSlot.CurrentStreamURL();
  } else if (d.fRecordSource == rsStream) {
    d.fStreamStatus = iSlot.GetStreamStatus();
  }
  d.fHasEncoder = iSlot.Encoder() != 0;
  if (d.fHasEncoder) d.fCurrentFilename = iSlot.CurrentFilename();
  d.fEnabled = iSlot.Enabled();
  d.fAudioFormat = iSlot.AudioFormat();
  d.fStreamingOnly = iSlot.StreamingOnly();
  d.fSilenceThreshold = iSlot.SilenceThreshold();
  d.fStreamingEnabled = iSlot.StreamingEnabled();
  d.fStreamingStatus = iSlot.StreamingStatus();
  if (d.fStreamingEnabled && d.fStreamingStatus != ssDisabled) d.fStreamingMessage = iSlot.StreamingMessage();
  d.fStreamingActiveSince = iSlot.StreamingActiveSince();
  d.fRecordStartTickCount = iSlot.GetRecordStartTickCount();
  d.fSilenceMilliseconds = d.fSilenceThreshold < 0 ? iSlot.GetCurrentSilenceDurationMilliseconds() : 0;
  d.fLevelLeft = iSlot.LevelLeft();
  d.fLevelRight = iSlot.LevelRight();
  d.fNominalLevel = iSlot.NominalLevel();
  d.fCurrentLevelLeft = iSlot.CurrentLevelLeft();
  d.fCurrentLevelRight = iSlot.CurrentLevelRight();
  return d;
}

QString FormatTimeOfDay(int64_t iMilliseconds) {
  if (iMilliseconds < 0) iMilliseconds = 0;
  const int64_t seconds = iMilliseconds / 1000;
  return QString::asprintf("%02d:%02d:%02d", int(seconds / 3600 % 24), int(seconds / 60 % 60), int(seconds % 60));
}

namespace {
constexpr int64_t kDayMs = 24LL * 3600 * 1000;
const QColor kBlack(0, 0, 0);
const QColor kGrey(128, 128, 128);
const QColor kRed(255, 0, 0);

// Keeps the font and colour that the next line inherits, as the lines are
// specified to leave them to each other.
struct TPen {
  bool fFocused;
  int fSize = 10;
  bool fBold = false;
  QColor fColor = kBlack;
  QColor Shown(const QColor& iColor) const { return fFocused ? QColor(Qt::white) : iColor; }
};

void Add(TTileLayout& ioLayout, TPen& ioPen, int iY, const QString& iText, int iSize, const QColor& iColor) {
  ioPen.fSize = iSize;
  ioPen.fColor = ioPen.Shown(iColor);
  ioLayout.fTexts.push_back({iY, iText, iSize, ioPen.fBold, ioPen.fColor});
}
}  // namespace

TTileLayout ComposeTile(const TTileData& d, uint64_t iTickCount, bool iFocused) {
  TTileLayout layout;
  layout.fState = tsError;
  TPen pen{iFocused};
  pen.fBold = true;
  Add(layout, pen, 4, QString::fromStdString(d.fName), 10, kBlack);
  pen.fBold = false;
  pen.fColor = pen.Shown(kGrey);

  bool details = false;
  switch (d.fRecordSource) {
    case rsDisabled:
      Add(layout, pen, 20, "Disabled", 10, kGrey);
      layout.fState = tsDisabled;
      break;
    case rsSoundcard:
      if (d.fHasDevice) {
        Add(layout, pen, 20, QString::fromStdString(d.fDeviceName), 10, kGrey);
        details = true;
      } else {
        Add(layout, pen, 20, "Error: " + QString::fromStdString(d.fErrorMessage), 10, kRed);
        layout.fState = tsError;
      }
      break;
    case rsStream:
      if (d.fHasStreamChannel) {
        const std::string& shown = d.fCurrentStreamTitle.empty() ? d.fCurrentStreamURL : d.fCurrentStreamTitle;
        Add(layout, pen, 20, QString::fromStdString(shown), 10, kGrey);
        details = true;
      } else {
        Add(layout, pen, 20, QString::fromStdString(d.fStreamStatus), 10, kRed);
        layout.fState = tsError;
      }
      break;
  }

  if (details) {
    if (d.fHasEncoder) {
      Add(layout, pen, 38, QString::fromStdString(d.fCurrentFilename), 7, kGrey);
      QString elapsed = FormatTimeOfDay(static_cast<int64_t>(iTickCount - d.fRecordStartTickCount));
      if (d.fSilenceThreshold < 0) elapsed += " (" + FormatTimeOfDay(d.fSilenceMilliseconds) + ")";
      Add(layout, pen, 50, elapsed, 10, kBlack);
      layout.fState = tsOK;
    } else if (!d.fEnabled) {
      Add(layout, pen, 38, "Encoder stopped", pen.fSize, kGrey);
      layout.fState = tsDisabled;
    } else if (d.fAudioFormat == sfNone || d.fStreamingOnly) {
      Add(layout, pen, 38, "No recording", pen.fSize, kBlack);
      layout.fState = tsOK;
    } else {
      Add(layout, pen, 38, "Encoder error: " + QString::fromStdString(d.fErrorMessage), pen.fSize, kRed);
      layout.fState = tsError;
    }
  }

  if (d.fStreamingEnabled && d.fStreamingStatus != ssDisabled) {
    QString text;
    switch (d.fStreamingStatus) {
      case ssConnecting:
        text = "Stream connecting...";
        layout.fState = tsError;
        break;
      case ssConnected:
        text = "Stream online";
        break;
      case ssError:
        text = "Stream error";
        layout.fState = tsError;
        break;
      default:
        text = "Stream ?";
        break;
    }
    if (!d.fStreamingMessage.empty()) text += " - " + QString::fromStdString(d.fStreamingMessage);
    if (d.fStreamingActiveSince >= 0) {
      const int64_t active = static_cast<int64_t>(iTickCount) - d.fStreamingActiveSince;
      text += " [";
      if (active >= kDayMs) text += QString::number(active / kDayMs) + "d ";
      text += FormatTimeOfDay(active % kDayMs) + "]";
    }
    layout.fTexts.push_back({68, text, pen.fSize, false, pen.fColor});
  }
  return layout;
}

void DecayLevels(const TTileData& iData, float iLevelFactor, float& oLeft, float& oRight) {
  auto decay = [iLevelFactor](float iShown, float iPeak) {
    float display = iShown * iLevelFactor;
    if (iPeak > display) display = iPeak;
    return display < 0 ? 0.0f : display;
  };
  oLeft = decay(iData.fCurrentLevelLeft, iData.fLevelLeft);
  oRight = decay(iData.fCurrentLevelRight, iData.fLevelRight);
}

void PaintTile(QPainter& iPainter, const QRect& iTile, const TTileLayout& iLayout, const TTileImages& iImages,
               float iDisplayLeft, float iDisplayRight, int iNominalLevel, int iLevelHeight, TTileTextCache* ioCache) {
  const int left = iTile.x(), top = iTile.y(), right = iTile.x() + iTile.width();
  QFont font = iPainter.font();
  int size = -1;
  bool bold = false;
  const int width = right - 40 - (left + 60);
  if (ioCache && ioCache->fLines.size() < iLayout.fTexts.size()) ioCache->fLines.resize(iLayout.fTexts.size());
  for (size_t i = 0; i < iLayout.fTexts.size(); ++i) {
    const TTileText& t = iLayout.fTexts[i];
    if (t.fPointSize != size || t.fBold != bold) {
      size = t.fPointSize;
      bold = t.fBold;
      font.setPointSize(size);
      font.setBold(bold);
      iPainter.setFont(font);
    }
    iPainter.setPen(t.fColor);
    if (!ioCache) {
      // Clipped at the meters, so a long file name does not run under them.
      iPainter.drawText(QRect(left + 60, top + t.fY, width, 40), Qt::AlignLeft | Qt::AlignTop, t.fText);
      continue;
    }
    // Laid out once per change of text, font or width: most lines stay the
    // same for minutes, and laying text out is most of a tile's paint.
    TTileTextCache::TLine& line = ioCache->fLines[i];
    if (line.fText != t.fText || line.fPointSize != size || line.fBold != bold || line.fWidth != width) {
      line.fText = t.fText;
      line.fPointSize = size;
      line.fBold = bold;
      line.fWidth = width;
      const QFontMetrics metrics(font);
      line.fStatic.setText(metrics.horizontalAdvance(t.fText) > width
                               ? metrics.elidedText(t.fText, Qt::ElideRight, std::max(0, width))
                               : t.fText);
      line.fStatic.setTextFormat(Qt::PlainText);
      line.fStatic.prepare(QTransform(), font);
    }
    iPainter.drawStaticText(left + 60, top + t.fY, line.fStatic);
  }
  const QImage* image = iLayout.fState == tsOK ? iImages.fOK : iLayout.fState == tsDisabled ? iImages.fDisabled
                                                                                             : iImages.fError;
  if (image) iPainter.drawImage(QRect(left + 2, top + 12, 48, 48), *image);

  const double reference = NominalReference(iNominalLevel);
  DrawLevelBar(iPainter, QRect(right - 39, top + 4, 16, iLevelHeight), reference, iDisplayLeft);
  DrawLevelBar(iPainter, QRect(right - 24, top + 4, 16, iLevelHeight), reference, iDisplayRight);
}
