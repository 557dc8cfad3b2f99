#include "ui/StatusImages.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {
QImage Blank() {
  QImage image(48, 48, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

QImage Light(const QColor& iLit, const QColor& iDark) {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(60, 60, 60), 2));
  p.setBrush(QColor(90, 90, 90));
  p.drawEllipse(QRectF(3, 3, 42, 42));
  QRadialGradient glow(QPointF(19, 18), 22);
  glow.setColorAt(0, iLit.lighter(160));
  glow.setColorAt(0.5, iLit);
  glow.setColorAt(1, iDark);
  p.setPen(Qt::NoPen);
  p.setBrush(glow);
  p.drawEllipse(QRectF(7, 7, 34, 34));
  return image;
}

QImage Warning() {
  QImage image = Blank();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath triangle;
  triangle.moveTo(24, 3);
  triangle.lineTo(46, 43);
  triangle.lineTo(2, 43);
  triangle.closeSubpath();
  p.setPen(QPen(QColor(40, 40, 40), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(QColor(255, 204, 0));
  p.drawPath(triangle);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(20, 20, 20));
  p.drawRoundedRect(QRectF(21.5, 15, 5, 16), 2, 2);
  p.drawEllipse(QRectF(21.5, 34, 5, 5));
  return image;
}
}  // namespace

TStatusImages LoadStatusImages() {
  return {Light(QColor(0, 200, 0), QColor(0, 90, 0)), Light(QColor(230, 0, 0), QColor(110, 0, 0)), Warning()};
}
