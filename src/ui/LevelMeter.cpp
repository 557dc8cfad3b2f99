#include "ui/LevelMeter.h"

#include <QPainter>
#include <QRect>

#include <algorithm>
#include <cmath>

double LevelToDB(double iLevel) { return iLevel == 0 ? -999.0 : 20.0 * std::log10(iLevel); }

double LevelToMeterPosition(double iLevel) {
  const double db = iLevel <= 0 ? -999.0 : LevelToDB(iLevel);
  if (db <= -200) return 0;
  if (db <= -60) return (db + 200) * 0.03 / 140;
  if (db <= -40) return (db + 60) * 0.12 / 20 + 0.03;
  if (db <= -30) return (db + 40) * 0.15 / 10 + 0.15;
  if (db <= -20) return (db + 30) * 0.2 / 10 + 0.3;
  return (db + 20) * 0.5 / 20 + 0.5;
}

float LevelFactorForInterval(int iIntervalMs) {
  if (iIntervalMs <= 0) return 0;
  const double fall = -20.0 / (1.5 / (iIntervalMs / 1000.0));
  if (fall <= -999) return 0;
  return static_cast<float>(std::pow(10.0, fall / 20.0));
}

double NominalReference(int iNominalLevelDB) {
  return iNominalLevelDB <= -100 ? 0.0 : std::pow(10.0, iNominalLevelDB / 20.0);
}

namespace {
const QColor kGrey(128, 128, 128);
const QColor kRed(255, 0, 0);
const QColor kOrange(255, 102, 0);
const QColor kGreen(0, 255, 0);

int BarTop(double iLevel, int iY1, int iY2) {
  const double p = std::clamp(LevelToMeterPosition(iLevel), 0.0, 1.0);
  return static_cast<int>(std::trunc(iY2 + p * (iY1 - iY2)));
}
}  // namespace

void DrawLevelBar(QPainter& iPainter, const QRect& iRect, double iReference, double iLevel) {
  // Edges as the meter is specified: X2 and Y2 lie just outside the frame.
  const int x1 = iRect.x(), y1 = iRect.y(), x2 = iRect.x() + iRect.width(), y2 = iRect.y() + iRect.height();
  iPainter.fillRect(iRect, Qt::white);
  iPainter.setPen(kGrey);
  iPainter.setBrush(Qt::NoBrush);
  iPainter.drawRect(x1, y1, x2 - x1 - 1, y2 - y1 - 1);

  const int y = BarTop(iLevel, y1, y2);
  const QColor colour = iLevel > 1.0 ? kRed : iLevel > iReference ? kOrange : kGreen;
  // Pixels x1 + 1 .. x2 - 1 and y + 1 .. y2 - 1: the bar covers the frame's
  // right and bottom lines, so a full bar reaches the meter's edge.
  if (y + 1 < y2 && x1 + 1 < x2) iPainter.fillRect(QRect(x1 + 1, y + 1, x2 - x1 - 1, y2 - y - 1), colour);

  if (iReference < 1.0) {
    // Just below the reference's bar top; for a reference of 0 just below the meter.
    const int yRef = BarTop(iReference, y1, y2) + 1;
    iPainter.fillRect(QRect(x1, yRef, x2 - x1, 1), kGrey);
  }
}
