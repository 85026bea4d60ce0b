#include "shell/program_icon.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace dt::shell {
namespace {

QPixmap DrawIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 48.0, size / 48.0);

  // Ground: a rounded square in deep teal.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1F, 0x6F, 0x78));
  painter.drawRoundedRect(QRectF(1, 1, 46, 46), 9, 9);

  // The two boards of the joint: the lower one with a tail, the upper one
  // with the socket the tail fits into.
  QPainterPath lower;
  lower.moveTo(6, 42);
  lower.lineTo(42, 42);
  lower.lineTo(42, 27);
  lower.lineTo(33, 27);
  lower.lineTo(37, 12);
  lower.lineTo(11, 12);
  lower.lineTo(15, 27);
  lower.lineTo(6, 27);
  lower.closeSubpath();
  painter.setBrush(QColor(0xF2, 0xC1, 0x6E));
  painter.drawPath(lower);

  QPainterPath upperLeft;
  upperLeft.moveTo(6, 6);
  upperLeft.lineTo(6, 24);
  upperLeft.lineTo(13.5, 24);
  upperLeft.lineTo(9.5, 9);
  upperLeft.lineTo(20, 9);
  upperLeft.lineTo(20, 6);
  upperLeft.closeSubpath();
  QPainterPath upperRight;
  upperRight.moveTo(42, 6);
  upperRight.lineTo(42, 24);
  upperRight.lineTo(34.5, 24);
  upperRight.lineTo(38.5, 9);
  upperRight.lineTo(28, 9);
  upperRight.lineTo(28, 6);
  upperRight.closeSubpath();
  painter.setBrush(QColor(0xFF, 0xF6, 0xE3));
  painter.drawPath(upperLeft);
  painter.drawPath(upperRight);

  // The grain line of the tail.
  painter.setPen(QPen(QColor(0xB9, 0x7F, 0x2E), 2.0));
  painter.drawLine(QPointF(16, 34.5), QPointF(32, 34.5));
  painter.end();
  return QPixmap::fromImage(image);
}

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : kIconSizes) icon.addPixmap(DrawIcon(size));
  return icon;
}

}  // namespace dt::shell
