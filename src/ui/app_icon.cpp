#include "ui/app_icon.hpp"

#include <QPainter>
#include <QPixmap>

namespace orvane::ui {

namespace {

QPixmap draw(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor("#1e5a7a"));
  p.drawRoundedRect(QRectF(0, 0, s, s), s * 0.2, s * 0.2);
  // A gauge arc with a needle: a station watching its sensors.
  QPen arc(QColor("#9fd8ef"), s * 0.1, Qt::SolidLine, Qt::RoundCap);
  p.setPen(arc);
  const QRectF r(s * 0.18, s * 0.22, s * 0.64, s * 0.64);
  p.drawArc(r, 200 * 16, -220 * 16);
  p.setPen(QPen(QColor("#ffb74d"), s * 0.08, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(s * 0.5, s * 0.54), QPointF(s * 0.7, s * 0.34));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor("#ffffff"));
  p.drawEllipse(QPointF(s * 0.5, s * 0.54), s * 0.07, s * 0.07);
  return pm;
}

}  // namespace

QIcon app_icon() {
  QIcon icon;
  for (int size : {16, 22, 32, 48, 64, 128}) icon.addPixmap(draw(size));
  return icon;
}

}  // namespace orvane::ui
